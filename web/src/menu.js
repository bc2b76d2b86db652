// A small pop-up menu of our own, used for right-clicks and the list of all tabs. One is open at a
// time; it closes on a choice, Esc, a click elsewhere, a scroll or a resize of the window.

import { el } from './dom.js';

let current = null;

export function isMenuOpen() {
  return current !== null;
}

export function closeMenu() {
  if (!current) return;
  const { node, restore, listeners } = current;
  current = null;
  for (const [target, type, fn, capture] of listeners) target.removeEventListener(type, fn, capture);
  node.remove();
  if (restore && restore.isConnected && typeof restore.focus === 'function') restore.focus({ preventScroll: true });
}

// items: [{ label, action, disabled?, keys?, dot? ('live', 'pending', 'ended'), testid?, separator? }]; x, y: where the pointer was.
export function openMenu(items, x, y, { label = '選單', testid = 'menu' } = {}) {
  closeMenu();
  const node = el('div', { class: 'menu', role: 'menu', 'aria-label': label, tabindex: '-1', dataset: { testid } });
  const buttons = [];
  for (const item of items) {
    if (item.separator) {
      node.append(el('div', { class: 'menu-separator', role: 'separator' }));
      continue;
    }
    const button = el('button', {
      type: 'button',
      class: 'menu-item',
      role: 'menuitem',
      disabled: Boolean(item.disabled),
      tabindex: '-1',
      dataset: { testid: item.testid || 'menu-item' },
      onclick: () => {
        closeMenu();
        item.action();
      },
    },
    item.dot ? el('span', { class: `menu-dot ${item.dot}`, 'aria-hidden': 'true' }) : null,
    el('span', { class: 'menu-label', text: item.label }),
    item.keys ? el('span', { class: 'menu-keys', text: item.keys }) : null);
    node.append(button);
    if (!item.disabled) buttons.push(button);
  }
  const restore = document.activeElement;
  document.body.append(node);
  place(node, x, y);

  const outside = (event) => {
    if (!node.contains(event.target)) closeMenu();
  };
  const onKey = (event) => {
    event.stopPropagation();
    if (event.key === 'Escape') {
      event.preventDefault();
      closeMenu();
    } else if (event.key === 'ArrowDown' || event.key === 'ArrowUp') {
      event.preventDefault();
      step(buttons, event.key === 'ArrowDown' ? 1 : -1);
    } else if (event.key === 'Tab') {
      event.preventDefault();
      step(buttons, event.shiftKey ? -1 : 1);
    }
  };
  const gone = () => closeMenu();
  current = {
    node,
    restore,
    listeners: [
      [document, 'mousedown', outside, true],
      [document, 'contextmenu', outside, true],
      [node, 'keydown', onKey, false],
      [window, 'blur', gone, false],
      [window, 'resize', gone, false],
      [document, 'wheel', outside, true],
    ],
  };
  for (const [target, type, fn, capture] of current.listeners) target.addEventListener(type, fn, capture);
  (buttons[0] || node).focus({ preventScroll: true });
  return node;
}

function step(buttons, by) {
  if (!buttons.length) return;
  const at = buttons.indexOf(document.activeElement);
  buttons[(at + by + buttons.length) % buttons.length].focus();
}

// Kept inside the window: a menu opened near the right or bottom edge opens towards the inside.
function place(node, x, y) {
  const width = node.offsetWidth;
  const height = node.offsetHeight;
  const left = Math.max(4, Math.min(x, window.innerWidth - width - 4));
  const top = Math.max(4, Math.min(y, window.innerHeight - height - 4));
  node.style.left = `${left}px`;
  node.style.top = `${top}px`;
}
