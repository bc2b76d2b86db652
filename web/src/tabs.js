// The tab strip and the toolbar of the active tab.

import { byId, clear, el, setText } from './dom.js';
import { icon } from './icons.js';
import { COMMON_ENCODINGS } from './encodings.js';

export function tabStateText(tab) {
  if (!tab.alive) return '連線已結束';
  return tab.connected ? '已連線' : '連線中…';
}

export class TabStrip {
  // actions: { activate(id), close(id) }
  constructor(actions) {
    this.actions = actions;
    this.node = byId('tabstrip');
    this._signature = '';
    this.node.addEventListener('keydown', (event) => {
      const tab = event.target.closest('.tab');
      if (!tab) return;
      if (event.key === 'Enter' || event.key === ' ') {
        event.preventDefault();
        actions.activate(tab.dataset.tabId);
      }
    });
  }

  render(tabs, activeId) {
    const signature = JSON.stringify([activeId, tabs.map((t) => [t.id, t.display, t.alive, t.connected])]);
    if (signature === this._signature) return;
    this._signature = signature;
    clear(this.node);
    for (const tab of tabs) this.node.append(this._tab(tab, tab.id === activeId));
    const active = this.node.querySelector('.tab.active');
    if (active) active.scrollIntoView({ block: 'nearest', inline: 'nearest' });
  }

  _tab(tab, active) {
    const title = tab.display || '（未命名）';
    const close = el('button', {
      type: 'button',
      class: 'tab-close',
      title: '關閉分頁（Ctrl+Shift+W）',
      'aria-label': `關閉分頁「${title}」`,
      tabindex: '-1',
      dataset: { testid: 'tab-close' },
      onclick: (event) => {
        event.stopPropagation();
        this.actions.close(tab.id);
      },
    }, icon('close', 14));
    const node = el('div', {
      class: `tab${active ? ' active' : ''}${tab.alive ? '' : ' ended'}`,
      role: 'tab',
      tabindex: active ? '0' : '-1',
      'aria-selected': active ? 'true' : 'false',
      title: `${title} — ${tabStateText(tab)}`,
      id: `tab-${tab.id}`,
      dataset: { tabId: tab.id, testid: 'tab', alive: tab.alive ? 'true' : 'false' },
      onclick: () => this.actions.activate(tab.id),
      // Middle-click closes, as in browsers; mousedown is cancelled so it does not start scrolling.
      onmousedown: (event) => {
        if (event.button === 1) event.preventDefault();
      },
      onauxclick: (event) => {
        if (event.button === 1) {
          event.preventDefault();
          this.actions.close(tab.id);
        }
      },
    },
    el('span', { class: `tab-dot${tab.alive ? (tab.connected ? ' live' : ' pending') : ''}`, 'aria-hidden': 'true' }),
    el('span', { class: 'tab-title', dataset: { testid: 'tab-title' }, text: title }),
    close);
    return node;
  }
}

export class Toolbar {
  // actions: { setEncoding(tab, name), toggleCapture(tab), reconnect(tab), resetBoard(tab), bootloader(tab) }
  constructor(actions) {
    this.node = byId('toolbar');
    this.encoding = byId('tab-encoding');
    this.capture = byId('tab-capture');
    this.reconnect = byId('tab-reconnect');
    this.serialTools = byId('serial-tools');
    this.resetBoard = byId('tab-reset-board');
    this.bootloader = byId('tab-bootloader');
    this.state = byId('tab-state');
    this.tab = null;
    this.reconnect.prepend(icon('reconnect', 14));
    this.encoding.addEventListener('change', () => {
      if (this.tab) actions.setEncoding(this.tab, this.encoding.value);
    });
    this.capture.addEventListener('click', () => this.tab && actions.toggleCapture(this.tab));
    this.reconnect.addEventListener('click', () => this.tab && actions.reconnect(this.tab));
    this.resetBoard.addEventListener('click', () => this.tab && actions.resetBoard(this.tab));
    this.bootloader.addEventListener('click', () => this.tab && actions.bootloader(this.tab));
  }

  render(tab) {
    this.tab = tab || null;
    this.node.hidden = !tab;
    if (!tab) return;
    this._fillEncodings(tab.encoding);
    const on = tab.reading !== false;
    this.capture.setAttribute('aria-pressed', on ? 'true' : 'false');
    this.capture.classList.toggle('off', !on);
    setText(this.capture.querySelector('.capture-state'), on ? '開' : '關');
    this.capture.title = on
      ? '正在擷取輸出；關閉後收到的輸出會直接丟棄'
      : '輸出擷取已關閉，收到的輸出會直接丟棄；按一下重新開啟';
    this.serialTools.hidden = tab.protocol !== 'serial';
    // A serial tab is alive exactly while its port is open; the lines cannot be driven otherwise.
    this.resetBoard.disabled = !tab.alive;
    this.bootloader.disabled = !tab.alive;
    setText(this.state, tabStateText(tab));
    this.state.dataset.state = !tab.alive ? 'ended' : tab.connected ? 'connected' : 'connecting';
  }

  _fillEncodings(current) {
    const name = String(current || 'utf-8');
    const want = COMMON_ENCODINGS.some(([v]) => v === name) ? COMMON_ENCODINGS : [...COMMON_ENCODINGS, [name, name]];
    if (this.encoding.options.length !== want.length || this.encoding.dataset.extra !== name) {
      clear(this.encoding);
      for (const [value, label] of want) this.encoding.append(el('option', { value, text: label }));
      this.encoding.dataset.extra = name;
    }
    if (this.encoding.value !== name) this.encoding.value = name;
  }
}
