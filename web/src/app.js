// The page's controller: keeps the sessions and tabs the back end reports, and connects the views
// (session list, editor, tab strip, toolbar, terminals) to the back end's operations.

import { call, onHostLate } from './bridge.js';
import { byId } from './dom.js';
import { InputQueue, LatestOnly } from './inputQueue.js';
import { DrainLoop } from './drainLoop.js';
import { OutputWatch } from './outputWatch.js';
import { TerminalView } from './terminal.js';
import { SessionList } from './sessionList.js';
import { SessionEditor } from './editor.js';
import { TabStrip, Toolbar } from './tabs.js';
import { Welcome } from './welcome.js';
import { isConfirmOpen } from './confirm.js';
import { isPasteQuestionOpen } from './safePaste.js';
import { openSearch } from './search.js';
import { mountScrollbackSetting } from './scrollbackSetting.js';
import { SessionActions } from './sessionActions.js';
import { TabActions } from './tabActions.js';
import { toastError } from './toasts.js';
import { getView, noteOpened } from './viewSettings.js';
import { asText, canonicalJson, isPlainObject } from './values.js';
import { installSidebar } from './sidebar.js';
import { installPuttyImport } from './puttyImport.js';
import { AssistantPanel } from './assistantPanel.js';
import { HostKeyAction, hostKeyOffer } from './hostKeyAction.js';
import { tabAfterKey, tabKey } from './tabKeys.js';
import { installContextMenus } from './contextMenu.js';
import { confirmClosingTabs } from './closeConfirm.js';
import { showStoreNotice } from './storeNotice.js';
import { installTabOverflow } from './tabOverflow.js';
import { LogIndicator } from './logIndicator.js';
import { RuntimePace } from './runtimePace.js';
import { addPageFaces } from './pageFonts.js';

// An announced change is asked for after this pause, so that a burst of events costs one ask.
const RUNTIME_SOON_MS = 150;
const FONT_WAIT_MS = 1500;
const PENDING_LINES_PER_TAB = 50;
const PENDING_TABS = 32;

const message = (err) => (err && err.message ? err.message : String(err));

function isShortcut(event) {
  if (event.type !== 'keydown') return false;
  const ctrl = event.ctrlKey && !event.altKey && !event.metaKey;
  if (tabKey(event)) return 'tab';
  if (ctrl && event.shiftKey && event.code === 'KeyW') return 'close';
  if (ctrl && event.shiftKey && event.code === 'KeyC') return 'copy';
  if (ctrl && event.shiftKey && event.code === 'KeyV') return 'paste';
  if (ctrl && event.shiftKey && event.code === 'KeyF') return 'search';
  if (event.shiftKey && !event.ctrlKey && !event.altKey && event.key === 'Insert') return 'paste';
  return false;
}

export class App {
  constructor() {
    this.sessions = [];
    this.sessionStatus = {};
    this.puttygenPath = '';
    this.tabs = new Map(); // tab id → tab
    this.watch = new OutputWatch({
      wait: (since, waitMs) => call('wait_for_output', since, waitMs),
      onStatus: () => this.requestRuntimeSoon(),
    });
    this.order = [];
    this.activeTabId = null;
    this.geometry = null; // last fitted { cols, rows } of the terminal area
    // Tab-changing calls in flight, and a counter of those made: a periodic state that was asked
    // for before one of them must not add or remove tabs, or it would undo what that call did.
    this.mutating = 0;
    this.epoch = 0;
    this.connecting = new Set();
    this.pendingLines = new Map();
    this.pendingConnected = new Set();
    this.reusableViews = new Map(); // session id → terminal kept across a reconnect
    this._runtimeInFlight = false;
    this._runtimeSoon = null;
    this._runtimeFailures = 0;
    this.runtimePace = new RuntimePace();
    this._started = false;
  }

  // ----- start -----

