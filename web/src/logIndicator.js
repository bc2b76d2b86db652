// The toolbar's session-log mark: shown while the active tab writes a log, naming the file, and a
// click shows the file's folder in the desktop's file manager.

import { call } from './bridge.js';
import { byId, el } from './dom.js';
import { toastError } from './toasts.js';

const message = (err) => (err && err.message ? err.message : String(err));

export class LogIndicator {
  constructor() {
    this.tab = null;
    this.node = el('button', {
      type: 'button',
      id: 'tab-log',
      class: 'tool-button log-indicator',
      hidden: true,
      dataset: { testid: 'tab-log' },
      onclick: () => this._showFolder(),
    }, el('span', { class: 'log-dot', 'aria-hidden': 'true' }), '記錄中');
    const toolbar = byId('toolbar');
    toolbar.insertBefore(this.node, toolbar.querySelector('.tool-spacer'));
  }

  // tab.logFile: the file the back end writes for the tab, '' when it keeps no log.
  render(tab) {
    this.tab = tab || null;
    const file = tab && tab.logFile ? tab.logFile : '';
    this.node.hidden = !file;
    this.node.title = file ? `正在記錄到 ${file}；按一下開啟所在資料夾` : '';
    this.node.dataset.file = file;
  }

  async _showFolder() {
    const tab = this.tab;
    if (!tab || !tab.logFile) return;
    try {
      if ((await call('show_tab_log', tab.id)) !== true) {
        toastError(`無法開啟記錄檔所在的資料夾；檔案位於 ${tab.logFile}`);
      }
    } catch (err) {
      toastError(`無法開啟記錄檔所在的資料夾：${message(err)}`);
    }
  }
}
