// The sidebar's session list: reachability dots, filter, keyboard selection and row actions.

import { byId, clear, el } from './dom.js';
import { describeSession, matchesFilter } from './sessionModel.js';
import { asText } from './values.js';
import { icon } from './icons.js';

const STATUS_TEXT = { online: '在線', offline: '離線', unknown: '狀態未知' };

export class SessionList {
  // actions: { open(id), edit(id), duplicate(id), remove(id), create() }
  constructor(actions) {
    this.actions = actions;
    this.listNode = byId('session-list');
    this.filterNode = byId('session-filter');
    this.emptyNode = byId('session-empty');
    this.noMatchNode = byId('session-nomatch');
    this.sessions = [];
    this.status = {};
    this.openSessionIds = new Set();
    this.selectedId = null;
    this._visible = [];

    this.filterNode.addEventListener('input', () => this.render());
    this.filterNode.addEventListener('keydown', (event) => this._onFilterKey(event));
    this.listNode.addEventListener('keydown', (event) => this._onListKey(event));
    byId('btn-new-session').addEventListener('click', () => actions.create());
    byId('btn-empty-new').addEventListener('click', () => actions.create());
  }

  setSessions(sessions) {
    this.sessions = Array.isArray(sessions) ? sessions.filter((s) => s && typeof s === 'object') : [];
    this.render();
  }

  setStatus(status, openSessionIds) {
    this.status = status && typeof status === 'object' ? status : {};
    this.openSessionIds = openSessionIds;
    this._refreshDots();
  }

  select(id, { scroll = true } = {}) {
    this.selectedId = id;
    for (const row of this.listNode.children) {
      const on = row.dataset.sessionId === id;
      row.classList.toggle('selected', on);
      row.setAttribute('aria-selected', on ? 'true' : 'false');
      if (on && scroll) row.scrollIntoView({ block: 'nearest' });
    }
  }

  focusList() {
    this.listNode.focus();
  }

  statusOf(id) {
    const s = this.status[id];
    return s === 'online' || s === 'offline' ? s : 'unknown';
  }

  render() {
    const query = this.filterNode.value;
    this._visible = this.sessions.filter((s) => matchesFilter(s, query));
    clear(this.listNode);
    for (const rec of this._visible) this.listNode.append(this._row(rec));
    const empty = this.sessions.length === 0;
    this.emptyNode.hidden = !empty;
    this.listNode.hidden = empty;
    this.filterNode.disabled = empty;
    this.noMatchNode.hidden = empty || this._visible.length > 0;
    if (!this._visible.some((s) => asText(s.id) === this.selectedId)) {
      this.selectedId = this._visible.length ? asText(this._visible[0].id) : null;
    }
    this.select(this.selectedId, { scroll: false });
  }

  _row(rec) {
    const id = asText(rec.id);
    const { title, detail } = describeSession(rec);
    const status = this.statusOf(id);
    const action = (name, label, glyph, handler) => el('button', {
      type: 'button',
      class: `row-action row-${name}`,
      title: label,
      'aria-label': `${label}「${title}」`,
      tabindex: '-1',
      dataset: { action: name, testid: `session-${name}` },
      onclick: (event) => {
        event.stopPropagation();
        handler(id);
      },
    }, icon(glyph, 15));

    const row = el('li', {
      class: 'session-row',
      role: 'option',
      id: `session-${id}`,
      'aria-selected': 'false',
      dataset: { sessionId: id, testid: 'session-row' },
      onclick: () => {
        this.select(id);
        this.listNode.focus();
      },
      ondblclick: () => this.actions.open(id),
    },
    el('span', {
      class: `status-dot status-${status}`,
      title: STATUS_TEXT[status],
      dataset: { status, testid: 'session-dot' },
    }),
    el('span', { class: 'session-text' },
      el('span', { class: 'session-name', dataset: { testid: 'session-name' }, text: title }),
      el('span', { class: 'session-detail', title: detail, text: detail })),
    el('span', { class: 'session-open-mark', hidden: !this.openSessionIds.has(id), title: '已開啟分頁' }),
    el('span', { class: 'row-actions' },
      action('connect', '連線', 'play', this.actions.open),
      action('edit', '編輯', 'edit', this.actions.edit),
      action('duplicate', '複製', 'copy', this.actions.duplicate),
      action('delete', '刪除', 'trash', this.actions.remove)));
    return row;
  }

  _refreshDots() {
    for (const row of this.listNode.children) {
      const id = row.dataset.sessionId;
      const status = this.statusOf(id);
      const dot = row.querySelector('.status-dot');
      if (dot.dataset.status !== status) {
        dot.className = `status-dot status-${status}`;
        dot.dataset.status = status;
        dot.title = STATUS_TEXT[status];
      }
      row.querySelector('.session-open-mark').hidden = !this.openSessionIds.has(id);
    }
  }

  _move(step) {
    if (!this._visible.length) return;
    const ids = this._visible.map((s) => asText(s.id));
    const at = ids.indexOf(this.selectedId);
    const next = at < 0 ? 0 : Math.max(0, Math.min(ids.length - 1, at + step));
    this.select(ids[next]);
  }

  _onFilterKey(event) {
    if (event.key === 'ArrowDown') {
      event.preventDefault();
      this.listNode.focus();
      this._move(this.selectedId ? 0 : 1);
    } else if (event.key === 'Enter') {
      event.preventDefault();
      if (this.selectedId) this.actions.open(this.selectedId);
    } else if (event.key === 'Escape' && this.filterNode.value) {
      event.preventDefault();
      event.stopPropagation();
      this.filterNode.value = '';
      this.render();
    }
  }

  _onListKey(event) {
    const id = this.selectedId;
    switch (event.key) {
      case 'ArrowDown': this._move(1); break;
      case 'ArrowUp': this._move(-1); break;
      case 'Home': this._move(-Infinity); break;
      case 'End': this._move(Infinity); break;
      case 'Enter': if (id) this.actions.open(id); break;
      case 'F2': if (id) this.actions.edit(id); break;
      case 'Delete': if (id) this.actions.remove(id); break;
      default: return;
    }
    event.preventDefault();
  }
}
