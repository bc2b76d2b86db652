import { test } from 'node:test';
import assert from 'node:assert/strict';
import { countLines, needsQuestion, pieceEnd, preparePaste, previewOf } from '../src/pasteText.js';
import { InputQueue } from '../src/inputQueue.js';

const flush = () => new Promise((r) => setImmediate(r));

test('paste: lines are counted as a reader counts them, and only breaks or bulk ask', () => {
  assert.deepEqual(
    ['', 'one', 'one\n', 'a\nb', 'a\r\nb\r\n', 'a\rb\rc', '\n\n'].map(countLines),
    [0, 1, 1, 2, 2, 3, 2],
  );
  assert.equal(needsQuestion('show running-config'), false);
  assert.equal(needsQuestion('x'.repeat(5000)), false);
  assert.equal(needsQuestion('x'.repeat(5001)), true);
  assert.equal(needsQuestion('conf t\r'), true, 'a lone CR is Enter too');
});

test('paste: line ends become CR, and bracketed text cannot close its own brackets', () => {
  assert.equal(preparePaste('a\nb\r\nc\r', false), 'a\rb\rc\r');
  assert.equal(preparePaste('a\nb', true), '\x1b[200~a\rb\x1b[201~');
  const sneaky = 'echo hi\x1b[201~rm -rf ~\n';
  assert.equal(preparePaste(sneaky, true), '\x1b[200~echo hirm -rf ~\r\x1b[201~');
  // Taking the inner marker out must not leave a marker made of the pieces around it.
  const nested = 'x\x1b[20\x1b[201~1~y';
  assert.equal(preparePaste(nested, true), '\x1b[200~xy\x1b[201~');
  assert.equal(preparePaste(nested, false), nested, 'without brackets the text is the user\'s own');
});

test('paste: the preview shows the first lines as visible text', () => {
  const { lines, more } = previewOf('one\r\ntwo\x1b[31m\nthree\nfour\n', 2);
  assert.deepEqual(lines, ['one', 'two\u241b[31m']);
  assert.equal(more, 2);
  const long = previewOf('y'.repeat(500));
  assert.equal(long.lines[0].length, 161);
  assert.equal(long.more, 0);
});

test('paste: pieces never split a surrogate pair and always move on', () => {
  const text = `ab😀cd`; // the emoji takes indexes 2 and 3
  assert.equal(pieceEnd(text, 0, 3), 2);
  assert.equal(pieceEnd(text, 2, 1), 3, 'a one-character piece still moves forward');
  assert.equal(pieceEnd(text, 0, 100), text.length);
});

// A back end that answers each send_input when the test says so, with what the test says.
function backEnd() {
  const rig = { calls: [], answers: [] };
  rig.send = (text) => new Promise((resolve, reject) => {
    rig.calls.push(text);
    rig.answers.push({ resolve, reject });
  });
  rig.answer = async (value = true) => {
    rig.answers.shift().resolve(value);
    await flush();
  };
  return rig;
}

test('input queue: a paste goes in pieces, in order, between what was typed before and after', async () => {
  const rig = backEnd();
  const queue = new InputQueue(rig.send, { pieceChars: 4 });
  const progress = [];
  queue.push('ls');
  const pasted = queue.pushPaste('0123456789', (sent, total) => progress.push(`${sent}/${total}`));
  queue.push('\r');
  queue.push('x');
  while (rig.answers.length) await rig.answer(true);
  assert.deepEqual(rig.calls, ['ls', '0123', '4567', '89', '\rx']);
  assert.deepEqual(await pasted, { sent: 10, total: 10, complete: true });
  assert.deepEqual(progress, ['4/10', '8/10', '10/10']);
  assert.equal(queue.busy, false);
});

test('input queue: a piece not taken ends the paste there, and typing goes on', async () => {
  const rig = backEnd();
  const queue = new InputQueue(rig.send, { pieceChars: 3 });
  const pasted = queue.pushPaste('abcdefghi');
  queue.push('q');
  await rig.answer(true);
  await rig.answer(false);
  await rig.answer(true);
  assert.deepEqual(rig.calls, ['abc', 'def', 'q'], 'nothing after the hole');
  assert.deepEqual(await pasted, { sent: 3, total: 9, complete: false });

  const errors = [];
  const thrown = new InputQueue(rig.send, { pieceChars: 3, onError: (err) => errors.push(err.message) });
  const second = thrown.pushPaste('uvwxyz');
  rig.answers.shift().reject(new Error('bridge gone'));
  await flush();
  assert.deepEqual(await second, { sent: 0, total: 6, complete: false });
  assert.deepEqual(errors, ['bridge gone']);
});

test('input queue: closing the tab settles a waiting paste and sends nothing more', async () => {
  const rig = backEnd();
  const queue = new InputQueue(rig.send, { pieceChars: 2 });
  queue.push('k');
  const pasted = queue.pushPaste('abcd');
  queue.close();
  await rig.answer(true);
  assert.deepEqual(await pasted, { sent: 0, total: 4, complete: false });
  assert.deepEqual(rig.calls, ['k']);
  assert.equal((await queue.pushPaste('late')).complete, false);
});
