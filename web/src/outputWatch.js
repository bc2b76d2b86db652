// One wait for the output of every tab. An idle tab's drain loop waits here instead of holding a
// call of its own open, so ten idle tabs cost one call every few seconds between them, not ten.
//
// The back end counts the changes the page must look at (output into an empty buffer, a status
// line, a connection's end) and answers a wait with the count now and the tabs changed after the
// count the page last saw. A change that comes while its tab is not waiting is kept for the tab's
// next wait, so none is lost between two waits. Like the drain loop, the calls form a chain of
// promises without timers: it goes on at full speed while the window is hidden.
//
// The same wait reports when a host went on- or offline (onStatus), so that the page need not ask
// for the state every few seconds; with onStatus the watch keeps waiting once started, with no tab.

export const WATCH = Object.freeze({
  waitMs: 30000, // longest wait of one call; the back end caps it there too; every change ends it
  retryMs: 2000, // after a failed call
});

export class OutputWatch {
  // wait(since, waitMs) → Promise<{ generation, ready: [tab id], status: bool }>
  constructor({ wait, onError = () => {}, onStatus = null, timers = globalThis }) {
    this._wait = wait;
    this._onError = onError;
    this._onStatus = onStatus;
    this._timers = timers;
    this._generation = 0;
    this._waiters = new Map(); // tab id → { promise, resolve }
    this._pending = new Set(); // tabs changed while not waiting
    this._known = new Set(); // tabs tracked or waiting, and not forgotten
    this._running = false;
  }

  // Starts waiting for the hosts' states without a tab (with onStatus).
  start() {
    this._run();
  }

  // From now on a change of the tab is kept for it until it waits. Before its first drain, so that
  // a change reported between that drain and the tab's first wait is not lost.
  track(tabId) {
    this._known.add(tabId);
  }

  // Settles once the back end reports a change of the tab, or it is woken or forgotten.
  changed(tabId) {
    this._known.add(tabId);
    if (this._pending.delete(tabId)) return Promise.resolve();
    let waiter = this._waiters.get(tabId);
    if (!waiter) {
      let resolve;
      const promise = new Promise((r) => {
        resolve = r;
      });
      waiter = { promise, resolve };
      this._waiters.set(tabId, waiter);
    }
    this._run();
    return waiter.promise;
  }

  // Something for the tab came by another road (a status line): its wait ends now.
  wake(tabId) {
    if (!this._release(tabId) && this._known.has(tabId)) this._pending.add(tabId);
  }

  // The tab is gone: its wait ends, and nothing is kept for it.
  forget(tabId) {
    this._release(tabId);
    this._pending.delete(tabId);
    this._known.delete(tabId);
  }

  _release(tabId) {
    const waiter = this._waiters.get(tabId);
    if (!waiter) return false;
    this._waiters.delete(tabId);
    waiter.resolve();
    return true;
  }

  _report(answer) {
    if (!answer || !Number.isSafeInteger(answer.generation) || !Array.isArray(answer.ready)) {
      throw new Error('回傳的內容不正確');
    }
    this._generation = answer.generation;
    for (const tabId of answer.ready) {
      if (typeof tabId === 'string') this.wake(tabId);
    }
    if (answer.status === true && this._onStatus) this._onStatus();
  }

  async _run() {
    if (this._running) return;
    this._running = true;
    while (this._waiters.size || this._onStatus) {
      try {
        this._report(await this._wait(this._generation, WATCH.waitMs));
      } catch (err) {
        this._onError(err);
        await new Promise((resolve) => this._timers.setTimeout(resolve, WATCH.retryMs));
      }
    }
    this._running = false;
  }
}
