// Output polling for one tab. The back end never pushes terminal data, so the page asks; a tab
// with output flowing is asked again at once (after its text has been written, which is the back
// pressure), and an idle tab is asked less and less often, so that many idle tabs cost almost
// nothing. Anything the user does in the tab wakes it up again.

export const POLL = Object.freeze({
  flowingMs: 8, // after output: ask again nearly at once
  firstIdleMs: 25, // first pause after an empty answer
  idleFactor: 2,
  activeMaxMs: 400, // the tab on screen; typing wakes it at once, so only unprompted output waits
  backgroundMaxMs: 5000, // each call costs the host a thread and a round trip
  hiddenMaxMs: 5000, // the window is hidden in the tray
  errorMs: 2000,
});

export function nextDelay(previousMs, gotOutput, { active, hidden }) {
  if (gotOutput) return POLL.flowingMs;
  const cap = hidden ? POLL.hiddenMaxMs : active ? POLL.activeMaxMs : POLL.backgroundMaxMs;
  const grown = previousMs < POLL.firstIdleMs ? POLL.firstIdleMs : previousMs * POLL.idleFactor;
  return Math.min(grown, cap);
}

export class DrainPoller {
  // fetch() → Promise<string>; sink(text) → Promise that settles once the text is written.
  // state() → { active, hidden }.
  constructor({ fetch, sink, state, timers = globalThis, onError = () => {} }) {
    this._fetch = fetch;
    this._sink = sink;
    this._state = state;
    this._timers = timers;
    this._onError = onError;
    this._timer = null;
    this._running = false; // a fetch or a write is under way
    this._stopped = true;
    this._delay = 0;
    this._wakeRequested = false;
  }

  start() {
    if (!this._stopped) return;
    this._stopped = false;
    this._schedule(0);
  }

  stop() {
    this._stopped = true;
    if (this._timer !== null) this._timers.clearTimeout(this._timer);
    this._timer = null;
  }

  // Ask soon: called on input, on status lines, on becoming the visible tab.
  wake() {
    if (this._stopped) return;
    this._delay = 0;
    if (this._running) {
      this._wakeRequested = true;
      return;
    }
    this._schedule(0);
  }

  get delayMs() {
    return this._delay;
  }

  _schedule(ms) {
    if (this._timer !== null) this._timers.clearTimeout(this._timer);
    this._timer = this._timers.setTimeout(() => {
      this._timer = null;
      this._tick();
    }, ms);
  }

  async _tick() {
    if (this._stopped || this._running) return;
    this._running = true;
    this._wakeRequested = false;
    let got = false;
    let failed = false;
    try {
      const text = await this._fetch();
      if (typeof text === 'string' && text.length > 0) {
        got = true;
        if (!this._stopped) await this._sink(text);
      }
    } catch (err) {
      failed = true;
      this._onError(err);
    } finally {
      this._running = false;
    }
    if (this._stopped) return;
    if (failed) this._delay = POLL.errorMs;
    else if (this._wakeRequested) this._delay = 0;
    else this._delay = nextDelay(this._delay, got, this._state());
    this._wakeRequested = false;
    this._schedule(this._delay);
  }
}
