// Output of one tab. The back end never pushes terminal data; the page asks with a long poll
// (drain_terminal waits until the tab has output, a status line or its end), so an idle tab costs
// one call every few seconds and output appears as soon as it arrives.
//
// The loop is a chain of promises without timers, so it goes on at full speed while the window is
// hidden (browsers throttle timers of hidden pages). While xterm.js parses, the next answer is
// already being fetched, and with two answers queued a round trip slower than one answer's parse
// still leaves xterm.js something to do. A further drain starts only once the oldest of them has
// been parsed, which is the back pressure that keeps the page's memory bounded (a few answers of
// at most the back end's buffer each) and lets the back end slow the sender.
//
// Status lines arrive outside the output (a script call of their own). The back end pushes a line
// after the output that came before it, so a line waits for the drain that starts after it
// arrived: that drain returns whatever output preceded the line, and the line is written after it.

export const DRAIN = Object.freeze({
  waitMs: 5000, // longest wait of one call; the back end caps it there too
  unparsedMax: 2, // a drain starts only while at most this many answers wait to be parsed
  retryMs: 2000, // after a failed call
  earlyEmptyMs: 1000, // a waiting drain answered empty sooner than this: its connection has ended
  pauseMs: 500, // before the next drain after such an answer
});

export class DrainLoop {
  // fetch(waitMs) → Promise<string>; write(text) → Promise settling once xterm.js has parsed it;
  // line(entry) → Promise, writes a status line after everything written before;
  // ended() → true once the tab's connection is known to have ended.
  constructor({
    fetch,
    write,
    line,
    ended = () => false,
    onError = () => {},
    timers = globalThis,
    now = () => performance.now(),
  }) {
    this._fetch = fetch;
    this._write = write;
    this._line = line;
    this._ended = ended;
    this._onError = onError;
    this._timers = timers;
    this._now = now;
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

  // A status line: written after the output that reached the back end before it.
  status(entry) {
    if (this._stopped) {
      this._line(entry);
      return;
    }
    this._lines.push({ after: this._issued + 1, entry });
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

  // The back end answers a waiting drain at once when the tab's connection has ended; until the
  // page's state refresh says so (slow while the window is hidden) the loop would ask again and
  // again, so it asks at a walking pace instead. A status line also ends a wait, and is not slowed.
  _answeredEarlyEmpty(text, waitMs, askedAt) {
    return !text && waitMs > 0 && !this._lines.length && this._now() - askedAt < DRAIN.earlyEmptyMs;
  }

  async _run() {
    const unparsed = []; // answers handed to xterm.js, oldest first, until each is parsed
    while (!this._stopped) {
      const number = ++this._issued;
      let text = '';
      const waitMs = this._lines.length ? 0 : DRAIN.waitMs;
      const askedAt = this._now();
      try {
        const answer = await this._fetch(waitMs);
        text = typeof answer === 'string' ? answer : '';
      } catch (err) {
        this._onError(err);
        await new Promise((resolve) => this._timers.setTimeout(resolve, DRAIN.retryMs));
        continue;
      }
      if (this._stopped) return;
      const writing = text ? this._write(text) : null;
      this._done = number;
      this._flushLines();
      if (this._finished(text) && !this._lines.length) break;
      if (writing) unparsed.push(writing);
      while (unparsed.length > DRAIN.unparsedMax) await unparsed.shift();
      if (this._answeredEarlyEmpty(text, waitMs, askedAt)) {
        await new Promise((resolve) => this._timers.setTimeout(resolve, DRAIN.pauseMs));
      }
    }
    this._running = false;
  }
}
