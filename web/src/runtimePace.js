// When the page asks again for the tab and reachability state on its own.
//
// A change is normally announced, and the page asks at once: connection events arrive as script
// calls, and hosts going on- or offline end the output watch's wait. Asking on a pace of its own is
// the fallback for a change nobody announced: every second after the fallback found one, and less
// and less often, up to the cap, while it finds nothing. An announced change leaves the pace alone;
// otherwise every pinger report would bring five more asks in the next half minute, each costing
// both processes a round trip and a render.

export const RUNTIME_PACE = Object.freeze({
  firstMs: 1000,
  quietMaxMs: 30000,
  hiddenMs: 10000,
});

export class RuntimePace {
  constructor() {
    this._seen = null; // the last state, as text
    this._unchanged = 0; // fallback asks in a row that found nothing new
  }

  // Milliseconds until the next fallback ask.
  delay(hidden) {
    if (hidden) return RUNTIME_PACE.hiddenMs;
    return Math.min(RUNTIME_PACE.firstMs * 2 ** this._unchanged, RUNTIME_PACE.quietMaxMs);
  }

  // A state arrived, as canonical text; `fallback` when the fallback asked for it.
  saw(text, fallback) {
    if (fallback) this._unchanged = text === this._seen ? this._unchanged + 1 : 0;
    this._seen = text;
  }
}
