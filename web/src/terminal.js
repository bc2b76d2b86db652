// One xterm.js terminal per tab: writing output with back pressure, status lines, links, sizes.

import { Terminal } from '@xterm/xterm';
import { FitAddon } from '@xterm/addon-fit';
import { el } from './dom.js';
import { formatStatusLine } from './statusLine.js';
import { findLinks, isOpenableUrl } from './links.js';
import { scrollbackLines } from './scrollbackSetting.js';

// Latin glyphs of the CJK mono faces are exactly half the width of their ideographs, which keeps
// the cell grid straight when Chinese and ASCII share a line. The page's own subsets come first
// (the interface face holds the ideographs of the program's status lines, as wide as the mono
// face's).
export const TERMINAL_FONT = [
  '"Veltaro Mono"', '"Veltaro UI"',
  '"Noto Sans Mono CJK TC"', '"Noto Sans Mono CJK HK"', '"Noto Sans Mono CJK SC"',
  '"Sarasa Mono TC"', '"Noto Sans Mono"', '"DejaVu Sans Mono"', '"Cascadia Mono"', 'Consolas',
  '"MingLiU"', 'monospace',
].join(', ');

export const TERMINAL_THEME = {
  background: '#0d0f14',
  foreground: '#d5d9e2',
  cursor: '#7aa2f7',
  cursorAccent: '#0d0f14',
  selectionBackground: 'rgba(122, 162, 247, 0.35)',
  selectionInactiveBackground: 'rgba(122, 162, 247, 0.2)',
  scrollbarSliderBackground: 'rgba(213, 217, 226, 0.14)',
  scrollbarSliderHoverBackground: 'rgba(213, 217, 226, 0.28)',
  scrollbarSliderActiveBackground: 'rgba(213, 217, 226, 0.36)',
  black: '#1c2030',
  red: '#e5646c',
  green: '#8cc57c',
  yellow: '#e3bd6b',
  blue: '#6f9ef0',
  magenta: '#c38be6',
  cyan: '#5fc4d0',
  white: '#c8cdd8',
  brightBlack: '#6c7489',
  brightRed: '#ff7b83',
  brightGreen: '#a6dc94',
  brightYellow: '#f2d184',
  brightBlue: '#8fb6ff',
  brightMagenta: '#d7a6f4',
  brightCyan: '#7fdbe6',
  brightWhite: '#f1f3f7',
};

// Output is handed to xterm.js in pieces, all at once: xterm.js parses queued pieces back to back
// and yields to the page between pieces every few milliseconds, so a large drain neither waits
// for timers between pieces nor holds up clicks and keys while it is parsed.
const WRITE_PIECE_CHARS = 64 * 1024;

function pieces(text) {
  if (text.length <= WRITE_PIECE_CHARS) return [text];
  const out = [];
  let start = 0;
  while (start < text.length) {
    let end = Math.min(start + WRITE_PIECE_CHARS, text.length);
    const code = text.charCodeAt(end - 1);
    if (end < text.length && code >= 0xd800 && code <= 0xdbff) end -= 1; // keep surrogate pairs whole
    out.push(text.slice(start, end));
    start = end;
  }
  return out;
}

// The cursor blinks while the terminal is in use and rests once nothing was typed or shown for a
// while, as GTK's own text cursors do: every blink costs the page a drawn frame.
const BLINK_FOR_MS = 10000;

export class TerminalView {
  constructor(parent, { onData, onKey, onPaste, onOpenLink }) {
    this.element = el('div', { class: 'terminal-view', hidden: true, dataset: { testid: 'terminal' } });
    parent.appendChild(this.element);
    this._opened = false;
    this._disposed = false;
    this._unparsed = new Set(); // resolvers of writes xterm.js has not finished
    this._parsed = Promise.resolve(); // settles once everything handed over so far is parsed
    this._queue = Promise.resolve(); // writes waiting behind a status line
    this._queued = 0;
    this.term = new Terminal({
      fontFamily: TERMINAL_FONT,
      fontSize: 14,
      lineHeight: 1.1,
      theme: TERMINAL_THEME,
      cursorBlink: true,
      scrollback: scrollbackLines(),
      // The search add-on marks every match with decorations, which xterm.js offers as proposed API.
      allowProposedApi: true,
      drawBoldTextInBrightColors: true,
      rightClickSelectsWord: false,
      linkHandler: {
        // OSC 8 hyperlinks name their target themselves: only web and mail addresses are opened.
        activate: (_event, uri) => {
          if (isOpenableUrl(uri)) onOpenLink(uri);
        },
        allowNonHttpProtocols: true,
      },
    });
    this.fitAddon = new FitAddon();
    this.term.loadAddon(this.fitAddon);
    this._handlers = { onData, onKey, onPaste };
    this._blinkTimer = null;
    // Pastes the web view itself delivers (middle click, its own menu) take the page's path, which
    // asks before multi-line text runs on the remote side; xterm.js would send them at once.
    this.element.addEventListener('paste', (event) => {
      if (!event.target.closest || !event.target.closest('.xterm')) return; // the search field's own
      event.preventDefault();
      event.stopPropagation();
      const text = event.clipboardData ? event.clipboardData.getData('text/plain') : '';
      if (text) this._handlers.onPaste(text);
    }, true);
    this._stirred();
    this.term.onData((data) => {
      this._stirred();
      this._handlers.onData(data);
    });
    this.term.attachCustomKeyEventHandler((event) => this._handlers.onKey(event) !== false);
    this.term.registerLinkProvider({
      provideLinks: (lineNumber, callback) => {
        const line = this.term.buffer.active.getLine(lineNumber - 1);
        if (!line) {
          callback(undefined);
          return;
        }
        const links = findLinks(line, this.term.cols).map(({ url, startX, endX }) => ({
          range: { start: { x: startX + 1, y: lineNumber }, end: { x: endX + 1, y: lineNumber } },
          text: url,
          activate: () => onOpenLink(url),
        }));
        callback(links.length ? links : undefined);
      },
    });
  }

