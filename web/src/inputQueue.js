// Keystrokes and pastes for one tab. The back end runs every page call on its own thread, so two
// send_input calls in flight could overtake each other: only one is ever outstanding, and whatever
// is typed meanwhile goes out joined in the next call, in order. Text goes out in pieces, so that
// a large paste neither holds one bridge call for minutes nor hides how far it got.

import { pieceEnd } from './pasteText.js';

// Characters per send_input call: each call costs a round trip through the web view (a few
// milliseconds), and at 115200 baud a piece still leaves within about a second and a half.
export const INPUT_PIECE_CHARS = 16384;

export class InputQueue {
  // send(text) returns a Promise; its result is only reported through onResult.
  constructor(send, { onResult = () => {}, onError = () => {}, pieceChars = INPUT_PIECE_CHARS } = {}) {
    this._send = send;
    this._onResult = onResult;
    this._onError = onError;
    this._pieceChars = pieceChars;
    this._entries = []; // { text, at, paste }: typed text joined, each paste an entry of its own
    this._inFlight = false;
    this._closed = false;
  }

  get busy() {
    return this._inFlight || this._entries.length > 0;
  }

  push(text) {
    if (this._closed || !text) return;
    const last = this._entries[this._entries.length - 1];
    if (last && !last.paste) last.text += text;
    else this._entries.push({ text, at: 0, paste: null });
    this._pump();
  }

  // A paste goes out after everything queued before it and before anything typed after it.
  // Resolves with { sent, total, complete }; a piece the back end did not take ends the paste
  // there, since the rest would arrive with a hole in it. onProgress(sent, total) follows each piece.
  pushPaste(text, onProgress = () => {}) {
    if (this._closed) return Promise.resolve({ sent: 0, total: text.length, complete: false });
    if (!text) return Promise.resolve({ sent: 0, total: 0, complete: true });
    return new Promise((resolve) => {
      this._entries.push({ text, at: 0, paste: { resolve, onProgress } });
      this._pump();
    });
  }

  close() {
    this._closed = true;
    for (const entry of this._entries) if (entry.paste) finishPaste(entry, entry.at, false);
    this._entries = [];
  }

  async _pump() {
    if (this._inFlight || this._closed || this._entries.length === 0) return;
    const entry = this._entries[0];
    const start = entry.at;
    entry.at = pieceEnd(entry.text, start, this._pieceChars);
    const text = entry.text.slice(start, entry.at);
    if (!entry.paste && entry.at >= entry.text.length) this._entries.shift();
    this._inFlight = true;
    let taken = false;
    try {
      const result = await this._send(text);
      taken = result !== false;
      this._onResult(result, text);
    } catch (err) {
      this._onError(err, text);
    } finally {
      this._inFlight = false;
    }
    if (entry.paste) this._pasteStep(entry, taken ? entry.at : start);
    this._pump();
  }

  _pasteStep(entry, sent) {
    const done = sent >= entry.text.length;
    const failed = sent < entry.at;
    if (!done && !failed && !this._closed) {
      entry.paste.onProgress(sent, entry.text.length);
      return;
    }
    if (this._entries[0] === entry) this._entries.shift();
    finishPaste(entry, sent, done);
  }
}

function finishPaste(entry, sent, complete) {
  const { resolve, onProgress } = entry.paste;
  entry.paste = { resolve: () => {}, onProgress: () => {} };
  if (complete) onProgress(sent, entry.text.length);
  resolve({ sent, total: entry.text.length, complete });
}

// The latest terminal size for one tab, sent one call at a time; sizes that pile up while a call
// is out collapse into the newest.
export class LatestOnly {
  constructor(send, { onError = () => {} } = {}) {
    this._send = send;
    this._onError = onError;
    this._next = null;
    this._inFlight = false;
  }

  push(value) {
    this._next = value;
    this._pump();
  }

  async _pump() {
    if (this._inFlight || this._next === null) return;
    const value = this._next;
    this._next = null;
    this._inFlight = true;
    try {
      await this._send(value);
    } catch (err) {
      this._onError(err);
    } finally {
      this._inFlight = false;
    }
    this._pump();
  }
}
