import test from 'node:test';
import assert from 'node:assert/strict';

import { OutputWatch, WATCH } from '../src/outputWatch.js';

const flush = () => new Promise((resolve) => setImmediate(resolve));

// A watch over a scripted back end: each wait stays open until the test answers it.
function watchRig({ onStatus = null } = {}) {
  const rig = { waits: [], timers: [], errors: 0 };
  rig.watch = new OutputWatch({
    onStatus,
    wait: (since, waitMs) =>
      new Promise((resolve, reject) => rig.waits.push({ since, waitMs, resolve, reject })),
    onError: () => {
      rig.errors += 1;
    },
    timers: { setTimeout: (fn, ms) => rig.timers.push({ fn, ms }) },
  });
  rig.answer = async (answer) => {
    rig.waits.at(-1).resolve(answer);
    await flush();
  };
  return rig;
}

function settled(promise) {
  let done = false;
  promise.then(() => {
    done = true;
  });
  return async () => {
    await flush();
    return done;
  };
}

test('output watch: one call for every waiting tab, each woken by its own change only', async () => {
  const rig = watchRig();
  const a = settled(rig.watch.changed('a'));
  const b = settled(rig.watch.changed('b'));
  assert.equal(rig.waits.length, 1, 'tabs share one call');
  assert.deepEqual([rig.waits[0].since, rig.waits[0].waitMs], [0, WATCH.waitMs]);

  await rig.answer({ generation: 4, ready: ['b'] });
  assert.equal(await a(), false);
  assert.equal(await b(), true);
  assert.equal(rig.waits.length, 2, 'the watch goes on while a tab waits');
  assert.equal(rig.waits[1].since, 4, 'from the count last seen, so nothing between calls is lost');

  await rig.answer({ generation: 4, ready: [] });
  assert.equal(await a(), false, 'a wait that ran out wakes nobody');
  await rig.answer({ generation: 5, ready: ['a'] });
  assert.equal(await a(), true);
  assert.equal(rig.waits.length, 3, 'no tab waits: no further call');
  assert.deepEqual(rig.timers, []);
});

test('output watch: a change while the tab was busy is kept for its next wait', async () => {
  const rig = watchRig();
  rig.watch.changed('a');
  const other = settled(rig.watch.changed('b'));
  await rig.answer({ generation: 1, ready: ['a'] });
  await rig.answer({ generation: 2, ready: ['a', 'gone'] });
  assert.equal(await settled(rig.watch.changed('a'))(), true, 'answered from what was kept');
  assert.equal(await other(), false);
  // A status line wakes a waiting tab at once, and one not waiting on its next wait.
  rig.watch.wake('b');
  assert.equal(await other(), true);
  rig.watch.wake('b');
  assert.equal(await settled(rig.watch.changed('b'))(), true);
  // A forgotten tab's wait ends, and nothing is kept for it afterwards.
  const closing = settled(rig.watch.changed('c'));
  rig.watch.forget('c');
  assert.equal(await closing(), true);
  rig.watch.wake('c');
  assert.equal(await settled(rig.watch.changed('c'))(), false);
  assert.equal(await settled(rig.watch.changed('gone'))(), false, 'tabs the page never waited for are not kept');
});

test('output watch: a tracked tab keeps a change reported before its first wait', async () => {
  const rig = watchRig();
  rig.watch.track('new');
  const other = settled(rig.watch.changed('other'));
  await rig.answer({ generation: 1, ready: ['new', 'untracked'] });
  assert.equal(await other(), false);
  assert.equal(await settled(rig.watch.changed('new'))(), true);
  assert.equal(await settled(rig.watch.changed('untracked'))(), false);
});

test('output watch: a failed or malformed answer waits before it asks again', async () => {
  const rig = watchRig();
  const a = settled(rig.watch.changed('a'));
  for (const bad of [null, { generation: '3', ready: ['a'] }, { generation: 3 }]) {
    await rig.answer(bad);
    assert.equal(rig.timers.length, 1, JSON.stringify(bad));
    const before = rig.waits.length;
    rig.timers.pop().fn();
    await flush();
    assert.equal(rig.waits.length, before + 1);
  }
  rig.waits.at(-1).reject(new Error('no bridge'));
  await flush();
  assert.equal(rig.errors, 4);
  assert.equal(await a(), false, 'no failure wakes a tab');
});

test('output watch: a host going on- or offline is reported, and the watch waits without a tab', async () => {
  let reported = 0;
  const rig = watchRig({
    onStatus: () => {
      reported += 1;
    },
  });
  rig.watch.start();
  assert.equal(rig.waits.length, 1, 'started with no tab waiting');
  await rig.answer({ generation: 0, ready: [], status: false });
  assert.equal(reported, 0);
  assert.equal(rig.waits.length, 2, 'it goes on with no tab');
  await rig.answer({ generation: 3, ready: [], status: true });
  assert.equal(reported, 1);
  assert.equal(rig.waits[2].since, 3);
  const a = settled(rig.watch.changed('a'));
  assert.equal(rig.waits.length, 3, 'a tab shares the running call');
  await rig.answer({ generation: 4, ready: ['a'], status: false });
  assert.equal(await a(), true);
  assert.equal(reported, 1);
});