  // A reconnect gives the same terminal to the session's new tab.
  rebind({ onData, onKey, onPaste }) {
    this._handlers = { onData, onKey, onPaste };
  }

  setTabId(tabId) {
    this.element.dataset.tabId = tabId;
  }

  // xterm.js measures its font when it opens; a terminal that has only been written to so far is
  // opened the first time it is on screen.
  show() {
    this.element.hidden = false;
    if (!this._opened && !this._disposed) {
      this._opened = true;
      this.term.open(this.element);
    }
  }

  hide() {
    this.element.hidden = true;
  }

  get visible() {
    return !this.element.hidden;
  }

  // Fits the terminal to its area; null while it cannot be measured (hidden, zero size).
  fit() {
    if (!this._opened || this.element.hidden || this._disposed) return null;
    const dims = this.fitAddon.proposeDimensions();
    if (!dims || !Number.isFinite(dims.cols) || !Number.isFinite(dims.rows) || dims.cols < 2 || dims.rows < 1) return null;
    this.fitAddon.fit();
    return { cols: this.term.cols, rows: this.term.rows };
  }

  resizeTo(cols, rows) {
    if (this._disposed) return;
    if (this.term.cols !== cols || this.term.rows !== rows) this.term.resize(cols, rows);
  }

  get size() {
    return { cols: this.term.cols, rows: this.term.rows };
  }

  focus() {
    if (this._opened && !this._disposed) {
      this._stirred();
      this.term.focus();
    }
  }

  _stirred() {
    if (!this.term.options.cursorBlink) this.term.options.cursorBlink = true;
    clearTimeout(this._blinkTimer);
    this._blinkTimer = setTimeout(() => {
      if (!this._disposed) this.term.options.cursorBlink = false;
    }, BLINK_FOR_MS);
  }

  // Settles once xterm.js has parsed the text: the caller's back pressure. Text goes straight to
  // xterm.js unless a status line before it still waits for its place.
  write(text) {
    if (this._queued === 0) return this._handOver(text);
    return this._enqueue(() => ({ parsed: this._handOver(text) }));
  }

  // A status line starts on a line of its own, which only the text parsed before it can tell.
  status(message, isError) {
    return this._enqueue(async () => {
      await this._parsed;
      if (this._disposed) return { parsed: undefined };
      const atLineStart = this.term.buffer.active.cursorX === 0;
      return { parsed: this._handOver(formatStatusLine(message, isError, atLineStart)) };
    });
  }

  // Runs `handOver` once everything queued before it has been handed to xterm.js. It returns
  // (or resolves with) { parsed }: the queue moves on at once, the caller waits for the parse.
  _enqueue(handOver) {
    this._queued += 1;
    const step = this._queue.then(handOver);
    const next = () => {
      this._queued -= 1;
    };
    this._queue = step.then(next, next);
    return step.then((r) => r.parsed);
  }

  _handOver(text) {
    if (this._disposed) return Promise.resolve();
    this._stirred();
    const parts = pieces(text);
    const parsed = new Promise((resolve) => {
      this._unparsed.add(resolve);
      const last = parts.length - 1;
      for (let i = 0; i < last; i += 1) this.term.write(parts[i]);
      this.term.write(parts[last], () => {
        this._unparsed.delete(resolve);
        resolve();
      });
    });
    this._parsed = parsed;
    return parsed;
  }

  hasSelection() {
    return this.term.hasSelection();
  }

  selection() {
    return this.term.getSelection();
  }

  setScrollback(lines) {
    if (!this._disposed) this.term.options.scrollback = lines;
  }

  // The whole buffer as plain text, scrollback included, without trailing blank lines.
  text() {
    const buffer = this.term.buffer.active;
    const lines = [];
    for (let i = 0; i < buffer.length; i += 1) {
      const line = buffer.getLine(i);
      const content = line ? line.translateToString(true) : '';
      if (line && line.isWrapped && lines.length) lines[lines.length - 1] += content;
      else lines.push(content);
    }
    while (lines.length && lines[lines.length - 1] === '') lines.pop();
    return lines.join('\n');
  }

  dispose() {
    if (this._disposed) return;
    this._disposed = true;
    clearTimeout(this._blinkTimer);
    for (const resolve of this._unparsed) resolve();
    this._unparsed.clear();
    this.term.dispose();
    this.element.remove();
  }
}
