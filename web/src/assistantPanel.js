// The assistant panel: the tool's state, one conversation about a chosen tab, and the actions the
// assistant proposes. Replies are shown as text; an action does nothing until the user confirms it.

import { call } from './bridge.js';
import { confirmDialog } from './confirm.js';
import { clear, el } from './dom.js';
import { actionsOf, recentLines, splitReply } from './assistantReply.js';

const RECENT_LINES = 60;
const TURN_TIMEOUT_SEC = 180;
const PRODUCT_PAGE = /(https:\/\/\S+)$/;

export class AssistantPanel {
  // `app` gives the open tabs (order, tabs, activeTabId), their text and the session list.
  constructor(app) {
    this.app = app;
    this.busy = false;
    this.sharedTexts = {}; // tab id → text the user agreed to share with the next turn
    this.root = el('aside', { class: 'assistant', hidden: true, 'aria-label': '助理', dataset: { testid: 'assistant-panel' } });
    this.status = el('div', { class: 'assistant-status', dataset: { testid: 'assistant-status' } });
    this.target = el('select', { class: 'tool-select', 'aria-label': '對話的目標分頁', dataset: { testid: 'assistant-target' } });
    this.log = el('div', { class: 'assistant-log', dataset: { testid: 'assistant-log' } });
    this.input = el('textarea', { class: 'assistant-input', rows: 3, placeholder: '問問助理…（Ctrl+Enter 送出）', dataset: { testid: 'assistant-input' } });
    this.sendButton = el('button', { class: 'primary-button', type: 'button', text: '送出', dataset: { testid: 'assistant-send' }, onclick: () => this.send() });
    this.input.addEventListener('keydown', (event) => {
      if (event.key === 'Enter' && event.ctrlKey) {
        event.preventDefault();
        this.send();
      }
    });
    this.root.append(
      el('header', { class: 'assistant-head' },
        el('span', { class: 'assistant-title', text: '助理' }),
        el('button', { class: 'secondary-button', type: 'button', text: '新對話', dataset: { testid: 'assistant-reset' }, onclick: () => this.reset() }),
        el('button', { class: 'icon-button', type: 'button', text: '×', title: '關閉助理', 'aria-label': '關閉助理', onclick: () => this.toggle(false) })),
      this.status,
      el('label', { class: 'assistant-target' }, '目標分頁 ', this.target),
      this.log,
      el('div', { class: 'assistant-compose' }, this.input, this.sendButton));
  }

  mount(parent, toggleHost) {
    parent.append(this.root);
    toggleHost.append(el('button', { class: 'tool-button', type: 'button', text: '助理', title: '開啟助理面板', dataset: { testid: 'assistant-toggle' }, onclick: () => this.toggle() }));
  }

  toggle(show = this.root.hidden) {
    this.root.hidden = !show;
    if (show) {
      this.refreshTargets();
      this.refreshStatus();
    }
  }

  async refreshStatus() {
    let status;
    try {
      status = await call('claude_status');
    } catch (err) {
      status = { installed: false, hint: String(err.message || err) };
    }
    const s = status && typeof status === 'object' ? status : {};
    const facts = s.installed
      ? `Claude Code ${s.version ?? '（版本不明）'} · ${s.logged_in ? '已登入' : '未登入'} · ${s.model ?? ''}`
      : '未安裝 Claude Code';
    const hint = String(s.hint ?? '');
    const link = hint.match(PRODUCT_PAGE);
    const parts = [el('div', { class: 'assistant-facts', text: facts })];
    if (hint) parts.push(el('div', { class: 'assistant-hint', text: link ? hint.slice(0, link.index) : hint }));
    if (link) parts.push(el('button', { class: 'link-button', type: 'button', text: link[1], onclick: () => call('open_url', link[1]) }));
    clear(this.status).append(...parts);
  }

  refreshTargets() {
    // The active tab is the first choice; after that the user's choice stands.
    const chosen = this.target.options.length ? this.target.value : this.app.activeTabId || '';
    clear(this.target).append(el('option', { value: '', text: '（不指定）' }));
    for (const id of this.app.order) {
      const tab = this.app.tabs.get(id);
      if (tab) this.target.append(el('option', { value: id, text: tab.display || id }));
    }
    this.target.value = this.app.tabs.has(chosen) ? chosen : '';
  }

