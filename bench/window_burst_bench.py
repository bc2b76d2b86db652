"""Output speed of the real window: a 50 MB burst from a local raw peer through a tab until
xterm.js has parsed all of it, beside xterm.js parsing the same chunks alone (term.write into the
same terminal of the same web view) in the same run, and beside Debian's xterm showing the same
file with `cat` on the same Xvfb. Medians of several runs.

    python3 bench/window_burst_bench.py build-bench/launcher/veltaro [runs] [--hidden]

With --hidden the window is hidden (closed to the tray) before the burst starts; a session bus and
tests/ui's fake tray host are started for that, and tests/ui's close_window closes the window
(their paths in VELTARO_FAKE_TRAY_HOST and VELTARO_CLOSE_WINDOW, default: build-test/tests/ui/).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from window_support import LINE, App, BurstPeer, Xvfb, last_numbers, median_line, write_burst_file

SIZE = 50_000_000

# Installed in the page: every write into the tab's terminal is timed and kept, so that the same
# chunks can be written again without the back end.
RECORDER = """
const term = window.veltaroTest.xterm(arguments[0]);
const rec = window.__burst = { chunks: [], chars: 0, first: null, last: null };
const write = term.write.bind(term);
term.write = (data, callback) => {
  if (rec.first === null) rec.first = performance.now();
  rec.chunks.push(data);
  write(data, () => {
    rec.chars += data.length;
    rec.last = performance.now();
    if (callback) callback();
  });
};
"""

# xterm.js alone: the recorded chunks written into the same terminal again, a few megabytes kept
# queued at any time (xterm.js refuses more than 50 MB pending), timed to the last callback. With
# arguments[1] the terminal is taken off the screen first, which leaves the parser without the
# renderer.
ALONE = """
const term = window.veltaroTest.xterm(arguments[0]);
const rec = window.__burst;
term.write = Object.getPrototypeOf(term).write.bind(term);
term.reset();
const holder = term.element.parentElement;
holder.style.display = arguments[1] ? 'none' : '';
const alone = window.__alone = { done: false, ms: 0 };
const chunks = rec.chunks;
let t0 = 0;
let next = 0;
let pending = 0;
const pump = () => {
  while (next < chunks.length && pending < 4e6) {
    const chunk = chunks[next++];
    pending += chunk.length;
    term.write(chunk, () => {
      pending -= chunk.length;
      if (next === chunks.length && pending === 0) {
        alone.ms = performance.now() - t0;
        alone.done = true;
        holder.style.display = '';
      } else pump();
    });
  }
};
// A moment first, so that the terminal's visibility has settled (no frames come while the
// window is hidden, so no animation frame is awaited).
setTimeout(() => {
  t0 = performance.now();
  pump();
}, 100);
"""


# The bridge alone: the same burst through a second tab whose terminal takes every write at once
# without parsing it, so that what is left is the back end, the bridge and the drain loop.
DISCARD = """
const term = window.veltaroTest.xterm(arguments[0]);
const rec = window.__bridge = { chars: 0, first: null, last: null };
term.write = (data, callback) => {
  const now = performance.now();
  if (rec.first === null) rec.first = now;
  rec.chars += data.length;
  rec.last = now;
  if (callback) queueMicrotask(callback);
};
"""


UI_TOOLS = os.path.join(os.path.dirname(__file__), "..", "build-test", "tests", "ui")
TRAY_HOST = os.environ.get("VELTARO_FAKE_TRAY_HOST", os.path.join(UI_TOOLS, "fake_tray_host"))
CLOSE_WINDOW = os.environ.get("VELTARO_CLOSE_WINDOW", os.path.join(UI_TOOLS, "close_window"))


class TrayHost:
    """A session bus with a tray host, so that closing the window hides it."""

    def __init__(self, display):
        self.bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                    stdout=subprocess.PIPE, text=True)
        self.address = self.bus.stdout.readline().strip()
        env = dict(os.environ, DISPLAY=display, DBUS_SESSION_BUS_ADDRESS=self.address)
        self.host = subprocess.Popen([TRAY_HOST], env=env, stdout=subprocess.PIPE, text=True)
        if self.host.stdout.readline().strip() != "ready":
            raise RuntimeError("tray host did not start")

    def close(self):
        for p in (self.host, self.bus):
            p.terminate()
            p.wait(timeout=10)


def wait_for_all(d, record):
    """Until the whole burst has been taken, or nothing more arrives for a while (text lost)."""
    chars, seen, still = 0, -1, time.monotonic()
    while chars < SIZE and time.monotonic() - still < 10:
        time.sleep(0.1)
        chars = d.execute(f"return window.{record}.chars;")
        if chars != seen:
            seen, still = chars, time.monotonic()
    if chars < SIZE:
        ms = d.execute(f"return window.{record}.last - window.{record}.first;")
        raise RuntimeError(f"only {chars} of {SIZE} characters arrived "
                           f"({chars / ms / 1000:.2f} MB/s over {ms / 1000:.1f} s)")
    return d.execute(f"return window.{record}.last - window.{record}.first;")


def xterm_alone(d, tab, off_screen):
    d.execute(ALONE, tab, off_screen)
    d.wait_until("return window.__alone.done;", timeout=600, interval=0.1)
    return d.execute("return window.__alone.ms;")


def bridge_alone(app, path):
    """Milliseconds for the burst to cross the bridge into a tab that discards it."""
    peer = BurstPeer(path)
    d = app.driver
    try:
        tab = app.open_raw_tab("bridge", peer.port)
        d.wait_until("return !!document.querySelector(`.tab[data-tab-id='${arguments[0]}'] .tab-dot.live`);",
                     tab, timeout=30)
        d.execute(DISCARD, tab)
        peer.go.set()
        return wait_for_all(d, "__bridge")
    finally:
        peer.done.set()


def one_run(binary, display, path, hidden):
    peer = BurstPeer(path)
    tray = TrayHost(display) if hidden else None
    app = App(binary, display, bus=tray.address) if tray else App(binary, display)
    d = app.driver
    try:
        tab = app.open_raw_tab("burst", peer.port)
        d.wait_until("return !!document.querySelector(`.tab[data-tab-id='${arguments[0]}'] .tab-dot.live`);",
                     tab, timeout=30)
        d.execute(RECORDER, tab)
        if hidden:
            subprocess.run([CLOSE_WINDOW, "Veltaro"], env=app.env, check=True, timeout=10)
            d.wait_until("return document.hidden;", timeout=10)
        peer.go.set()
        stream_ms = wait_for_all(d, "__burst")
        chunks = d.execute("return window.__burst.chunks.length;")
        last = last_numbers(d, tab, 3)
        expected = [f"{i:09d}" for i in range(SIZE // LINE - 3, SIZE // LINE)]
        if last != expected:
            raise RuntimeError(f"the terminal ends with {last}, not {expected}")
        alone_ms = xterm_alone(d, tab, off_screen=False)
        parse_ms = xterm_alone(d, tab, off_screen=True)
        bridge_ms = bridge_alone(app, path)
    finally:
        peer.done.set()
        app.quit()
        shutil.rmtree(app.home, ignore_errors=True)
        if tray:
            tray.close()
    return stream_ms / 1000, alone_ms / 1000, chunks, bridge_ms / 1000, parse_ms / 1000


def xterm_cat(display, path):
    """Seconds for Debian's xterm to show the file with cat, and for it to start and end alone."""
    env = dict(os.environ, DISPLAY=display)
    geometry = ["-geometry", "160x45"]
    t0 = time.monotonic()
    subprocess.run(["xterm", *geometry, "-e", "cat", path], env=env, check=True, timeout=600)
    cat = time.monotonic() - t0
    t0 = time.monotonic()
    subprocess.run(["xterm", *geometry, "-e", "true"], env=env, check=True, timeout=60)
    return cat, time.monotonic() - t0


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    hidden = "--hidden" in sys.argv
    binary = os.path.abspath(args[0])
    runs = int(args[1]) if len(args) > 1 else 3
    work = tempfile.mkdtemp(prefix="veltaro-burst-")
    path = os.path.join(work, "burst.txt")
    write_burst_file(path, SIZE)
    xvfb = Xvfb()
    results = []
    try:
        for _ in range(runs):
            stream, alone, chunks, bridge, parse = one_run(binary, xvfb.display, path, hidden)
            cat, start = xterm_cat(xvfb.display, path)
            results.append((stream, alone, alone / stream, SIZE / stream / 1e6, chunks, cat, start,
                            bridge, parse))
            print(f"run: tab {stream:.2f} s, xterm.js alone {alone:.2f} s, {chunks} writes, "
                  f"bridge alone {bridge:.2f} s, parser alone (off screen) {parse:.2f} s, "
                  f"xterm -e cat {cat:.2f} s (start and end alone {start:.2f} s)", flush=True)
    finally:
        xvfb.close()
        shutil.rmtree(work, ignore_errors=True)
    where = "hidden window" if hidden else "visible window"
    print(f"50 MB burst through a raw tab, {where}, {runs} runs")
    print(median_line("tab until parsed (s)", [r[0] for r in results]))
    print(median_line("xterm.js alone, same chunks, same view (s)", [r[1] for r in results]))
    print(median_line("ratio alone / tab", [r[2] for r in results]))
    print(median_line("tab throughput (MB/s)", [r[3] for r in results]))
    print(median_line("bridge alone, a tab that discards the text (s)", [r[7] for r in results]))
    print(median_line("xterm.js parser alone, terminal off screen (s)", [r[8] for r in results]))
    print(median_line("xterm -e cat, same file, same Xvfb (s)", [r[5] for r in results]))
    print(median_line("xterm -e true, start and end alone (s)", [r[6] for r in results]))


if __name__ == "__main__":
    main()
