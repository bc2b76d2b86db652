import { test } from 'node:test';
import assert from 'node:assert/strict';
import { addPageFaces, PAGE_FACES } from '../src/pageFonts.js';

function fakeTimers() {
  const pending = new Map();
  let next = 1;
  return {
    setTimeout: (fn, ms) => { pending.set(next, { fn, ms }); return next++; },
    clearTimeout: (id) => pending.delete(id),
    fire: () => { for (const [id, t] of pending) { pending.delete(id); t.fn(); } },
    pending,
  };
}

function fakeFonts() {
  const added = [];
  return { added, add: (face) => added.push(face) };
}

function faceClass(load) {
  return class {
    constructor(family, source, descriptors) {
      Object.assign(this, { family, source, descriptors });
    }
    load() { return load(this); }
  };
}

test('every face is added from the application\'s scheme, and the page waits for them no longer than needed', async () => {
  const timers = fakeTimers();
  const fonts = fakeFonts();
  await addPageFaces(fonts, faceClass(() => Promise.resolve()), 1500, timers);
  assert.deepEqual(fonts.added.map((f) => [f.family, f.source, f.descriptors.weight]), PAGE_FACES.map(
    ({ family, file, weight }) => [family, `url("veltaro-font:${file}")`, weight]));
  assert.equal(timers.pending.size, 0);
});

test('a face that fails to load or cannot be made leaves the system faces in its place: the page is shown', async () => {
  const timers = fakeTimers();
  let made = 0;
  const Throwing = class {
    constructor() {
      made += 1;
      if (made === 1) throw new SyntaxError('bad source');
    }
    load() { return Promise.reject(new Error('refused')); }
  };
  await addPageFaces(fakeFonts(), Throwing, 1500, timers);
  assert.equal(made, PAGE_FACES.length);
  assert.equal(timers.pending.size, 0);
});

test('a face that never arrives holds the page back only until the time-out', async () => {
  const timers = fakeTimers();
  let shown = false;
  const done = addPageFaces(fakeFonts(), faceClass(() => new Promise(() => {})), 1500, timers).then(() => { shown = true; });
  await Promise.resolve();
  assert.equal(shown, false);
  assert.equal([...timers.pending.values()][0].ms, 1500);
  timers.fire();
  await done;
  assert.equal(shown, true);
});

test('without the font API the page is shown at once', async () => {
  await addPageFaces(undefined, undefined, 1500, fakeTimers());
  await addPageFaces(fakeFonts(), undefined, 1500, fakeTimers());
});
