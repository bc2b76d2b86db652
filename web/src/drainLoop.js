// Output of one tab. The back end never pushes terminal data; the page asks. A drain with a wait
// returns once the tab has output, a status line or its end (the page waits for all tabs with one
// call), so an idle tab costs nothing of its own and output appears as soon as it arrives. After
// an answer with text the next drain asks without waiting: more has usually come meanwhile.
//
// The loop is a chain of promises without timers, so it goes on at full speed while the window is
// hidden (browsers throttle timers of hidden pages). While xterm.js parses, the next answer is
// already being fetched, and with two answers queued a round trip slower than one answer's parse
// still leaves xterm.js something to do. A further drain starts only once the oldest of them has
// been parsed, which is the back pressure that keeps the page's memory bounded (a few answers of
// at most the back end's buffer each) and lets the back end slow the sender.
//
// Status lines arrive outside the output (a script call of their own). The back end numbers the
// drain after whose text each line goes: it stops that drain's text where the line was pushed, and
// sends the line before any answer that carries later text. So the page counts its drains the way
// the back end does (one drain_terminal call each) and writes a line once that drain's text is
// written. A line without a number waits for the drain that starts after it arrived, which returns
// whatever output preceded it.

export const DRAIN = Object.freeze({
  waitMs: 5000, // asked of a drain that may wait for the tab's next change
  unparsedMax: 2, // a drain starts only while at most this many answers wait to be parsed
  retryMs: 2000, // after a failed call
});

export class DrainLoop {
  // fetch(waitMs) → Promise<string>; write(text) → Promise settling once xterm.js has parsed it;
  // line(entry) → Promise, writes a status line after everything written before;
  // ended() → true once the tab's connection is known to have ended; wake() ends a waiting fetch.
  constructor({
    fetch,
    write,
    line,
    ended = () => false,
    wake = () => {},
    onError = () => {},
    timers = globalThis,
  }) {
    this._fetch = fetch;
    this._write = write;
    this._line = line;
    this._ended = ended;
    this._wake = wake;
    this._onError = onError;
    this._timers = timers;
    this._issued = 0; // drains started
    this._done = 0; // drains answered and handed to the terminal
    this._lines = []; // { after: drain number, entry }
    this._running = false;
    this._stopped = false;
    this._endedAt = null; // drains started before the end was known may still miss output
  }

  start() {
    if (this._stopped || this._running) return;
    this._running = true;
    this._run();
  }

  stop() {
    this._stopped = true;
    for (const { entry } of this._lines.splice(0)) this._line(entry);
  }

  // A status line, written after the text of drain number `afterDrain` (counted from 1; 0 is
  // before any) and before the text of the next one.
  status(entry, afterDrain) {
    const after = Number.isSafeInteger(afterDrain) && afterDrain >= 0 ? afterDrain : this._issued + 1;
    if (this._stopped || (after <= this._done && !this._lines.length)) {
      this._line(entry);
      return;
    }
    this._lines.push({ after, entry });
    this._wake(); // the drain now waiting must return, so that the one after it can take the line
    this.start(); // a loop parked after its tab ended takes up this line
  }

  _flushLines() {
    while (this._lines.length && this._lines[0].after <= this._done) this._line(this._lines.shift().entry);
  }

  // The tab has ended and a drain started since then found nothing: no more output can come.
  _finished(text) {
    if (text || !this._ended()) {
      this._endedAt = null;
      return false;
    }
    if (this._endedAt === null) this._endedAt = this._issued;
    return this._done > this._endedAt;
  }

  async _run() {
    const unparsed = []; // answers handed to xterm.js, oldest first, until each is parsed
    // The first drain does not wait either: the tab may have had output before its loop began.
    let more = true;
    while (!this._stopped) {
      const number = ++this._issued;
      const waitMs = this._lines.length || more ? 0 : DRAIN.waitMs;
      let text = '';
      try {
        const answer = await this._fetch(waitMs);
        text = typeof answer === 'string' ? answer : '';
      } catch (err) {
        this._onError(err);
        await new Promise((resolve) => this._timers.setTimeout(resolve, DRAIN.retryMs));
        continue;
      }
      if (this._stopped) return;
      more = Boolean(text);
      const writing = text ? this._write(text) : null;
      this._done = number;
      this._flushLines();
      if (this._finished(text) && !this._lines.length) break;
      if (writing) unparsed.push(writing);
      while (unparsed.length > DRAIN.unparsedMax) await unparsed.shift();
    }
    this._running = false;
  }
}
