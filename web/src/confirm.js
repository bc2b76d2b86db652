// A question in the page itself (a native dialog would block the web view and look foreign).

import { byId, clear, trapFocus } from './dom.js';

let open = null;

export function isConfirmOpen() {
  return open !== null;
}

export function confirmDialog({ title, message, detail = '', okLabel = '確定', cancelLabel = '取消', danger = false }) {
  if (open) open.finish(false);
  const overlay = byId('confirm');
  const box = byId('confirm-box');
  clear(byId('confirm-title')).append(title);
  clear(byId('confirm-message')).append(message);
  const detailNode = clear(byId('confirm-detail'));
  detailNode.append(detail);
  detailNode.hidden = !detail;
  const ok = byId('confirm-ok');
  const cancel = byId('confirm-cancel');
  ok.textContent = okLabel;
  cancel.textContent = cancelLabel;
  ok.classList.toggle('danger', danger);
  const previousFocus = document.activeElement;

  return new Promise((resolve) => {
    const onKey = (event) => {
      if (event.key === 'Escape') {
        event.preventDefault();
        event.stopPropagation();
        finish(false);
      } else {
        trapFocus(box, event);
      }
    };
    const finish = (answer) => {
      if (open !== state) return;
      open = null;
      overlay.hidden = true;
      overlay.removeEventListener('keydown', onKey, true);
      ok.onclick = null;
      cancel.onclick = null;
      if (previousFocus && previousFocus.isConnected && typeof previousFocus.focus === 'function') previousFocus.focus();
      resolve(answer);
    };
    const state = { finish };
    open = state;
    ok.onclick = () => finish(true);
    cancel.onclick = () => finish(false);
    overlay.addEventListener('keydown', onKey, true);
    overlay.hidden = false;
    ok.focus();
  });
}
