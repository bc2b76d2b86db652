import { test } from 'node:test';
import assert from 'node:assert/strict';
import { InputQueue, LatestOnly } from '../src/inputQueue.js';
import { DRAIN, DrainLoop } from '../src/drainLoop.js';
import { makeTimers } from '../src/hiddenTimers.js';

function deferred() {
  let resolve;
  let reject;
  const promise = new Promise((res, rej) => {
    resolve = res;
    reject = rej;
  });
  return { promise, resolve, reject };
}
const flush = () => new Promise((r) => setImmediate(r));

test('input: one call at a time, keys typed meanwhile joined in order', async () => {
  const calls = [];
  let inFlight = 0;
  let maxInFlight = 0;
  const queue = new InputQueue((text) => {
    inFlight += 1;
    maxInFlight = Math.max(maxInFlight, inFlight);
    const d = deferred();
    calls.push({ text, done: () => { inFlight -= 1; d.resolve(true); } });
    return d.promise;
  });
  queue.push('l');
  queue.push('s');
  queue.push(' -');
  assert.deepEqual(calls.map((c) => c.text), ['l']);
  calls[0].done();
  await flush();
  assert.deepEqual(calls.map((c) => c.text), ['l', 's -']);
  queue.push('a\r');
  calls[1].done();
  await flush();
  calls[2].done();
  await flush();
  assert.deepEqual(calls.map((c) => c.text), ['l', 's -', 'a\r']);
  assert.equal(maxInFlight, 1);
  assert.equal(queue.busy, false);
});

test('input: a failed call does not stall what follows, and a closed queue sends nothing', async () => {
  const sent = [];
  const errors = [];
  let fail = true;
  const queue = new InputQueue(async (text) => {
    sent.push(text);
    if (fail) {
      fail = false;
      throw new Error('bridge gone');
    }
    return true;
  }, { onError: (err, text) => errors.push([err.message, text]) });
  queue.push('a');
  queue.push('b');
  await flush();
  await flush();
  assert.deepEqual(sent, ['a', 'b']);
  assert.deepEqual(errors, [['bridge gone', 'a']]);
  queue.close();
  queue.push('c');
  await flush();
  assert.deepEqual(sent, ['a', 'b']);
});

test('sizes: piled-up sizes collapse into the newest', async () => {
  const sent = [];
  const pending = [];
  const sizer = new LatestOnly((v) => {
    sent.push(v);
    const d = deferred();
    pending.push(d);
    return d.promise;
  });
  sizer.push(1);
  sizer.push(2);
  sizer.push(3);
  pending[0].resolve();
  await flush();
  pending[1].resolve();
  await flush();
  assert.deepEqual(sent, [1, 3]);
});

// A drain loop over a scripted back end: each fetch waits until the test answers it, and each
// write waits until the test says xterm.js has parsed it.
function drainRig({ ended = () => false } = {}) {
  const rig = { fetches: [], writes: [], log: [], timers: [], wakes: 0 };
  rig.loop = new DrainLoop({
    fetch: (waitMs) => {
      const d = deferred();
      rig.fetches.push({ waitMs, answer: d.resolve, fail: d.reject });
      return d.promise;
    },
    write: (text) => {
      const d = deferred();
      rig.log.push(text);
      rig.writes.push(d);
      return d.promise;
    },
    line: (entry) => rig.log.push(`[${entry}]`),
    ended,
    wake: () => {
      rig.wakes += 1;
    },
    onError: () => {},
    timers: {
      setTimeout: (fn, ms) => rig.timers.push({ fn, ms }),
    },
  });
  rig.answer = async (text) => {
    rig.fetches.at(-1).answer(text);
    await flush();
  };
  return rig;
}

test('drain loop: waits only after an empty answer, fetched ahead of the parse, never a timer', async () => {
  const rig = drainRig();
  rig.loop.start();
  assert.equal(rig.fetches.length, 1);
  assert.equal(rig.fetches[0].waitMs, 0, 'output from before the loop began is taken at once');
  await rig.answer('');
  assert.equal(rig.fetches.length, 2, 'an empty answer asks again at once');
  assert.equal(rig.fetches[1].waitMs, DRAIN.waitMs, 'and waits for the next change');

  await rig.answer('a');
  assert.deepEqual(rig.log, ['a']);
  assert.equal(rig.fetches.length, 3, 'the next drain is fetched while "a" is parsed');
  assert.equal(rig.fetches[2].waitMs, 0, 'without waiting: more has usually come meanwhile');
  await rig.answer('b');
  assert.deepEqual(rig.log, ['a', 'b'], 'handed to xterm.js behind "a"');
  assert.equal(rig.fetches.length, 4, 'two answers may wait to be parsed while the next is fetched');
  await rig.answer('c');
  assert.equal(rig.fetches.length, 4, 'no fourth answer while "a" is still unparsed');
  rig.writes[0].resolve();
  await flush();
  assert.equal(rig.fetches.length, 5);
  assert.deepEqual(rig.timers, []);
  rig.loop.stop();
  await rig.answer('late');
  assert.deepEqual(rig.log, ['a', 'b', 'c'], 'nothing is written after stop');
});

