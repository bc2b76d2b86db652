// Keys that move between tabs. WebKitGTK reports the key of Ctrl+Shift+Tab as "Unidentified", so
// keys are told apart by their `code`, which names the physical key whatever the modifiers.

const DIGITS = /^Digit([1-9])$/;

// → { step: ±1 } to move by one tab, { index } to go to a tab (0-based; -1 is the last), or null.
export function tabKey(event) {
  if (!event || event.type !== 'keydown' || event.metaKey) return null;
  const ctrlOnly = event.ctrlKey && !event.altKey;
  if (ctrlOnly && (event.code === 'Tab' || event.key === 'Tab')) return { step: event.shiftKey ? -1 : 1 };
  if (ctrlOnly && !event.shiftKey && event.code === 'PageDown') return { step: 1 };
  if (ctrlOnly && !event.shiftKey && event.code === 'PageUp') return { step: -1 };
  const digit = event.altKey && !event.ctrlKey && !event.shiftKey ? DIGITS.exec(event.code || '') : null;
  if (digit) return { index: digit[1] === '9' ? -1 : Number(digit[1]) - 1 };
  return null;
}

// The tab id a tab key leads to from `activeId` in `order`, or null when it leads nowhere new.
export function tabAfterKey(order, activeId, move) {
  if (!move || order.length === 0) return null;
  let next;
  if ('index' in move) {
    next = move.index < 0 ? order[order.length - 1] : order[move.index];
  } else {
    const at = order.indexOf(activeId);
    next = order[((at < 0 ? 0 : at) + move.step + order.length) % order.length];
  }
  return next && next !== activeId ? next : null;
}
