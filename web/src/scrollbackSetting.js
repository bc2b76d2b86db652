// How many lines every terminal keeps above its screen: one view setting for all tabs, set in the
// toolbar and applied when the entry is committed, so that typing "50000" never passes through
// a 5-line buffer that would throw the history away on the way.

import { el } from './dom.js';
import { getView, setView } from './viewSettings.js';

export const SCROLLBACK = Object.freeze({ defaultLines: 10000, minLines: 100, maxLines: 100000 });
const KEY = 'scrollback';

// A whole number of lines within the bounds, or null for an entry that is not a number.
export function clampScrollback(value) {
  const text = typeof value === 'string' ? value.trim().replace(/[,\s_]/g, '') : value;
  if (text === '' || text === null || text === undefined) return null;
  const n = Number(text);
  if (!Number.isFinite(n)) return null;
  return Math.min(SCROLLBACK.maxLines, Math.max(SCROLLBACK.minLines, Math.round(n)));
}

export function scrollbackLines() {
  return clampScrollback(getView(KEY)) ?? SCROLLBACK.defaultLines;
}

// The field in the toolbar; `apply(lines)` gives every open terminal the new length.
export function mountScrollbackSetting(toolbar, apply) {
  const input = el('input', {
    id: 'scrollback-lines',
    class: 'tool-number',
    type: 'number',
    min: String(SCROLLBACK.minLines),
    max: String(SCROLLBACK.maxLines),
    step: '1000',
    value: String(scrollbackLines()),
    title: `所有分頁保留的捲動行數（${SCROLLBACK.minLines}–${SCROLLBACK.maxLines}）`,
    'aria-label': '捲動緩衝行數',
    dataset: { testid: 'scrollback-lines' },
  });
  const commit = () => {
    const lines = clampScrollback(input.value);
    input.classList.toggle('invalid', lines === null);
    if (lines === null) {
      input.title = '請輸入行數，例如 10000';
      return;
    }
    input.value = String(lines);
    input.title = `所有分頁保留的捲動行數（${SCROLLBACK.minLines}–${SCROLLBACK.maxLines}）`;
    if (lines === scrollbackLines()) return;
    setView(KEY, lines);
    apply(lines);
  };
  input.addEventListener('change', commit);
  input.addEventListener('keydown', (event) => {
    if (event.key === 'Enter') commit();
  });
  const group = el('span', { class: 'tool-group scrollback-setting' },
    el('span', { class: 'tool-sep', 'aria-hidden': 'true' }),
    el('label', { class: 'tool-label', for: 'scrollback-lines' }, '捲動緩衝'),
    input,
    el('span', { class: 'tool-unit' }, '行'));
  const spacer = toolbar.querySelector('.tool-spacer');
  toolbar.insertBefore(group, spacer);
  return group;
}
