// Pasting into a tab: text with line breaks, or a lot of it, runs commands on the remote side the
// moment it arrives, so it is shown and asked about first, unless the remote program takes
// pastes as such (bracketed paste) or the user said not to ask again.

import { el, trapFocus } from './dom.js';
import { countLines, needsQuestion, preparePaste, previewOf } from './pasteText.js';
import { toastError } from './toasts.js';
import { getView, setView } from './viewSettings.js';

const ASK_SETTING = 'pasteAsk'; // false once "不再詢問" was chosen
const PROGRESS_AFTER_MS = 1000;

let question = null; // the open question, if any

export function isPasteQuestionOpen() {
  return question !== null;
}

// Sends `text` to the tab as a paste. `stillOpen()` tells whether the tab is still there once the
// question has been answered.
export async function pasteSafely(tab, text, stillOpen) {
  const bracketed = () => tab.view.term.modes.bracketedPasteMode;
  if (!bracketed() && needsQuestion(text) && getView(ASK_SETTING) !== false) {
    const answer = await ask(text);
    if (answer.dontAsk) setView(ASK_SETTING, false);
    if (!answer.paste || !stillOpen()) {
      if (stillOpen()) tab.view.focus();
      return;
    }
  }
  tab.view.term.scrollToBottom();
  tab.view.focus();
  const data = preparePaste(text, bracketed());
  const progress = new Progress(tab.view.element);
  const result = await tab.input.pushPaste(data, (sent, total) => progress.update(sent, total));
  progress.done();
  if (!result.complete && stillOpen()) {
    toastError(`貼上沒有完成：只送出了 ${result.sent} / ${result.total} 個字元，其餘沒有送出。`);
  }
}

function ask(text) {
  if (question) question.finish({ paste: false, dontAsk: false });
  const lines = countLines(text);
  const { lines: shown, more } = previewOf(text);
  const dontAsk = el('input', { type: 'checkbox', dataset: { testid: 'paste-dont-ask' } });
  const cancel = el('button', { class: 'secondary-button', type: 'button', dataset: { testid: 'paste-cancel' } }, '取消');
  const ok = el('button', { class: 'primary-button', type: 'button', dataset: { testid: 'paste-ok' } }, '貼上');
  const box = el('div', {
    class: 'dialog confirm paste-question', role: 'alertdialog', 'aria-modal': 'true', 'aria-labelledby': 'paste-title',
    dataset: { testid: 'paste-question' },
  },
  el('h2', { id: 'paste-title' }, `貼上 ${lines} 行文字？`),
  el('pre', { class: 'paste-preview', dataset: { testid: 'paste-preview' } }, shown.join('\n')),
  more > 0 ? el('p', { class: 'paste-more' }, `……另有 ${more} 行，共 ${text.length} 個字元`) : null,
  el('label', { class: 'paste-dont-ask' }, dontAsk, '不再詢問'),
  el('div', { class: 'dialog-actions' }, cancel, ok));
  const overlay = el('div', { class: 'overlay confirm-overlay', id: 'paste-question' }, box);
  document.body.appendChild(overlay);

  return new Promise((resolve) => {
    const state = {
      finish: (answer) => {
        if (question !== state) return;
        question = null;
        overlay.remove();
        resolve(answer);
      },
    };
    question = state;
    const answer = (paste) => state.finish({ paste, dontAsk: paste && dontAsk.checked });
    ok.addEventListener('click', () => answer(true));
    cancel.addEventListener('click', () => answer(false));
    overlay.addEventListener('keydown', (event) => {
      if (event.key === 'Escape') {
        event.preventDefault();
        event.stopPropagation();
        answer(false);
      } else {
        trapFocus(box, event);
      }
    }, true);
    ok.focus();
  });
}

// How far a paste got, shown over the terminal once it has taken longer than a moment.
class Progress {
  constructor(parent) {
    this.parent = parent;
    this.node = null;
    this.sent = 0;
    this.total = 0;
    this.timer = setTimeout(() => this._show(), PROGRESS_AFTER_MS);
  }

  update(sent, total) {
    this.sent = sent;
    this.total = total;
    if (this.node) this._draw();
  }

  done() {
    clearTimeout(this.timer);
    if (this.node) this.node.remove();
    this.node = null;
  }

  _show() {
    this.bar = el('span', { class: 'paste-progress-fill' });
    this.label = el('span', { class: 'paste-progress-text' });
    this.node = el('div', { class: 'paste-progress', role: 'status', dataset: { testid: 'paste-progress' } },
      this.label, el('span', { class: 'paste-progress-track' }, this.bar));
    this.parent.appendChild(this.node);
    this._draw();
  }

  _draw() {
    const share = this.total ? this.sent / this.total : 0;
    this.bar.style.width = `${(share * 100).toFixed(1)}%`;
    this.label.textContent = `正在貼上… ${Math.floor(share * 100)}%（${this.sent} / ${this.total} 個字元）`;
  }
}