test('drain loop: a status line comes after the output that preceded it, the end line last', async () => {
  let ended = false;
  const rig = drainRig({ ended: () => ended });
  rig.loop.start();
  // The line arrives while a drain is waiting: output the back end held before the line can only
  // come with the drain after it, which is asked without waiting.
  rig.loop.status('reconnected');
  await rig.answer('before-1');
  assert.deepEqual(rig.log, ['before-1']);
  assert.equal(rig.fetches.at(-1).waitMs, 0);
  await rig.answer('before-2');
  assert.deepEqual(rig.log, ['before-1', 'before-2', '[reconnected]']);
  rig.writes.forEach((w) => w.resolve());
  await flush();

  await rig.answer('tail');
  rig.writes.forEach((w) => w.resolve());
  await flush();
  ended = true;
  rig.loop.status('ended');
  await rig.answer('more tail');
  rig.writes.forEach((w) => w.resolve());
  await flush();
  await rig.answer('');
  rig.writes.forEach((w) => w.resolve());
  await flush();
  assert.deepEqual(rig.log.slice(-3), ['tail', 'more tail', '[ended]']);
  const asked = rig.fetches.length;
  await rig.answer('');
  assert.equal(rig.fetches.length, asked, 'an ended tab whose last drain was empty is not asked again');
  // A line for the ended tab (a reconnect notice, say) is still written, after one more drain.
  rig.loop.status('again');
  assert.equal(rig.fetches.length, asked + 1);
  await rig.answer('');
  assert.equal(rig.log.at(-1), '[again]');
});

test('drain loop: a line goes between the drains the back end names, however late it arrives', async () => {
  const rig = drainRig();
  rig.loop.start();
  // Pushed before any drain took text: written before the first answer, even the greeting that
  // arrived right behind it.
  rig.loop.status('connecting', 0);
  await rig.answer('greeting');
  assert.deepEqual(rig.log, ['[connecting]', 'greeting']);
  // Named for drain 3 while drain 2 is asked: drain 3's text was before the line, drain 4's after.
  rig.loop.status('cut', 3);
  assert.equal(rig.fetches.at(-1).waitMs, 0, 'a line held back keeps the drains coming');
  await rig.answer('two');
  await rig.answer('three');
  rig.writes.forEach((w) => w.resolve());
  await flush();
  await rig.answer('four');
  assert.deepEqual(rig.log.slice(2), ['two', 'three', '[cut]', 'four']);
  // Its drain already answered (the line overtook nothing): written at once, ahead of what follows.
  rig.writes.forEach((w) => w.resolve());
  await flush();
  rig.loop.status('late', 4);
  await rig.answer('five');
  assert.deepEqual(rig.log.slice(-2), ['[late]', 'five']);
  rig.loop.stop();
});

test('drain loop: a status line ends the waiting drain, so that the next one can write it', async () => {
  const rig = drainRig();
  rig.loop.start();
  assert.equal(rig.wakes, 0);
  rig.loop.status('line');
  assert.equal(rig.wakes, 1);
  await rig.answer('');
  assert.equal(rig.fetches.at(-1).waitMs, 0);
  await rig.answer('');
  assert.deepEqual(rig.log, ['[line]']);
  assert.equal(rig.fetches.at(-1).waitMs, DRAIN.waitMs);
  rig.loop.stop();
});

test('drain loop: a failing fetch waits before it asks again; stop writes the lines held back', async () => {
  const rig = drainRig();
  rig.loop.start();
  rig.fetches[0].fail(new Error('no bridge'));
  await flush();
  assert.deepEqual(rig.timers.map((t) => t.ms), [DRAIN.retryMs]);
  assert.equal(rig.fetches.length, 1);
  rig.timers[0].fn();
  await flush();
  assert.equal(rig.fetches.length, 2);
  rig.loop.status('closing');
  rig.loop.stop();
  assert.deepEqual(rig.log, ['[closing]']);
});

test('xterm.js timers: zero-delay turns skip the browser timers only while the page is hidden', async () => {
  let hidden = false;
  const browser = [];
  const { setTimeout: later, clearTimeout: cancel } = makeTimers(() => hidden, {
    setTimeout: (fn, ms) => browser.push({ fn, ms }),
    clearTimeout: () => {},
  });
  later(() => {}, 0);
  assert.equal(browser.length, 1, 'on screen the browser schedules it');
  hidden = true;
  later(() => {}, 250);
  assert.equal(browser.length, 2, 'a real delay stays with the browser');
  const ran = [];
  later((x) => ran.push(x), 0, 'first');
  later((x) => ran.push(x));
  cancel(later((x) => ran.push(x), 0, 'cancelled'));
  for (let i = 0; i < 200 && ran.length < 2; i += 1) await new Promise((r) => globalThis.setTimeout(r, 10));
  await new Promise((r) => globalThis.setTimeout(r, 20));
  assert.deepEqual(ran, ['first', undefined]);
  assert.equal(browser.length, 2);
});
