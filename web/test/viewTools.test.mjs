import { test } from 'node:test';
import assert from 'node:assert/strict';
import { patternProblem, resultText } from '../src/searchPattern.js';
import { clampScrollback, SCROLLBACK } from '../src/scrollbackSetting.js';

test('search: a broken regular expression is a reason, never an exception', () => {
  assert.match(patternProblem('(unclosed', { regex: true }), /^規則運算式不正確：/);
  assert.match(patternProblem('[z-a]', { regex: true, caseSensitive: true }), /^規則運算式不正確：/);
  assert.equal(patternProblem('(unclosed', { regex: false }), null, 'plain text is searched as it stands');
  assert.equal(patternProblem('^int(erface)? Gi\\d+/\\d+', { regex: true }), null);
  assert.equal(patternProblem('', { regex: true }), null);
  assert.deepEqual([resultText(0, 0), resultText(2, 17), resultText(-1, 2000)], ['沒有符合', '3 / 17', '2000 筆以上']);
});

test('scrollback: entries are whole line counts within the bounds, anything else is refused', () => {
  assert.deepEqual(
    ['10000', ' 50,000 ', 250000, '5', '1e4', '2500.6', 100000].map(clampScrollback),
    [10000, 50000, SCROLLBACK.maxLines, SCROLLBACK.minLines, 10000, 2501, 100000],
  );
  for (const bad of ['', 'abc', null, undefined, NaN, Infinity, '12abc']) assert.equal(clampScrollback(bad), null, String(bad));
});
