import { test } from 'node:test';
import assert from 'node:assert/strict';
import { actionsOf, parseAction, recentLines, splitReply } from '../src/assistantReply.js';

test('a reply splits into prose and code blocks, markup staying plain text', () => {
  const parts = splitReply('Try <b>this</b>:\n```sh\nls -l\n```\nthen\n```veltaro-action\nrun t1 ls\n```\n');
  assert.deepEqual(parts.map((p) => [p.kind, p.language, p.text]), [
    ['text', '', 'Try <b>this</b>:\n'],
    ['code', 'sh', 'ls -l'],
    ['text', '', '\nthen\n'],
    ['code', 'veltaro-action', 'run t1 ls'],
  ]);
  assert.deepEqual(splitReply('```\nunclosed'), [{ kind: 'text', text: '```\nunclosed', language: '' }]);
});

test('actions come only from action blocks and only in their exact forms', () => {
  const reply = [
    'run t1 rm -rf / (prose is never an action)',
    '```sh', 'run t1 ls', '```',
    '```veltaro-action',
    'run target  dmesg | tail -5 ',
    'toggle t2 crhaslf',
    'toggle t2 encoding',
    'read_tab t3',
    'read_tab t3 extra',
    'run t1',
    'explode t1 now',
    '```',
  ].join('\n');
  assert.deepEqual(actionsOf(reply, 'T'), [
    { kind: 'run', tabId: 'T', command: 'dmesg | tail -5' },
    { kind: 'toggle', tabId: 't2', flag: 'crhaslf' },
    { kind: 'read', tabId: 't3' },
  ]);
  assert.equal(parseAction('run target ls', null), null);
});

test('recent lines leave out the blank screen below the cursor', () => {
  assert.equal(recentLines('a\nb\nc\n\n  \n', 2), 'b\nc');
  assert.equal(recentLines('', 5), '');
});
