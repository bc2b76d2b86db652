// Entry of the page. The two functions the back end calls are defined first, before anything can
// fail, so that no status line is lost while the page is still starting.

import { App } from './app.js';
import { refuseLinkAndFileDrops } from './dropGuard.js';
import { installKeyGuard } from './keyGuard.js';

const app = new App();

window.setTerminalInfo = (tabId, message, isError, afterDrain) => {
  app.onTerminalInfo(String(tabId), String(message ?? ''), isError === true, afterDrain);
};

window.terminalConnected = (tabId) => {
  app.onTerminalConnected(String(tabId));
};

refuseLinkAndFileDrops(window);
installKeyGuard(window);

// Hooks for the UI tests, which read the page by running script in it.
window.veltaroTest = Object.freeze({
  terminalText: (tabId) => app.terminalText(String(tabId)),
  activeTab: () => app.activeTabId,
  tabIds: () => [...app.order],
  xterm: (tabId) => app.xterm(String(tabId)),
});

app.start().catch((err) => {
  // Shown in the page, not only in a console nobody sees inside the application window.
  const note = document.getElementById('fatal');
  if (note) {
    note.hidden = false;
    note.textContent = `頁面啟動失敗：${err && err.message ? err.message : err}`;
  }
});
