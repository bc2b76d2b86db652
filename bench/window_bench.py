"""The desktop window: time from launch to the page's first answered call, resident memory of
the application and its web process with ten tabs open, and the CPU an idle window with ten idle
tabs costs over 30 s. Idle is measured once the terminal cursor has stopped blinking after the last
tab opened (it blinks for 10 s after each activity): with the active terminal focused, as a person
leaves it, and with nothing focused, which tells what a focused field's caret costs. Medians of
several launches. Runs under its own Xvfb.

    python3 bench/window_bench.py build-bench/launcher/veltaro [runs]
"""
import os
import shutil
import sys
import time

from window_support import App, Xvfb, idle_peer, median_line, rss_mb

TABS = 10
IDLE_SECONDS = 30
SETTLE_SECONDS = 12  # the terminal cursor blinks for 10 s after activity


def one_run(binary, display):
    app = App(binary, display)
    try:
        app.driver.call("get_runtime_state")
        launch = time.monotonic() - app.started
        for i in range(TABS):
            app.open_raw_tab(f"idle {i}", idle_peer())
        time.sleep(SETTLE_SECONDS)
        main_pid, web = app.processes()
        rss_app = rss_mb(main_pid)
        rss_web = sum(rss_mb(p) for p in web)
        idle_cpu = idle_percent(app)
        app.driver.execute("document.activeElement && document.activeElement.blur(); return 1;")
        idle_unfocused = idle_percent(app)
    finally:
        app.quit()
        shutil.rmtree(app.home, ignore_errors=True)
    return launch, rss_app, rss_web, idle_cpu, idle_unfocused


def idle_percent(app):
    before = app.cpu_seconds()
    time.sleep(IDLE_SECONDS)
    return 100 * (app.cpu_seconds() - before) / IDLE_SECONDS


def main():
    binary = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    xvfb = Xvfb()
    try:
        results = [one_run(binary, xvfb.display) for _ in range(runs)]
    finally:
        xvfb.close()
    names = ["launch to first answered call (s)", "application RSS with 10 tabs (MB)",
             "web process RSS with 10 tabs (MB)",
             f"idle CPU, 10 idle tabs over {IDLE_SECONDS} s, application and web process (% of one core)",
             "idle CPU as above, nothing focused (% of one core)"]
    for i, name in enumerate(names):
        print(median_line(name, [r[i] for r in results]))


if __name__ == "__main__":
    sys.exit(main())
