import { test } from 'node:test';
import assert from 'node:assert/strict';
import { formatStatusLine, sanitizeLine } from '../src/statusLine.js';
import { findUrls, isOpenableUrl } from '../src/links.js';
import { canonicalJson } from '../src/values.js';

test('status lines cannot carry escape sequences into the terminal', () => {
  const line = formatStatusLine('連線失敗：\x1b[2J\x1b]0;owned\x07 bye\u009b', true, true);
  // Only the page's own styling escapes remain: ESC [ 0 ; 9 1 m and ESC [ 0 m.
  assert.deepEqual(line.match(/\x1b\[[0-9;]*m/g), ['\x1b[0;91m', '\x1b[0m']);
  assert.equal(line.replace(/\x1b\[[0-9;]*m/g, ''), '連線失敗：·[2J·]0;owned· bye·\r\n');
  assert.equal(sanitizeLine('a\tb'), 'a b');
});

test('status lines start on a line of their own and keep their own lines', () => {
  const plain = (s) => s.replace(/\x1b\[[0-9;]*m/g, '');
  assert.equal(plain(formatStatusLine('─── 連線已結束 ───', false, false)), '\r\n─── 連線已結束 ───\r\n');
  assert.equal(plain(formatStatusLine('a\nb', false, true)), 'a\r\nb\r\n');
  assert.ok(formatStatusLine('x', false, true).startsWith('\x1b[0;90m'), 'information is dim');
});

test('addresses in terminal text', () => {
  const urls = (t) => findUrls(t).map((u) => u.url);
  assert.deepEqual(urls('see https://example.com/a?b=1.'), ['https://example.com/a?b=1']);
  assert.deepEqual(urls('文件：https://example.com/安裝。下一句'), ['https://example.com/安裝']);
  assert.deepEqual(urls('(https://en.wikipedia.org/wiki/Foo_(bar))'), ['https://en.wikipedia.org/wiki/Foo_(bar)']);
  assert.deepEqual(urls('mail mailto:ops@example.com, now'), ['mailto:ops@example.com']);
  assert.deepEqual(urls('file:///etc/passwd javascript:alert(1) https://'), []);
  const [hit] = findUrls('xx http://a.b yy');
  assert.deepEqual([hit.start, hit.end], [3, 13]);
  assert.ok(isOpenableUrl('HTTPS://EXAMPLE.COM'));
  assert.ok(!isOpenableUrl('file:///tmp/x'));
  assert.ok(!isOpenableUrl('https://a b'));
});

test('state compared as canonical JSON: key order does not count, values do', () => {
  const a = { tabs: [{ id: '1', alive: true }], status: { x: 'online' }, active: null };
  const b = { active: null, status: { x: 'online' }, tabs: [{ alive: true, id: '1' }] };
  assert.equal(canonicalJson(a), canonicalJson(b));
  assert.notEqual(canonicalJson(a), canonicalJson({ ...b, tabs: [{ alive: false, id: '1' }] }));
  assert.notEqual(canonicalJson({ x: [1, 2] }), canonicalJson({ x: [2, 1] }));
});
