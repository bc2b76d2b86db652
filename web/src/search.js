// The search bar over a terminal: next and previous, case, whole word, regular expression, every
// match marked. Each terminal keeps a bar of its own, so a search waits in its tab while another
// tab is shown.

import { SearchAddon } from '@xterm/addon-search';
import { el } from './dom.js';
import { patternProblem, resultText } from './searchPattern.js';

// The add-on takes #RRGGBB only. Matched text keeps its own colour, so the backgrounds stay dark
// enough for light text to read on them.
const DECORATIONS = Object.freeze({
  matchBackground: '#2c4575',
  matchBorder: '#4a6bb0',
  matchOverviewRuler: '#7aa2f7',
  activeMatchBackground: '#8a5a12',
  activeMatchBorder: '#e3bd6b',
  activeMatchColorOverviewRuler: '#e3bd6b',
});
const HIGHLIGHT_LIMIT = 2000;

const bars = new WeakMap(); // terminal view → its bar

// Opens (or focuses) the search bar of the tab's terminal; a one-line selection becomes the entry.
export function openSearch(tab) {
  const view = tab && tab.view;
  if (!view || !view.visible) return;
  let bar = bars.get(view);
  if (!bar) {
    bar = new SearchBar(view);
    bars.set(view, bar);
  }
  const selected = view.hasSelection() ? view.selection() : '';
  bar.open(selected && !/[\r\n]/.test(selected) ? selected : '');
}

function toggle(label, title, testid) {
  return el('button', {
    class: 'search-toggle', type: 'button', title, 'aria-label': title, 'aria-pressed': 'false', dataset: { testid },
  }, label);
}

function button(label, title, testid) {
  return el('button', { class: 'search-button', type: 'button', title, 'aria-label': title, dataset: { testid } }, label);
}

class SearchBar {
  constructor(view) {
    this.view = view;
    this.addon = new SearchAddon({ highlightLimit: HIGHLIGHT_LIMIT });
    view.term.loadAddon(this.addon);
    this.options = { caseSensitive: false, wholeWord: false, regex: false };
    this.input = el('input', {
      class: 'search-input', type: 'text', placeholder: '搜尋', spellcheck: 'false', autocomplete: 'off',
      'aria-label': '搜尋終端機內容', dataset: { testid: 'search-input' },
    });
    this.count = el('span', { class: 'search-count', 'aria-live': 'polite', dataset: { testid: 'search-count' } });
    const toggles = [
      ['caseSensitive', toggle('Aa', '區分大小寫', 'search-case')],
      ['wholeWord', toggle('ab', '全字相符', 'search-word')],
      ['regex', toggle('.*', '規則運算式', 'search-regex')],
    ];
    for (const [option, node] of toggles) {
      node.addEventListener('click', () => {
        this.options[option] = !this.options[option];
        node.setAttribute('aria-pressed', String(this.options[option]));
        // The add-on compares new options with ones it has already stored, so a changed option
        // alone would keep the old marks: they are cleared to make it search afresh.
        this.addon.clearDecorations();
        this.find('next', true);
        this.input.focus();
      });
    }
    const previous = button('↑', '上一個（Shift+Enter）', 'search-previous');
    const next = button('↓', '下一個（Enter）', 'search-next');
    const close = button('×', '關閉（Esc）', 'search-close');
    previous.addEventListener('click', () => this.find('previous'));
    next.addEventListener('click', () => this.find('next'));
    close.addEventListener('click', () => this.close());
    this.input.addEventListener('input', () => this.find('next', true));
    this.node = el('div', { class: 'search-bar', role: 'search', hidden: true, dataset: { testid: 'search-bar' } },
      this.input, toggles.map(([, node]) => node), this.count, previous, next, close);
    this.node.addEventListener('keydown', (event) => this._onKey(event));
    this.addon.onDidChangeResults(({ resultIndex, resultCount }) => {
      if (!this.node.hidden && !this.input.classList.contains('invalid')) {
        this.count.textContent = this.input.value ? resultText(resultIndex, resultCount) : '';
      }
    });
    view.element.appendChild(this.node);
  }

  open(entry) {
    this.node.hidden = false;
    if (entry) this.input.value = entry;
    this.input.focus();
    this.input.select();
    if (this.input.value) this.find('next', true);
  }

  close() {
    this.node.hidden = true;
    this.addon.clearDecorations();
    this.view.focus();
  }

  _onKey(event) {
    if (event.key === 'Escape') this.close();
    else if (event.key === 'Enter' && event.target === this.input) this.find(event.shiftKey ? 'previous' : 'next');
    else return;
    event.preventDefault();
    event.stopPropagation();
  }

  // incremental: typing grows the current match instead of jumping past it.
  find(direction, incremental = false) {
    const term = this.input.value;
    const problem = patternProblem(term, this.options);
    this.input.classList.toggle('invalid', Boolean(problem));
    this.input.setAttribute('aria-invalid', problem ? 'true' : 'false');
    this.input.title = problem || '';
    if (problem || !term) {
      this.addon.clearDecorations();
      this.count.textContent = problem ? '規則運算式有誤' : '';
      return;
    }
    const options = { ...this.options, incremental, decorations: DECORATIONS };
    if (direction === 'previous') this.addon.findPrevious(term, options);
    else this.addon.findNext(term, options);
  }
}
