// Short messages in a corner: what happened and what to do. They never block the page.

import { byId, el } from './dom.js';

const SHOW_MS = { info: 4000, success: 3000, error: 9000 };
const MAX_SHOWN = 4;

function container() {
  return byId('toasts');
}

export function toast(message, kind = 'info') {
  const box = container();
  const text = String(message);
  // The same failure repeated (a poll that keeps failing) is counted, not stacked.
  for (const existing of box.children) {
    if (existing.dataset.kind === kind && existing.dataset.message === text) {
      const count = Number(existing.dataset.count || '1') + 1;
      existing.dataset.count = String(count);
      existing.querySelector('.toast-count').textContent = `×${count}`;
      restartTimer(existing, kind);
      return existing;
    }
  }
  const node = el('div', {
    class: `toast toast-${kind}`,
    role: kind === 'error' ? 'alert' : 'status',
    dataset: { testid: 'toast', kind, message: text, count: '1' },
  },
  el('span', { class: 'toast-icon', 'aria-hidden': 'true', text: kind === 'error' ? '!' : kind === 'success' ? '✓' : 'i' }),
  el('span', { class: 'toast-text', text }),
  el('span', { class: 'toast-count' }),
  el('button', { class: 'toast-close', type: 'button', title: '關閉', 'aria-label': '關閉', text: '×', onclick: () => dismiss(node) }));
  box.appendChild(node);
  while (box.children.length > MAX_SHOWN) box.removeChild(box.firstChild);
  restartTimer(node, kind);
  return node;
}

function restartTimer(node, kind) {
  clearTimeout(node._timer);
  node._timer = setTimeout(() => dismiss(node), SHOW_MS[kind] || SHOW_MS.info);
}

function dismiss(node) {
  clearTimeout(node._timer);
  node.classList.add('toast-leaving');
  setTimeout(() => node.remove(), 180);
}

export const toastError = (message) => toast(message, 'error');
export const toastInfo = (message) => toast(message, 'info');
export const toastSuccess = (message) => toast(message, 'success');
