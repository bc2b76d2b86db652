// Keystrokes for one tab. The back end runs every page call on its own thread, so two send_input
// calls in flight could overtake each other: only one is ever outstanding, and whatever is typed
// meanwhile goes out joined in the next call, in order.

export class InputQueue {
  // send(text) returns a Promise; its result is only reported through onResult.
  constructor(send, { onResult = () => {}, onError = () => {} } = {}) {
    this._send = send;
    this._onResult = onResult;
    this._onError = onError;
    this._pending = '';
    this._inFlight = false;
    this._closed = false;
  }

  get busy() {
    return this._inFlight || this._pending.length > 0;
  }

  push(text) {
    if (this._closed || !text) return;
    this._pending += text;
    this._pump();
  }

  close() {
    this._closed = true;
    this._pending = '';
  }

  async _pump() {
    if (this._inFlight || this._closed || !this._pending) return;
    const text = this._pending;
    this._pending = '';
    this._inFlight = true;
    try {
      this._onResult(await this._send(text), text);
    } catch (err) {
      this._onError(err, text);
    } finally {
      this._inFlight = false;
    }
    this._pump();
  }
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