  async start() {
    await addPageFaces(document.fonts, globalThis.FontFace, FONT_WAIT_MS);
    document.documentElement.classList.remove('fonts-pending');
    this.area = byId('terminal-area');
    const sessions = new SessionActions(this);
    const actions = new TabActions(this);
    this.actions = actions;
    this.list = new SessionList({
      open: (id) => this.openSession(id),
      edit: (id) => sessions.editSession(id),
      duplicate: (id) => sessions.duplicateSession(id),
      remove: (id) => sessions.deleteSession(id),
      create: () => sessions.newSession(),
    });
    this.editor = new SessionEditor({
      save: (record) => sessions.saveSession(record),
      pickKey: () => actions.pickKey(),
      puttygenPath: () => this.puttygenPath,
    });
    this.strip = new TabStrip({ activate: (id) => this.activate(id), close: (id) => this.requestCloseTabs([id]) });
    installTabOverflow(this.strip.node, {
      tabs: () => this.order.map((id) => this.tabs.get(id)).filter(Boolean),
      activeId: () => this.activeTabId,
      activate: (id) => this.activate(id),
    });
    installContextMenus(this);
    this.toolbar = new Toolbar({
      setEncoding: (tab, name) => actions.setEncoding(tab, name),
      toggleCapture: (tab) => actions.toggleCapture(tab),
      reconnect: (tab) => this.reconnect(tab),
      resetBoard: (tab) => actions.boardAction(tab, 'hard_reset_esp'),
      bootloader: (tab) => actions.boardAction(tab, 'enter_bootloader_esp'),
    });
    this.hostKeyAction = new HostKeyAction({ reconnect: (tab) => this.reconnect(tab) });
    this.logIndicator = new LogIndicator();
    this.welcome = new Welcome({ open: (id) => this.openSession(id), create: () => sessions.newSession() });
    installSidebar(() => this.scheduleFit());
    mountScrollbackSetting(byId('toolbar'), (lines) => this._setScrollback(lines));
    this.puttyImport = installPuttyImport(this);
    new AssistantPanel(this).mount(byId('app'), document.querySelector('.tabbar'));
    window.addEventListener('keydown', (event) => this._onKey(event), true);
    new ResizeObserver(() => this.scheduleFit()).observe(this.area);
    document.addEventListener('visibilitychange', () => {
      if (!document.hidden) this.refreshRuntime();
    });
    onHostLate(() => toastError('尚未連上應用程式的後端；如果一直如此，請重新啟動 Veltaro。'));
    this.render();

    this._loadImages();
    await this._loadInitialState();
    this._started = true;
    await this.refreshRuntime({ initial: true });
    this.watch.start();
    this._runtimeLoop();
  }

  async _loadImages() {
    try {
      const images = await call('get_images');
      const logo = isPlainObject(images) ? asText(images.logo) || asText(images.logo_ico) : '';
      if (logo.startsWith('data:image/')) {
        for (const id of ['logo', 'welcome-logo']) {
          const node = byId(id);
          const img = document.createElement('img');
          img.alt = '';
          img.src = logo;
          node.replaceChildren(img);
          node.classList.add('has-image');
        }
      }
    } catch {
      // The drawn mark stays; a missing logo is not worth a message.
    }
  }

  async _loadInitialState() {
    try {
      const state = await call('get_initial_state');
      if (!isPlainObject(state)) throw new Error('回傳的內容不正確');
      this.puttygenPath = asText(state.puttygen_path);
      this.sessions = Array.isArray(state.sessions) ? state.sessions : [];
      this.list.setSessions(this.sessions);
      showStoreNotice(state.broken_store);
    } catch (err) {
      toastError(`無法讀取連線清單：${message(err)}。請重新啟動 Veltaro。`);
    }
    this.render();
  }

  async _runtimeLoop() {
    for (;;) {
      await new Promise((r) => setTimeout(r, this.runtimePace.delay(document.hidden)));
      await this.refreshRuntime({ fallback: true });
    }
  }

  requestRuntimeSoon() {
    if (this._runtimeSoon !== null || !this._started) return;
    this._runtimeSoon = setTimeout(() => {
      this._runtimeSoon = null;
      this.refreshRuntime();
    }, RUNTIME_SOON_MS);
  }

  async refreshRuntime({ initial = false, fallback = false } = {}) {
    if (this._runtimeInFlight) return;
    this._runtimeInFlight = true;
    const epoch = this.epoch;
    try {
      const state = await call('get_runtime_state');
      this.runtimePace.saw(canonicalJson(state), fallback);
      const structural = epoch === this.epoch && this.mutating === 0;
      this.applyRuntimeState(state, { structural, adoptActive: initial });
      this._runtimeFailures = 0;
    } catch (err) {
      this._runtimeFailures += 1;
      if (this._runtimeFailures === 3) toastError(`無法取得分頁狀態：${message(err)}`);
    } finally {
      this._runtimeInFlight = false;
    }
  }

