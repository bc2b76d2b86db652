// Closing a tab whose connection is still up asks first; the answer "不再詢問" is kept in the
// page's local storage. Tabs whose connection has ended close at once.

import { confirmDialog } from './confirm.js';
import { el } from './dom.js';

const KEY = 'veltaro.closeLiveTabs.noAsk';

function askingIsOff() {
  try {
    return window.localStorage.getItem(KEY) === '1';
  } catch {
    return false;
  }
}

function turnAskingOff() {
  try {
    window.localStorage.setItem(KEY, '1');
  } catch {
    // Storage unavailable: the question simply comes again next time.
  }
}

export function liveTabQuestion(liveCount) {
  return liveCount === 1 ? '這個分頁仍在連線中，確定要關閉？' : `有 ${liveCount} 個分頁仍在連線中，確定要關閉？`;
}

// Resolves to true when the tabs may be closed.
export async function confirmClosingTabs(tabs) {
  const live = tabs.filter((tab) => tab && tab.alive);
  if (live.length === 0 || askingIsOff()) return true;
  const check = el('input', { type: 'checkbox', id: 'confirm-no-ask', dataset: { testid: 'confirm-no-ask' } });
  const ok = await confirmDialog({
    title: '關閉分頁？',
    message: liveTabQuestion(live.length),
    detail: el('label', { class: 'confirm-check', for: 'confirm-no-ask' }, check, el('span', { text: '不再詢問' })),
    okLabel: '關閉',
    cancelLabel: '取消',
    danger: true,
  });
  if (ok && check.checked) turnAskingOff();
  return ok;
}
