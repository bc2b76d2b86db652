// What the terminal area shows while no tab is open.

import { byId, clear, el } from './dom.js';
import { describeSession } from './sessionModel.js';
import { asText } from './values.js';

const RECENT_SHOWN = 6;

export class Welcome {
  constructor({ open, create }) {
    this.node = byId('welcome');
    this.list = byId('welcome-recent');
    this.open = open;
    byId('welcome-new').addEventListener('click', () => create());
  }

  render(visible, sessions, recentIds) {
    this.node.hidden = !visible;
    if (!visible) return;
    // Redrawn only when something changed: the page renders every second, and rebuilding the
    // buttons would take the keyboard focus away from them.
    const signature = JSON.stringify([sessions, recentIds]);
    if (signature === this._signature) return;
    this._signature = signature;
    const byIdMap = new Map(sessions.map((s) => [asText(s.id), s]));
    const picked = [];
    for (const id of recentIds) if (byIdMap.has(id) && picked.length < RECENT_SHOWN) picked.push(byIdMap.get(id));
    const anyRecent = picked.length > 0;
    for (const s of sessions) if (!picked.includes(s) && picked.length < RECENT_SHOWN) picked.push(s);
    clear(this.list);
    const title = byId('welcome-recent-title');
    title.hidden = picked.length === 0;
    title.textContent = anyRecent ? '最近使用的連線' : '已儲存的連線';
    byId('welcome-hint').textContent = sessions.length
      ? '在左側清單按兩下連線即可開啟分頁，或從下面最近使用的連線開始。'
      : '先新增一個連線設定：SSH、Telnet、Raw TCP 或序列埠。';
    for (const s of picked) {
      const { title, detail } = describeSession(s);
      const id = asText(s.id);
      this.list.append(el('li', {},
        el('button', {
          type: 'button',
          class: 'recent-item',
          dataset: { sessionId: id, testid: 'welcome-session' },
          onclick: () => this.open(id),
        },
        el('span', { class: 'recent-name', text: title }),
        el('span', { class: 'recent-detail', text: detail }))));
    }
  }
}
