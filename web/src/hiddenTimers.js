// Timers for xterm.js (the page's build hands these to it in place of the browser's own).
//
// xterm.js parses output in slices of a few milliseconds and takes each next slice with
// setTimeout(0). While the window is hidden in the tray the browser holds a page's timers to a few
// a second, which would leave a hidden tab's output all but unparsed and the tab's connection
// waiting on it. While the page is hidden, zero-delay turns are therefore taken through a message
// channel, which is not held back. On screen the browser's timers are used as before, so that
// drawing and input keep their turns between slices.

export function makeTimers(isHidden, timers = globalThis) {
  const channel = new MessageChannel();
  const due = new Map();
  let lastId = 0;
  channel.port1.onmessage = ({ data: id }) => {
    const run = due.get(id);
    if (!run) return;
    due.delete(id);
    run();
  };
  // Started by the first message: a port with an onmessage handler keeps node's test runner alive.
  if (channel.port1.unref) channel.port1.unref();

  return {
    setTimeout(fn, ms, ...args) {
      if (typeof fn !== 'function' || ms > 0 || !isHidden()) return timers.setTimeout(fn, ms, ...args);
      lastId -= 1; // below zero: never an id the browser hands out
      const id = lastId;
      due.set(id, () => fn(...args));
      channel.port2.postMessage(id);
      return id;
    },
    clearTimeout(id) {
      if (typeof id === 'number' && id < 0) due.delete(id);
      else timers.clearTimeout(id);
    },
  };
}

const pageTimers = makeTimers(() => globalThis.document?.hidden === true);
export const xtermSetTimeout = pageTimers.setTimeout;
export const xtermClearTimeout = pageTimers.clearTimeout;
