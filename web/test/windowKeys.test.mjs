import { test } from 'node:test';
import assert from 'node:assert/strict';
import { tabAfterKey, tabKey } from '../src/tabKeys.js';
import { isGuardedKey, isNavigationKey } from '../src/keyGuard.js';

const key = (props) => ({ type: 'keydown', key: '', code: '', ctrlKey: false, shiftKey: false, altKey: false, metaKey: false, ...props });

test('tab keys are read from the physical key, as WebKitGTK reports Ctrl+Shift+Tab without a key name', () => {
  assert.deepEqual(tabKey(key({ ctrlKey: true, key: 'Tab', code: 'Tab' })), { step: 1 });
  assert.deepEqual(tabKey(key({ ctrlKey: true, shiftKey: true, key: 'Unidentified', code: 'Tab' })), { step: -1 });
  assert.deepEqual(tabKey(key({ ctrlKey: true, key: 'PageDown', code: 'PageDown' })), { step: 1 });
  assert.deepEqual(tabKey(key({ ctrlKey: true, key: 'PageUp', code: 'PageUp' })), { step: -1 });
  assert.deepEqual(tabKey(key({ altKey: true, key: '¡', code: 'Digit1' })), { index: 0 });
  assert.deepEqual(tabKey(key({ altKey: true, key: '9', code: 'Digit9' })), { index: -1 }, 'Alt+9 is the last tab');
  for (const other of [
    key({ key: 'Tab', code: 'Tab' }),
    key({ ctrlKey: true, altKey: true, code: 'Tab' }),
    key({ ctrlKey: true, shiftKey: true, code: 'PageDown' }),
    key({ altKey: true, shiftKey: true, code: 'Digit2' }),
    key({ altKey: true, code: 'Digit0' }),
    key({ ctrlKey: true, code: 'Digit1' }),
    { ...key({ ctrlKey: true, code: 'Tab' }), type: 'keyup' },
  ]) assert.equal(tabKey(other), null, JSON.stringify(other));
});

test('a tab key names the tab it leads to, wrapping around and ignoring moves that go nowhere', () => {
  const order = ['a', 'b', 'c'];
  assert.equal(tabAfterKey(order, 'c', { step: 1 }), 'a');
  assert.equal(tabAfterKey(order, 'a', { step: -1 }), 'c');
  assert.equal(tabAfterKey(order, 'b', { index: 0 }), 'a');
  assert.equal(tabAfterKey(order, 'a', { index: -1 }), 'c');
  assert.equal(tabAfterKey(order, 'a', { index: 5 }), null, 'Alt+6 with three tabs does nothing');
  assert.equal(tabAfterKey(order, 'a', { index: 0 }), null);
  assert.equal(tabAfterKey(['a'], 'a', { step: 1 }), null);
  assert.equal(tabAfterKey([], null, { step: 1 }), null);
  assert.equal(tabAfterKey(order, null, { step: 1 }), 'b', 'no active tab counts from the first');
});

test('reload and history keys are stopped, Backspace only outside text fields', () => {
  for (const k of [
    key({ key: 'F5', code: 'F5' }), key({ ctrlKey: true, key: 'F5', code: 'F5' }),
    key({ ctrlKey: true, key: 'r', code: 'KeyR' }), key({ ctrlKey: true, shiftKey: true, key: 'R', code: 'KeyR' }),
    key({ altKey: true, key: 'ArrowLeft', code: 'ArrowLeft' }), key({ altKey: true, key: 'ArrowRight', code: 'ArrowRight' }),
    key({ key: 'BrowserBack' }),
  ]) assert.ok(isNavigationKey(k), JSON.stringify(k));
  for (const k of [key({ key: 'r', code: 'KeyR' }), key({ key: 'ArrowLeft', code: 'ArrowLeft' }), key({ ctrlKey: true, altKey: true, code: 'KeyR' })]) {
    assert.ok(!isNavigationKey(k), JSON.stringify(k));
  }
  const field = (tagName, extra = {}) => ({ nodeType: 1, tagName, type: 'text', readOnly: false, disabled: false, ...extra });
  assert.ok(isGuardedKey(key({ key: 'Backspace', target: field('DIV') })));
  assert.ok(!isGuardedKey(key({ key: 'Backspace', target: field('INPUT') })));
  assert.ok(!isGuardedKey(key({ key: 'Backspace', target: field('TEXTAREA') })));
  assert.ok(isGuardedKey(key({ key: 'Backspace', target: field('INPUT', { type: 'checkbox' }) })));
  assert.ok(isGuardedKey(key({ key: 'Backspace', target: field('INPUT', { readOnly: true }) })));
});
