// What the toolbar, the keyboard shortcuts and the terminal ask of the desktop and of one tab:
// encoding, output capture, board reset, clipboard, links and the key-file dialog.

import { call } from './bridge.js';
import { copyText } from './clipboard.js';
import { isOpenableUrl } from './links.js';
import { pasteSafely } from './safePaste.js';
import { toastError, toastInfo } from './toasts.js';
import { isPlainObject } from './values.js';

const message = (err) => (err && err.message ? err.message : String(err));

export class TabActions {
  constructor(app) {
    this.app = app;
  }

  copySelection(tab) {
    if (!tab.view.hasSelection()) return;
    const text = tab.view.selection();
    copyText(text).then((ok) => {
      if (!ok) toastError('無法複製到剪貼簿。');
      tab.view.focus();
    });
  }

  async pasteInto(tab) {
    let text;
    try {
      text = await call('read_clipboard');
    } catch (err) {
      toastError(`無法讀取剪貼簿：${message(err)}`);
      return;
    }
    if (typeof text !== 'string' || text === '') {
      toastInfo('剪貼簿裡沒有文字可以貼上。');
      return;
    }
    this.pasteText(tab, text);
  }

  pasteText(tab, text) {
    const open = () => this.app.tabs.get(tab.id) === tab;
    if (open()) pasteSafely(tab, text, open);
  }

  async setEncoding(tab, name) {
    try {
      const ok = await call('set_tab_encoding', tab.id, name);
      if (ok === true) tab.encoding = name;
      else toastError(`無法切換到編碼「${name}」：系統不認得這個名稱。`);
    } catch (err) {
      toastError(`無法切換編碼：${message(err)}`);
    }
    this.app.render();
    if (this.app.activeTab() === tab) tab.view.focus();
  }

  async toggleCapture(tab) {
    try {
      const result = await call('toggle_tab_reading', tab.id);
      if (isPlainObject(result)) tab.reading = Boolean(result.reading);
      if (!tab.reading) toastInfo('已關閉輸出擷取：這段期間收到的輸出會被丟棄。');
    } catch (err) {
      toastError(`無法切換輸出擷取：${message(err)}`);
    }
    this.app.render();
  }

  async boardAction(tab, operation) {
    try {
      const ok = await call(operation, tab.id);
      if (ok === true) toastInfo(operation === 'hard_reset_esp' ? '已送出重設訊號。' : '已送出進入燒錄模式的訊號。');
      else toastError('序列埠目前沒有開啟，無法操作板子；請等它重新連接後再試。');
    } catch (err) {
      toastError(`無法操作板子：${message(err)}`);
    }
  }

  async openUrl(url) {
    if (!isOpenableUrl(url)) return;
    try {
      const ok = await call('open_url', url);
      if (ok !== true) toastError('無法開啟瀏覽器；請手動複製這個網址。');
    } catch (err) {
      toastError(`無法開啟網址：${message(err)}`);
    }
  }

  async pickKey() {
    try {
      const path = await call('pick_private_key');
      return typeof path === 'string' ? path : '';
    } catch (err) {
      toastError(`無法開啟檔案選擇視窗：${message(err)}`);
      return '';
    }
  }
}
