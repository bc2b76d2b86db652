import { test } from 'node:test';
import assert from 'node:assert/strict';
import { storeNoticeText } from '../src/storeNotice.js';
import { matchesFilter } from '../src/sessionModel.js';

test('the broken-store notice says why and where the kept copy is, or that one will be made', () => {
  assert.equal(storeNoticeText(null), null, 'a store that loaded shows nothing');
  const made = storeNoticeText({
    file: '/home/u/.local/share/quillmoor/Veltaro/sessions.json',
    folder: '/home/u/.local/share/quillmoor/Veltaro',
    reason: "[json.exception.parse_error.101] parse error at line 3",
    copy: '/home/u/.local/share/quillmoor/Veltaro/sessions.json.broken-20261209-172800',
  });
  const text = made.lines.join('\n');
  assert.match(text, /parse error at line 3/);
  assert.match(text, /「sessions\.json\.broken-20261209-172800」（在 \/home\/u\/\.local\/share\/quillmoor\/Veltaro）/);
  const pending = storeNoticeText({ file: 'f', folder: '/d', reason: 'r', copy: null }).lines.join('\n');
  assert.match(pending, /在儲存任何變更之前，原檔會先另存為「sessions\.json\.broken-…」（在 \/d）/);
});

test('the filter also matches the protocol the list shows', () => {
  const ssh1 = { name: 'old', protocol: 'ssh', ssh_version: '1', host: 'h' };
  const serial = { name: 'board', protocol: 'serial', host: 'COM3', port: 115200 };
  const telnet = { name: 'sw', protocol: 'telnet', host: '10.0.0.9', port: 23 };
  const plain = { name: 'x', host: 'y' };
  const pick = (q) => [ssh1, serial, telnet, plain].filter((r) => matchesFilter(r, q)).map((r) => r.name);
  assert.deepEqual(pick('telnet'), ['sw']);
  assert.deepEqual(pick('ssh-1'), ['old']);
  assert.deepEqual(pick('ssh'), ['old', 'x'], 'a record without a protocol is SSH');
  assert.deepEqual(pick('SERIAL com3'), ['board']);
  assert.deepEqual(pick('telnet 10.0.0.9:23'), ['sw']);
});