  // ----- tabs -----

  // structural: the state may add and remove tabs; adoptActive: show the tab it names as active
  // (after opening and closing, where the back end picks the tab to show).
  applyRuntimeState(state, { structural, adoptActive }) {
    if (!isPlainObject(state)) return;
    if (isPlainObject(state.session_status)) this.sessionStatus = state.session_status;
    if (Array.isArray(state.tabs)) {
      const summaries = state.tabs.filter((t) => isPlainObject(t) && typeof t.id === 'string' && t.id);
      const listed = new Set(summaries.map((t) => t.id));
      for (const summary of summaries) {
        const tab = this.tabs.get(summary.id);
        if (tab) this._updateTab(tab, summary);
        else if (structural) this._createTab(summary);
      }
      if (structural) {
        for (const tab of [...this.tabs.values()]) if (!listed.has(tab.id)) this._removeTab(tab);
      }
      const ordered = summaries.map((t) => t.id).filter((id) => this.tabs.has(id));
      for (const id of this.tabs.keys()) if (!ordered.includes(id)) ordered.push(id);
      this.order = ordered;
    }
    let active = this.activeTabId;
    if (adoptActive && (state.active_tab === null || typeof state.active_tab === 'string')) active = state.active_tab;
    if (!this.tabs.has(active)) active = this.order.length ? this.order[this.order.length - 1] : null;
    this._setActive(active);
    this.render();
  }

  _updateTab(tab, summary) {
    tab.display = asText(summary.display);
    tab.protocol = asText(summary.protocol) || tab.protocol;
    tab.alive = summary.alive !== false;
    tab.sessionId = asText(summary.session_id);
    tab.hostKey = hostKeyOffer(summary);
    tab.logFile = asText(summary.log_file);
  }

  _createTab(summary) {
    const sessionId = asText(summary.session_id);
    const session = this.sessions.find((s) => asText(s.id) === sessionId);
    const tab = {
      id: summary.id,
      sessionId,
      display: asText(summary.display),
      protocol: asText(summary.protocol) || 'ssh',
      alive: summary.alive !== false,
      connected: false,
      encoding: (asText(session && session.line_code_page) || 'utf-8').toLowerCase(),
      reading: true,
      closing: false,
      hostKey: hostKeyOffer(summary),
      logFile: asText(summary.log_file),
    };
    const kept = this.reusableViews.get(sessionId);
    if (kept) {
      this.reusableViews.delete(sessionId);
      tab.view = kept.view;
      tab.view.rebind(this._terminalHandlers(tab));
    } else {
      tab.view = new TerminalView(this.area, { ...this._terminalHandlers(tab), onOpenLink: (url) => this.actions.openUrl(url) });
    }
    tab.view.setTabId(tab.id);
    if (this.geometry) tab.view.resizeTo(this.geometry.cols, this.geometry.rows);
    tab.input = new InputQueue((text) => call('send_input', tab.id, text), {
      onError: (err) => toastError(`輸入沒有送出：${message(err)}`),
    });
    tab.sizer = new LatestOnly(({ rows, cols }) => call('resize_pty', tab.id, rows, cols));
    tab.drain = new DrainLoop({
      fetch: async (waitMs) => {
        if (waitMs) await this.watch.changed(tab.id);
        return call('drain_terminal', tab.id, 0);
      },
      write: (text) => tab.view.write(text),
      line: ([text, isError]) => tab.view.status(text, isError),
      ended: () => !tab.alive,
      wake: () => this.watch.wake(tab.id),
    });
    this.tabs.set(tab.id, tab);
    const early = this.pendingLines.get(tab.id);
    if (early) {
      this.pendingLines.delete(tab.id);
      for (const [text, isError, afterDrain] of early) tab.drain.status([text, isError], afterDrain);
    }
    if (this.pendingConnected.delete(tab.id)) tab.connected = true;
    this.watch.track(tab.id);
    tab.drain.start();
    if (kept) tab.view.status('─── 重新連線 ───', false);
    this._refreshReading(tab);
    return tab;
  }

  _removeTab(tab, { keepView = false } = {}) {
    tab.drain.stop();
    this.watch.forget(tab.id);
    tab.input.close();
    if (!keepView) tab.view.dispose();
    this.tabs.delete(tab.id);
    this.order = this.order.filter((id) => id !== tab.id);
  }

