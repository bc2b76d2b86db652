// Right-click menus of our own: the terminal, a session row, a tab and text fields each have one,
// and the web view's menu (Reload, Back, Inspect …) is never shown anywhere.

import { call } from './bridge.js';
import { copyText } from './clipboard.js';
import { isEditable } from './keyGuard.js';
import { openMenu } from './menu.js';
import { toastError } from './toasts.js';

export function installContextMenus(app) {
  document.addEventListener('contextmenu', (event) => {
    event.preventDefault();
    const items = menuFor(app, event.target);
    if (items && items.length) openMenu(items, event.clientX, event.clientY, { label: '操作選單', testid: 'context-menu' });
  }, true);
}

function menuFor(app, target) {
  if (!target || !target.closest) return null;
  const terminal = target.closest('.terminal-view');
  if (terminal) return terminalMenu(app, app.tabs.get(terminal.dataset.tabId));
  const row = target.closest('.session-row');
  if (row) return sessionMenu(app, row.dataset.sessionId);
  const tab = target.closest('.tab');
  if (tab) return tabMenu(app, app.tabs.get(tab.dataset.tabId));
  if (isEditable(target)) return fieldMenu(target);
  return null;
}

function terminalMenu(app, tab) {
  if (!tab) return null;
  const term = tab.view.term;
  const items = [
    { label: '複製', keys: 'Ctrl+Shift+C', testid: 'menu-copy', disabled: !tab.view.hasSelection(), action: () => app.actions.copySelection(tab) },
    { label: '貼上', keys: 'Ctrl+Shift+V', testid: 'menu-paste', action: () => app.actions.pasteInto(tab) },
    { label: '全選', testid: 'menu-select-all', action: () => term.selectAll() },
    { separator: true },
    { label: '清除畫面', testid: 'menu-clear', action: () => term.clear() },
  ];
  // Scrollback search lives in a module of its own; the menu offers it once the page has it.
  if (typeof app.openSearch === 'function') {
    items.push({ label: '搜尋', keys: 'Ctrl+Shift+F', testid: 'menu-search', action: () => app.openSearch(tab) });
  }
  return items;
}

function sessionMenu(app, id) {
  if (!id) return null;
  app.list.select(id);
  const actions = app.list.actions;
  return [
    { label: '連線', keys: 'Enter', testid: 'menu-connect', action: () => actions.open(id) },
    { label: '編輯', keys: 'F2', testid: 'menu-edit', action: () => actions.edit(id) },
    { label: '複製連線', testid: 'menu-duplicate', action: () => actions.duplicate(id) },
    { separator: true },
    { label: '刪除', keys: 'Delete', testid: 'menu-delete', action: () => actions.remove(id) },
  ];
}

function tabMenu(app, tab) {
  if (!tab) return null;
  return [
    { label: '重新連線', testid: 'menu-reconnect', action: () => app.reconnect(tab) },
    { separator: true },
    { label: '關閉', keys: 'Ctrl+Shift+W', testid: 'menu-close', action: () => app.requestCloseTabs([tab.id]) },
    {
      label: '關閉其他分頁',
      testid: 'menu-close-others',
      disabled: app.order.length < 2,
      action: () => app.requestCloseTabs(app.order.filter((id) => id !== tab.id)),
    },
  ];
}

// Text fields keep the edits a person expects from a right-click, in our own words.
function fieldMenu(field) {
  const selected = () => field.value.slice(field.selectionStart ?? 0, field.selectionEnd ?? 0);
  const hasSelection = (field.selectionEnd ?? 0) > (field.selectionStart ?? 0);
  const secret = field.type === 'password';
  const replaceSelection = (text) => {
    field.setRangeText(text, field.selectionStart ?? 0, field.selectionEnd ?? 0, 'end');
    field.dispatchEvent(new Event('input', { bubbles: true }));
    field.focus();
  };
  return [
    {
      label: '剪下', testid: 'menu-cut', disabled: !hasSelection || secret || field.readOnly,
      action: () => copyText(selected()).then((ok) => (ok ? replaceSelection('') : toastError('無法複製到剪貼簿。'))),
    },
    {
      label: '複製', testid: 'menu-copy', disabled: !hasSelection || secret,
      action: () => copyText(selected()).then((ok) => {
        if (!ok) toastError('無法複製到剪貼簿。');
        field.focus();
      }),
    },
    { label: '貼上', testid: 'menu-paste', disabled: field.readOnly, action: () => pasteInto(field, replaceSelection) },
    { separator: true },
    { label: '全選', testid: 'menu-select-all', action: () => { field.focus(); field.select(); } },
  ];
}

async function pasteInto(field, replaceSelection) {
  try {
    const text = await call('read_clipboard');
    if (typeof text === 'string' && text && field.isConnected) replaceSelection(text);
  } catch (err) {
    toastError(`無法讀取剪貼簿：${err && err.message ? err.message : err}`);
  }
}
