import { test } from 'node:test';
import assert from 'node:assert/strict';
import { InputQueue, LatestOnly } from '../src/inputQueue.js';
import { DrainPoller, POLL, nextDelay } from '../src/poller.js';

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

// Timers under the test's control: run() fires the next timer due.
function fakeTimers() {
  let now = 0;
  let seq = 0;
  const timers = new Map();
  return {
    setTimeout(fn, ms) {
      seq += 1;
      timers.set(seq, { fn, at: now + ms });
      return seq;
    },
    clearTimeout(id) {
      timers.delete(id);
    },
    pendingDelays() {
      return [...timers.values()].map((t) => t.at - now);
    },
    async run() {
      const [id, t] = [...timers.entries()].sort((a, b) => a[1].at - b[1].at)[0] || [];
      if (!t) return false;
      timers.delete(id);
      now = t.at;
      t.fn();
      await flush();
      return true;
    },
    get now() {
      return now;
    },
  };
}

test('polling: idle tabs slow down to their cap; output and wake-ups make them quick', async () => {
  const timers = fakeTimers();
  const answers = [];
  let active = false;
  const poller = new DrainPoller({
    fetch: async () => answers.shift() || '',
    sink: async () => {},
    state: () => ({ active, hidden: false }),
    timers,
  });
  poller.start();
  const delays = [];
  for (let i = 0; i < 12; i += 1) {
    await timers.run();
    delays.push(poller.delayMs);
  }
  assert.equal(delays[0], POLL.firstIdleMs);
  assert.ok(delays.every((d, i) => i === 0 || d >= delays[i - 1]), `never faster while idle: ${delays}`);
  assert.equal(delays.at(-1), POLL.backgroundMaxMs);

  answers.push('output');
  poller.wake();
  assert.deepEqual(timers.pendingDelays(), [0]);
  await timers.run();
  assert.equal(poller.delayMs, POLL.flowingMs);
  active = true;
  for (let i = 0; i < 12; i += 1) await timers.run();
  assert.equal(poller.delayMs, POLL.activeMaxMs);
  poller.stop();
  assert.deepEqual(timers.pendingDelays(), []);
});

test('polling: never two fetches at once, and no new fetch before the text is written', async () => {
  const timers = fakeTimers();
  let fetches = 0;
  let writing = null;
  const poller = new DrainPoller({
    fetch: async () => {
      fetches += 1;
      return 'x'.repeat(10);
    },
    sink: () => {
      writing = deferred();
      return writing.promise;
    },
    state: () => ({ active: true, hidden: false }),
    timers,
  });
  poller.start();
  await timers.run();
  assert.equal(fetches, 1);
  // Wake-ups while xterm.js is still writing must not start another fetch.
  poller.wake();
  poller.wake();
  while (await timers.run());
  assert.equal(fetches, 1);
  writing.resolve();
  await flush();
  await timers.run();
  assert.equal(fetches, 2);
  poller.stop();
});

test('polling: a failing fetch backs off instead of spinning', async () => {
  const timers = fakeTimers();
  const poller = new DrainPoller({
    fetch: async () => {
      throw new Error('no bridge');
    },
    sink: async () => {},
    state: () => ({ active: true, hidden: false }),
    timers,
    onError: () => {},
  });
  poller.start();
  await timers.run();
  assert.equal(poller.delayMs, POLL.errorMs);
  poller.stop();
});

test('poll pace: hidden windows poll slowest', () => {
  assert.equal(nextDelay(1e9, false, { active: true, hidden: true }), POLL.hiddenMaxMs);
  assert.equal(nextDelay(0, false, { active: false, hidden: false }), POLL.firstIdleMs);
  assert.equal(nextDelay(500, true, { active: false, hidden: true }), POLL.flowingMs);
});