  _setActive(id) {
    const previous = this.tabs.get(this.activeTabId);
    const next = this.tabs.get(id);
    this.activeTabId = next ? id : null;
    if (previous && previous !== next) previous.view.hide();
    if (!next) return;
    const wasHidden = !next.view.visible;
    next.view.show();
    if (wasHidden) {
      this.fitActive();
      this._refreshReading(next);
      if (!this.editor.isOpen && !isConfirmOpen() && !isPasteQuestionOpen()) next.view.focus();
    }
  }

  activate(id) {
    if (!this.tabs.has(id)) return;
    this._setActive(id);
    this.render();
    const tab = this.tabs.get(id);
    if (!this.editor.isOpen) tab.view.focus();
  }

  // Live tabs ask first (closeConfirm.js); the tabs are closed one after another.
  async requestCloseTabs(ids) {
    const tabs = ids.map((id) => this.tabs.get(id)).filter((tab) => tab && !tab.closing);
    if (tabs.length === 0 || !(await confirmClosingTabs(tabs))) return;
    for (const tab of tabs) await this.closeTab(tab.id);
  }

  activeTab() {
    return this.tabs.get(this.activeTabId) || null;
  }

  async openSession(sessionId) {
    if (!sessionId) return;
    const open = [...this.tabs.values()].find((t) => t.sessionId === sessionId && !t.closing);
    if (open) {
      this.activate(open.id);
      noteOpened(sessionId);
      return;
    }
    if (this.connecting.has(sessionId)) return;
    this.connecting.add(sessionId);
    this.mutating += 1;
    this.epoch += 1;
    try {
      const result = await call('connect_session', sessionId);
      if (!isPlainObject(result) || result.tab_id === null || result.tab_id === undefined) {
        this._dropReusable(sessionId);
        toastError('找不到這個連線設定，它可能已被刪除。');
        return;
      }
      this.applyRuntimeState(result, { structural: true, adoptActive: true });
      noteOpened(sessionId);
      this.render();
    } catch (err) {
      this._dropReusable(sessionId);
      toastError(`無法開啟連線：${message(err)}`);
    } finally {
      this.connecting.delete(sessionId);
      this.mutating -= 1;
    }
  }

  _dropReusable(sessionId) {
    const kept = this.reusableViews.get(sessionId);
    if (kept) {
      this.reusableViews.delete(sessionId);
      kept.view.dispose();
    }
  }

  async closeTab(tabId, { keepView = false } = {}) {
    const tab = this.tabs.get(tabId);
    if (!tab || tab.closing) return false;
    tab.closing = true;
    this.mutating += 1;
    this.epoch += 1;
    try {
      const state = await call('close_tab', tabId);
      if (keepView) {
        tab.view.hide();
        this.reusableViews.set(tab.sessionId, { view: tab.view });
        this._removeTab(tab, { keepView: true });
      }
      this.applyRuntimeState(state, { structural: true, adoptActive: true });
      // The state always omits a closed tab; an answer without tabs must not leave a dead terminal.
      if (this.tabs.get(tabId) === tab) {
        this._removeTab(tab);
        this.applyRuntimeState({}, { structural: false, adoptActive: false });
      }
      return true;
    } catch (err) {
      tab.closing = false;
      toastError(`無法關閉分頁：${message(err)}`);
      return false;
    } finally {
      this.mutating -= 1;
    }
  }

  async reconnect(tab) {
    const sessionId = tab.sessionId;
    if (!this.sessions.some((s) => asText(s.id) === sessionId)) {
      toastError('這個分頁的連線設定已被刪除，無法重新連線；請從清單開啟其他連線。');
      return;
    }
    // The terminal and its scrollback carry over to the new tab of the same session.
    if (await this.closeTab(tab.id, { keepView: true })) await this.openSession(sessionId);
  }

  // ----- terminal input and output -----

  _terminalHandlers(tab) {
    return {
      onData: (data) => this._typed(tab, data),
      onKey: (event) => this._terminalKey(tab, event),
      onPaste: (text) => this.actions.pasteText(tab, text),
    };
  }

  _typed(tab, data) {
    tab.input.push(data);
  }

  _terminalKey(tab, event) {
    // These belong to the page; xterm.js must not turn them into terminal input.
    return !isShortcut(event);
  }

  // The terminal menu's 搜尋 and Ctrl+Shift+F open the same bar.
  openSearch(tab) {
    if (tab) openSearch(tab);
  }