  setBusy(busy) {
    this.busy = busy;
    this.sendButton.disabled = busy;
    this.root.classList.toggle('busy', busy);
    this.sendButton.textContent = busy ? '思考中…' : '送出';
  }

  async send() {
    const text = this.input.value;
    if (this.busy || text.trim() === '') return;
    this.refreshTargets();
    const targetId = this.target.value || null;
    const terminal = targetId ? recentLines(this.app.terminalText(targetId), RECENT_LINES) : '';
    const shared = Object.keys(this.sharedTexts).length ? this.sharedTexts : null;
    this.sharedTexts = {};
    this.input.value = '';
    this.addMessage('user', [{ kind: 'text', text, language: '' }]);
    this.setBusy(true);
    try {
      const answer = await call('claude_send', text, terminal, targetId, TURN_TIMEOUT_SEC, false, shared);
      if (answer && answer.ok) {
        this.addMessage('assistant', splitReply(answer.reply), actionsOf(answer.reply, targetId));
      } else {
        this.addMessage('error', [{ kind: 'text', text: String((answer && answer.error) || '助理沒有回應'), language: '' }]);
      }
    } catch (err) {
      this.addMessage('error', [{ kind: 'text', text: String(err.message || err), language: '' }]);
    } finally {
      this.setBusy(false);
    }
  }

  async reset() {
    await call('claude_reset_session');
    this.sharedTexts = {};
    clear(this.log);
  }

  addMessage(role, parts, actions = []) {
    const body = parts.map((p) => (p.kind === 'code'
      ? el('pre', { class: 'assistant-code' }, el('code', { text: p.text }))
      : el('div', { class: 'assistant-text', text: p.text })));
    const buttons = actions.map((action) => this.actionButton(action));
    this.log.append(el('div', { class: `assistant-message role-${role}`, dataset: { role } }, body,
      buttons.length ? el('div', { class: 'assistant-actions' }, buttons) : null));
    this.log.scrollTop = this.log.scrollHeight;
  }

  tabName(tabId) {
    const tab = this.app.tabs.get(tabId);
    return tab ? tab.display || tabId : `${tabId}（未開啟）`;
  }

  actionButton(action) {
    const label = action.kind === 'run' ? `在「${this.tabName(action.tabId)}」執行：${action.command}`
      : action.kind === 'toggle' ? `切換「${this.tabName(action.tabId)}」的 ${action.flag}`
        : `分享「${this.tabName(action.tabId)}」的輸出`;
    const button = el('button', { class: 'secondary-button assistant-action', type: 'button', text: label, dataset: { testid: 'assistant-action', kind: action.kind } });
    button.addEventListener('click', async () => {
      if (await this.confirmAction(action, label)) {
        button.disabled = true;
        await this.carryOut(action);
      }
    });
    return button;
  }

  confirmAction(action, label) {
    return confirmDialog({
      title: '執行助理建議的動作？',
      message: label,
      detail: action.kind === 'run' ? '指令會送進分頁，如同你親手輸入。請先確認它是安全的。' : '',
      okLabel: action.kind === 'run' ? '執行' : '同意',
      danger: action.kind === 'run',
    });
  }

  async carryOut(action) {
    const note = (text) => this.addMessage('note', [{ kind: 'text', text, language: '' }]);
    if (action.kind === 'run') {
      const ok = await call('claude_inject', action.tabId, action.command, true);
      note(ok ? `已送出：${action.command}` : '送出失敗：分頁不存在或未連線');
    } else if (action.kind === 'toggle') {
      const result = await call('claude_toggle_session_flag', action.tabId, action.flag);
      if (result && result.ok && Array.isArray(result.sessions)) {
        this.app.sessions = result.sessions;
        this.app.list.setSessions(result.sessions);
      }
      note(result && result.ok ? `${action.flag} 已${result.value ? '啟用' : '停用'}` : String((result && result.error) || '切換失敗'));
    } else {
      const text = this.app.terminalText(action.tabId);
      if (text === null) {
        note('分頁已不存在');
      } else {
        this.sharedTexts[action.tabId] = recentLines(text, RECENT_LINES);
        note('此分頁的輸出會隨下一則訊息送出');
      }
    }
  }
}
