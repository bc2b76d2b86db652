// Saving, duplicating and deleting sessions. The store is the back end's: the list shown is always
// the one its last answer carried, and a write failure is reported, never shown as saved.

import { call } from './bridge.js';
import { confirmDialog } from './confirm.js';
import { toastError, toastSuccess } from './toasts.js';
import { describeSession, duplicateRecord } from './sessionModel.js';
import { asText, isPlainObject, truthy } from './values.js';

const message = (err) => (err && err.message ? err.message : String(err));

export class SessionActions {
  constructor(app) {
    this.app = app;
  }


  findSession(id) {
    return this.app.sessions.find((s) => asText(s.id) === id) || null;
  }

  newSession() {
    if (this.app.editor.isOpen) return;
    this.app.editor.open({ protocol: 'ssh' }, 'new');
  }

  editSession(id) {
    const rec = this.findSession(id);
    if (rec && !this.app.editor.isOpen) this.app.editor.open(rec, 'edit');
  }

  // Resolves to { ok, error?, id? } for the editor, which shows a failure in its own banner; a
  // store that could not write its file is a failure even though the answer carries the list.
  async saveSession(record) {
    const before = record.id ? this.findSession(asText(record.id)) : null;
    let result;
    try {
      result = await call('save_session', record);
    } catch (err) {
      return { ok: false, error: `無法儲存連線：${message(err)}` };
    }
    if (!isPlainObject(result) || !Array.isArray(result.sessions)) {
      return { ok: false, error: '後端沒有回傳連線清單，變更可能沒有儲存；請再試一次。' };
    }
    this._takeSessions(result.sessions);
    const id = asText(result.id);
    if (truthy(result.error) || result.ok === false) {
      const text = `無法寫入連線設定檔：${asText(result.error) || '未知的錯誤'}。請確認磁碟空間與資料夾權限後再按一次儲存。`;
      return { ok: false, error: text, id };
    }
    const saved = this.findSession(id) || record;
    this._followEncodingChange(before, saved);
    this.app.list.select(id);
    toastSuccess(`已儲存「${describeSession(saved).title}」`);
    this.app.requestRuntimeSoon();
    return { ok: true, id };
  }

  // The back end switches open tabs of an edited session to its new encoding; the toolbar shows
  // the same unless the user had picked another one for the tab.
  _followEncodingChange(before, after) {
    const was = (asText(before && before.line_code_page) || 'utf-8').toLowerCase();
    const now = (asText(after && after.line_code_page) || 'utf-8').toLowerCase();
    if (was === now) return;
    for (const tab of this.app.tabs.values()) {
      if (tab.sessionId === asText(after.id) && tab.encoding === was) tab.encoding = now;
    }
    this.app.render();
  }

  async duplicateSession(id) {
    const rec = this.findSession(id);
    if (!rec) return;
    const copy = duplicateRecord(rec, this.app.sessions);
    let result;
    try {
      result = await call('save_session', copy);
    } catch (err) {
      toastError(`無法複製連線：${message(err)}`);
      return;
    }
    if (!isPlainObject(result) || !Array.isArray(result.sessions)) {
      toastError('後端沒有回傳連線清單，副本可能沒有建立。');
      return;
    }
    this._takeSessions(result.sessions);
    if (truthy(result.error) || result.ok === false) {
      toastError(`副本未能儲存：無法寫入連線設定檔（${asText(result.error) || '未知的錯誤'}）。請確認磁碟空間與資料夾權限。`);
      return;
    }
    this.app.list.select(asText(result.id));
    toastSuccess(`已建立副本「${copy.name}」`);
  }

  async deleteSession(id) {
    const rec = this.findSession(id);
    if (!rec) return;
    const { title } = describeSession(rec);
    const openTabs = [...this.app.tabs.values()].filter((t) => t.sessionId === id).length;
    const ok = await confirmDialog({
      title: '刪除連線？',
      message: `確定要刪除「${title}」嗎？這個動作無法復原。`,
      detail: openTabs ? `這個連線目前有 ${openTabs} 個分頁開著；它們會保持連線，直到你關閉它們。` : '已開啟的分頁會保持連線，直到你關閉它們。',
      okLabel: '刪除',
      cancelLabel: '取消',
      danger: true,
    });
    if (!ok) return;
    let result;
    try {
      result = await call('delete_session', id);
    } catch (err) {
      toastError(`無法刪除連線：${message(err)}`);
      return;
    }
    if (!isPlainObject(result) || !Array.isArray(result.sessions)) {
      toastError('後端沒有回傳連線清單，連線可能沒有刪除。');
      return;
    }
    this._takeSessions(result.sessions);
    if (truthy(result.error) || result.ok === false) {
      toastError(`刪除未能儲存：無法寫入連線設定檔（${asText(result.error) || '未知的錯誤'}）。重新啟動後它可能會再出現；請確認磁碟空間與資料夾權限。`);
      return;
    }
    toastSuccess(`已刪除「${title}」`);
  }

  _takeSessions(sessions) {
    this.app.sessions = sessions;
    this.app.list.setSessions(sessions);
    this.app.render();
  }
}