  _onKey(event) {
    if (this.editor.isOpen || isConfirmOpen() || isPasteQuestionOpen() || this.puttyImport.isOpen) return;
    const kind = isShortcut(event);
    if (!kind) return;
    const inTerminal = Boolean(event.target && event.target.closest && event.target.closest('.xterm'));
    const tab = this.activeTab();
    if (kind === 'tab') {
      const next = tabAfterKey(this.order, this.activeTabId, tabKey(event));
      if (next) this.activate(next);
    } else if (kind === 'search') this.openSearch(tab);
    else if (kind === 'close') {
      if (tab) this.requestCloseTabs([tab.id]);
    } else if (!inTerminal || !tab) return; // copy and paste elsewhere stay the browser's own
    else if (kind === 'copy') this.actions.copySelection(tab);
    else this.actions.pasteInto(tab);
    event.preventDefault();
    event.stopPropagation();
  }

  _setScrollback(lines) {
    for (const tab of this.tabs.values()) tab.view.setScrollback(lines);
    for (const { view } of this.reusableViews.values()) view.setScrollback(lines);
  }

  scheduleFit() {
    if (this._fitFrame) return;
    this._fitFrame = requestAnimationFrame(() => {
      this._fitFrame = null;
      this.fitActive();
    });
  }

  // Every fit tells the back end the size; terminals behind other tabs follow the same size, so
  // a program started in a background tab already sees the right width.
  fitActive() {
    const tab = this.activeTab();
    if (!tab) return;
    const dims = tab.view.fit();
    if (!dims) return;
    this.geometry = dims;
    tab.sizer.push(dims);
    for (const other of this.tabs.values()) {
      if (other === tab) continue;
      const before = other.view.size;
      other.view.resizeTo(dims.cols, dims.rows);
      if (before.cols !== dims.cols || before.rows !== dims.rows) other.sizer.push(dims);
    }
  }

  onTerminalInfo(tabId, text, isError, afterDrain) {
    const tab = this.tabs.get(tabId);
    if (tab) {
      tab.drain.status([text, isError], afterDrain);
    } else {
      // A line can arrive before the answer that announced its tab has been handled.
      if (!this.pendingLines.has(tabId)) {
        if (this.pendingLines.size >= PENDING_TABS) this.pendingLines.delete(this.pendingLines.keys().next().value);
        this.pendingLines.set(tabId, []);
      }
      const lines = this.pendingLines.get(tabId);
      if (lines.length < PENDING_LINES_PER_TAB) lines.push([text, isError, afterDrain]);
    }
    this.requestRuntimeSoon();
  }

  onTerminalConnected(tabId) {
    const tab = this.tabs.get(tabId);
    if (!tab) {
      this.pendingConnected.add(tabId);
      this.requestRuntimeSoon();
      return;
    }
    tab.connected = true;
    // The connection asked for 80 × 24; the real size follows at once.
    if (tab.id === this.activeTabId) this.fitActive();
    else if (this.geometry) tab.sizer.push(this.geometry);
    this.render();
    this.requestRuntimeSoon();
  }

  // The capture switch as the back end holds it.
  async _refreshReading(tab) {
    try {
      const result = await call('get_tab_reading', tab.id);
      if (isPlainObject(result) && typeof result.reading === 'boolean') tab.reading = result.reading;
      this.render();
    } catch {
      // The toolbar keeps what it showed.
    }
  }

  // ----- drawing -----

  render() {
    if (!this.list) return;
    const tabs = this.order.map((id) => this.tabs.get(id)).filter(Boolean);
    this.strip.render(tabs, this.activeTabId);
    this.toolbar.render(this.activeTab());
    this.hostKeyAction.render(this.activeTab());
    this.logIndicator.render(this.activeTab());
    this.welcome.render(tabs.length === 0, this.sessions, getView('recent'));
    this.list.setStatus(this.sessionStatus, new Set(tabs.map((t) => t.sessionId)));
  }

  // For UI tests: the text in a tab's terminal.
  terminalText(tabId) {
    const tab = this.tabs.get(tabId);
    return tab ? tab.view.text() : null;
  }

  // For UI tests and the window benchmark: a tab's xterm.js terminal.
  xterm(tabId) {
    const tab = this.tabs.get(tabId);
    return tab ? tab.view.term : null;
  }
}
