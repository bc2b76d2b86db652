// The PuTTY import dialog: lists PuTTY's saved sessions with check boxes and imports the chosen
// ones into our store. Built here rather than in index.html so that it stays one piece.

import { call } from './bridge.js';
import { clear, el, trapFocus } from './dom.js';
import { describePuttyEntry, usableEntries } from './puttyEntries.js';
import { toastError, toastSuccess } from './toasts.js';
import { asText, isPlainObject, truthy } from './values.js';

const message = (err) => (err && err.message ? err.message : String(err));

export class PuttyImport {
  // `app` shows the session list the back end answers with.
  constructor(app) {
    this.app = app;
    this.entries = [];
    this.boxes = [];
    this.busy = false;
    this._build();
  }

  get isOpen() {
    return !this.overlay.hidden;
  }

  _build() {
    this.title = el('h2', { id: 'putty-title', text: '從 PuTTY 匯入連線' });
    this.status = el('p', { class: 'putty-status', 'data-testid': 'putty-status' });
    this.all = el('input', { type: 'checkbox', 'aria-label': '全選', 'data-testid': 'putty-select-all' });
    this.all.addEventListener('change', () => this._selectAll(this.all.checked));
    this.rows = el('tbody', { 'data-testid': 'putty-rows' });
    this.table = el('table', { class: 'putty-table' },
      el('thead', {}, el('tr', {},
        el('th', { class: 'putty-check' }, el('label', {}, this.all, ' 全選')),
        el('th', { text: '名稱' }), el('th', { text: '主機或序列埠' }),
        el('th', { text: '通訊協定' }), el('th', { text: '連接埠' }))),
      this.rows);
    this.importButton = el('button', { class: 'primary-button', type: 'button', 'data-testid': 'putty-import', onclick: () => this._import() });
    this.cancelButton = el('button', { class: 'secondary-button', type: 'button', text: '取消', 'data-testid': 'putty-cancel', onclick: () => this.close() });
    const close = el('button', { class: 'icon-button', type: 'button', title: '取消（Esc）', 'aria-label': '取消', text: '×', onclick: () => this.close() });
    this.box = el('div', { class: 'dialog putty-import', role: 'dialog', 'aria-modal': 'true', 'aria-labelledby': 'putty-title', 'data-testid': 'putty-dialog' },
      el('header', { class: 'dialog-head' }, this.title, close),
      el('div', { class: 'putty-body' }, this.status, this.table),
      el('footer', { class: 'dialog-foot' }, el('span', { class: 'dialog-keys', text: 'Esc 取消' }), this.cancelButton, this.importButton));
    this.overlay = el('div', { id: 'putty-import', class: 'overlay', hidden: true }, this.box);
    this.overlay.addEventListener('keydown', (event) => {
      if (event.key === 'Escape') {
        event.preventDefault();
        event.stopPropagation();
        this.close();
      } else {
        trapFocus(this.box, event);
      }
    }, true);
    document.body.appendChild(this.overlay);
  }

  async open() {
    if (this.isOpen) return;
    this._show([], '正在讀取 PuTTY 的已儲存連線…');
    this.overlay.hidden = false;
    this.cancelButton.focus();
    let list;
    try {
      list = await call('import_list_from_putty');
    } catch (err) {
      this._show([], `無法讀取 PuTTY 的連線：${message(err)}`);
      return;
    }
    if (!this.isOpen) return;
    const entries = usableEntries(list);
    this._show(entries, entries.length ? '' : '找不到 PuTTY 的已儲存連線。');
  }

  close() {
    this.overlay.hidden = true;
  }

  _show(entries, text) {
    this.entries = entries;
    this.status.textContent = text;
    this.status.hidden = !text;
    this.table.hidden = entries.length === 0;
    this.all.checked = false;
    clear(this.rows);
    this.boxes = entries.map((entry, i) => {
      const row = describePuttyEntry(entry);
      const box = el('input', { type: 'checkbox', 'aria-label': `匯入「${row.name}」`, dataset: { index: String(i) } });
      box.addEventListener('change', () => this._update());
      this.rows.appendChild(el('tr', { 'data-testid': 'putty-row' },
        el('td', { class: 'putty-check' }, box),
        el('td', { text: row.name }), el('td', { text: row.host }),
        el('td', { text: row.protocol }), el('td', { text: row.port })));
      return box;
    });
    this._update();
  }

  _selectAll(on) {
    for (const box of this.boxes) box.checked = on;
    this._update();
  }

  _chosen() {
    return this.entries.filter((_, i) => this.boxes[i].checked);
  }

  _update() {
    const count = this._chosen().length;
    this.all.checked = count > 0 && count === this.boxes.length;
    this.all.indeterminate = count > 0 && count < this.boxes.length;
    this.importButton.textContent = count ? `匯入 ${count} 個連線` : '匯入';
    this.importButton.disabled = this.busy || count === 0;
  }

  async _import() {
    const chosen = this._chosen();
    if (this.busy || chosen.length === 0) return;
    this.busy = true;
    this._update();
    let result;
    try {
      result = await call('import_putty_sessions', chosen);
    } catch (err) {
      toastError(`無法匯入連線：${message(err)}`);
      return;
    } finally {
      this.busy = false;
      this._update();
    }
    if (!isPlainObject(result) || !Array.isArray(result.sessions)) {
      toastError('後端沒有回傳連線清單，連線可能沒有匯入。');
      return;
    }
    this.app.sessions = result.sessions;
    this.app.list.setSessions(result.sessions);
    this.app.render();
    if (truthy(result.error)) {
      toastError(`匯入的連線未能儲存：無法寫入連線設定檔（${asText(result.error)}）。請確認磁碟空間與資料夾權限。`);
      return;
    }
    this.close();
    toastSuccess(`已從 PuTTY 匯入 ${chosen.length} 個連線`);
  }
}

// Puts the dialog's button under the "new session" button of the sidebar.
export function installPuttyImport(app) {
  const dialog = new PuttyImport(app);
  const button = el('button', { id: 'btn-putty-import', class: 'secondary-button wide', type: 'button', text: '從 PuTTY 匯入…', 'data-testid': 'putty-open', onclick: () => dialog.open() });
  document.getElementById('btn-new-session').after(button);
  return dialog;
}
