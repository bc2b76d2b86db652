// A session file that could not be read is announced at start and stays announced until the user
// dismisses it: an empty list must not look like a fresh install while the old file is set aside.

import { el } from './dom.js';
import { asText, isPlainObject } from './values.js';

// The notice's sentences for the back end's `broken_store` answer; null when the store loaded.
export function storeNoticeText(info) {
  if (!isPlainObject(info)) return null;
  const file = asText(info.file) || 'sessions.json';
  const folder = asText(info.folder);
  const copy = asText(info.copy);
  const reason = asText(info.reason) || '原因不明';
  const where = folder ? `（在 ${folder}）` : '';
  const kept = copy
    ? `原檔已原封不動另存為「${basename(copy)}」${where}；之後的儲存不會動到這份副本，可以從中找回或修正連線。`
    : `在儲存任何變更之前，原檔會先另存為「sessions.json.broken-…」${where}，不會遺失。`;
  return {
    title: '無法讀取連線設定檔',
    lines: [`「${file}」無法讀取，所以清單暫時是空的。原因：${reason}`, kept],
  };
}

function basename(path) {
  const parts = path.split(/[\\/]/);
  return parts[parts.length - 1] || path;
}

export function showStoreNotice(info) {
  const text = storeNoticeText(info);
  if (!text) return null;
  const node = el('section', { class: 'store-notice', role: 'alert', dataset: { testid: 'store-notice' } },
    el('span', { class: 'store-notice-icon', 'aria-hidden': 'true', text: '!' }),
    el('div', { class: 'store-notice-body' },
      el('strong', { class: 'store-notice-title', text: text.title }),
      text.lines.map((line) => el('p', { text: line }))),
    el('button', {
      type: 'button',
      class: 'secondary-button store-notice-close',
      dataset: { testid: 'store-notice-close' },
      text: '知道了',
      onclick: () => node.remove(),
    }));
  document.body.append(node);
  return node;
}
