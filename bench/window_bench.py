"""The desktop window: time from launch to the page's first answered call, resident memory of
the application and its web process with ten tabs open, and the CPU an idle window with ten idle
tabs costs. Medians of several launches. Runs under its own Xvfb.

    python3 bench/window_bench.py build-bench/launcher/veltaro [runs]
"""
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "ui"))
from webdriver import Driver  # noqa: E402

TABS = 10
IDLE_SECONDS = 10
TICK = os.sysconf("SC_CLK_TCK")


def listener():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(1)

    def serve():
        conn, _ = s.accept()
        conn.sendall(b"idle peer\r\n")
        while conn.recv(4096):
            pass

    threading.Thread(target=serve, daemon=True).start()
    return s.getsockname()[1]


def processes(home):
    """(application pid, web process pids) of the run using this data directory."""
    app, web = None, []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if f"XDG_DATA_HOME={home}".encode() not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{pid}/comm") as f:
                comm = f.read().strip()
        except OSError:
            continue
        if comm == "veltaro":
            app = int(pid)
        elif comm.startswith("WebKitWebProces"):
            web.append(int(pid))
    return app, web


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def one_run(binary, display):
    home = tempfile.mkdtemp(prefix="veltaro-bench-")
    env = dict(os.environ, DISPLAY=display, HOME=home, XDG_DATA_HOME=home,
               DBUS_SESSION_BUS_ADDRESS="disabled:")
    start = time.monotonic()
    d = Driver(binary, env)
    d.wait_until("return !!window.veltaro", interval=0.01, timeout=60)
    d.call("get_runtime_state")
    launch = time.monotonic() - start
    try:
        for i in range(TABS):
            sid = d.call("save_session", {"name": f"idle {i}", "protocol": "raw",
                                          "host": "127.0.0.1", "port": listener()})["id"]
            d.call("connect_session", sid)
        time.sleep(3)
        app, web = processes(home)
        rss_app = rss_mb(app)
        rss_web = sum(rss_mb(p) for p in web)
        before = cpu_seconds(app) + sum(cpu_seconds(p) for p in web)
        time.sleep(IDLE_SECONDS)
        after = cpu_seconds(app) + sum(cpu_seconds(p) for p in web)
        idle_cpu = 100 * (after - before) / IDLE_SECONDS
    finally:
        d.quit()
    return launch, rss_app, rss_web, idle_cpu


def main():
    binary = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    display = ":187"
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1400x900x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    try:
        results = [one_run(binary, display) for _ in range(runs)]
    finally:
        xvfb.terminate()
    names = ["launch to first answered call (s)", "application RSS with 10 tabs (MB)",
             "web process RSS with 10 tabs (MB)", "idle CPU, 10 idle tabs (% of one core)"]
    for i, name in enumerate(names):
        values = [r[i] for r in results]
        print(f"{name}: median {statistics.median(values):.2f} (runs: "
              + ", ".join(f"{v:.2f}" for v in values) + ")")


if __name__ == "__main__":
    main()
