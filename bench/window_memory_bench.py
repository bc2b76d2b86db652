"""Memory of the window as proportional set size (PSS, /proc/PID/smaps_rollup), summed over the
application and its WebKit processes, with ten idle raw tabs open (as the back end opens them,
then once the page has shown each of them, as it does with every tab a person opens, and then idle
again after a 20 MB burst through one of them), beside a bare WebKitGTK window showing one line
of text in the same run. PSS counts each shared page once across the processes that share it,
unlike summed RSS. Medians of several runs, each on its own Xvfb.

    python3 bench/window_memory_bench.py build-bench/launcher/veltaro build-bench/bench/bare_webview [runs]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from window_support import (LAST_NUMBERS, LINE, App, BurstPeer, Xvfb, idle_peer, median_line,
                            processes_of, pss_mb, write_burst_file)

TABS = 10
SETTLE_SECONDS = 10
GOAL_MB = 220
BURST_BYTES = 20_000_000


# WebKitWebDriver, which drives the application in the benchmark, is not part of it.
KINDS = ("veltaro", "bare_webview", "web", "network")


def pss_by_kind(home):
    return {kind: sum(pss_mb(p) for p in pids) for kind, pids in processes_of(home).items() if kind in KINDS}


def bare_window(binary, display, composited):
    """The bare window with WebKit's defaults, or drawn without accelerated compositing as the
    application draws (its hardware acceleration policy is "never")."""
    home = tempfile.mkdtemp(prefix="veltaro-bare-")
    env = dict(os.environ, DISPLAY=display, HOME=home, XDG_DATA_HOME=home, XDG_CACHE_HOME=home,
               DBUS_SESSION_BUS_ADDRESS="disabled:")
    if not composited:
        env["WEBKIT_DISABLE_COMPOSITING_MODE"] = "1"
    proc = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while "web" not in processes_of(home) and time.monotonic() < deadline:
            time.sleep(0.2)
        time.sleep(SETTLE_SECONDS)
        return pss_by_kind(home)
    finally:
        proc.terminate()
        proc.wait(timeout=10)
        shutil.rmtree(home, ignore_errors=True)


def application(binary, display, burst_file):
    """The ten tabs as the back end opens them, the page showing only the last; after the page has
    shown each of them once, as it does with a tab a person opens from the list; and idle again
    after a burst through the last of them, shown."""
    app = App(binary, display)
    peer = BurstPeer(burst_file)
    try:
        for i in range(TABS - 1):
            app.open_raw_tab(f"idle {i}", idle_peer())
        app.open_raw_tab("burst", peer.port)
        time.sleep(SETTLE_SECONDS)
        opened = pss_by_kind(app.home)
        tabs = app.driver.execute("return veltaroTest.tabIds();")
        for tab in tabs:
            app.driver.execute("document.querySelector(`[data-testid=tab][data-tab-id=\"${arguments[0]}\"]`).click();", tab)
            app.driver.wait_until("return veltaroTest.activeTab() === arguments[0];", tab, timeout=10)
        time.sleep(SETTLE_SECONDS)
        shown = pss_by_kind(app.home)
        peer.go.set()
        app.driver.wait_until(f"return ({LAST_NUMBERS})(arguments[0], 1)[0] === arguments[1];",
                              tabs[-1], f"{BURST_BYTES // LINE - 1:09d}", timeout=120, interval=0.5)
        time.sleep(SETTLE_SECONDS)
        return opened, shown, pss_by_kind(app.home)
    finally:
        peer.done.set()
        app.quit()
        shutil.rmtree(app.home, ignore_errors=True)


def main():
    binary = os.path.abspath(sys.argv[1])
    bare = os.path.abspath(sys.argv[2])
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    xvfb = Xvfb()
    burst_file = tempfile.NamedTemporaryFile(prefix="veltaro-burst-")
    write_burst_file(burst_file.name, BURST_BYTES)
    apps, bares, flat = [], [], []
    try:
        for _ in range(runs):
            bares.append(bare_window(bare, xvfb.display, composited=True))
            flat.append(bare_window(bare, xvfb.display, composited=False))
            apps.append(application(binary, xvfb.display, burst_file.name))
    finally:
        xvfb.close()
        burst_file.close()
    fmt = "{:.1f}"
    for name, results in (("bare WebKitGTK window, defaults", bares),
                          ("bare WebKitGTK window, no accelerated compositing", flat)):
        print(median_line(f"{name}, PSS summed (MB)", [sum(b.values()) for b in results], fmt))
        for kind in ("bare_webview", "web", "network"):
            print(median_line(f"  {kind} (MB)", [b.get(kind, 0.0) for b in results], fmt))
    for label, results in ((f"application with {TABS} idle raw tabs", [a[0] for a in apps]),
                           (f"the same {TABS} tabs, each shown once", [a[1] for a in apps]),
                           (f"the same {TABS} tabs after {BURST_BYTES // 1_000_000} MB through one",
                            [a[2] for a in apps])):
        print(median_line(f"{label}, PSS summed (MB)", [sum(r.values()) for r in results], fmt))
        # "veltaro" is the application together with its pinger process.
        for kind in ("veltaro", "web", "network"):
            print(median_line(f"  application, {kind} (MB)", [r.get(kind, 0.0) for r in results], fmt))
    verdicts = []
    for label, index in (("as opened", 0), ("each shown once", 1)):
        met = statistics.median(sum(a[index].values()) for a in apps) <= GOAL_MB
        verdicts.append(f"{label}: {'met' if met else 'not met'}")
    print(f"goal: at most {GOAL_MB} MB with {TABS} tabs — " + "; ".join(verdicts))


if __name__ == "__main__":
    sys.exit(main())
