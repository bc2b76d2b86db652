import test from 'node:test';
import assert from 'node:assert/strict';

import { RuntimePace, RUNTIME_PACE } from '../src/runtimePace.js';

test('runtime pace: the fallback slows down while it finds nothing and hurries after a change it found', () => {
  const pace = new RuntimePace();
  assert.equal(pace.delay(false), RUNTIME_PACE.firstMs);
  const delays = [];
  for (let i = 0; i < 8; i += 1) {
    pace.saw('same', true);
    delays.push(pace.delay(false));
  }
  assert.deepEqual(delays.slice(0, 5), [1, 2, 4, 8, 16].map((n) => n * RUNTIME_PACE.firstMs));
  assert.equal(delays.at(-1), RUNTIME_PACE.quietMaxMs, 'capped');
  assert.equal(pace.delay(true), RUNTIME_PACE.hiddenMs);

  pace.saw('other', true);
  assert.equal(pace.delay(false), RUNTIME_PACE.firstMs, 'a change nobody announced: ask again soon');
});

test('runtime pace: an announced change keeps the quiet pace, and is not mistaken for news by the next fallback ask', () => {
  const pace = new RuntimePace();
  for (let i = 0; i < 8; i += 1) pace.saw('hosts unknown', true);
  pace.saw('host online', false);
  assert.equal(pace.delay(false), RUNTIME_PACE.quietMaxMs);
  pace.saw('host online', true);
  assert.equal(pace.delay(false), RUNTIME_PACE.quietMaxMs);
});
