"""What the window benchmarks share: a private Xvfb, the application under WebKitWebDriver, and
the processes (application and web process) of one run."""
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

TICK = os.sysconf("SC_CLK_TCK")


class Xvfb:
    def __init__(self):
        for number in range(200, 260):
            if not os.path.exists(f"/tmp/.X11-unix/X{number}") and not os.path.exists(f"/tmp/.X{number}-lock"):
                self.display = f":{number}"
                break
        self.proc = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1400x900x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while not os.path.exists(f"/tmp/.X11-unix/X{self.display[1:]}"):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("Xvfb did not start")
            time.sleep(0.1)

    def close(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


class App:
    """The application with a private data directory, started through WebKitWebDriver."""

    def __init__(self, binary, display, bus="disabled:"):
        self.home = tempfile.mkdtemp(prefix="veltaro-bench-")
        self.env = dict(os.environ, DISPLAY=display, HOME=self.home, XDG_DATA_HOME=self.home,
                        DBUS_SESSION_BUS_ADDRESS=bus)
        self.started = time.monotonic()
        self.driver = Driver(binary, self.env)
        self.driver.wait_until("return !!window.veltaro && !!window.veltaroTest", interval=0.01, timeout=60)

    def processes(self):
        """(application pid, web process pids) of this run. The pinger, forked by the application,
        bears its name too: the application is the one whose parent is not."""
        ours = processes_named(self.home)
        named = {pid for pid, comm in ours if comm == "veltaro"}
        app = next((pid for pid in named if parent_of(pid) not in named), None)
        web = [pid for pid, comm in ours if comm.startswith("WebKitWebProces")]
        return app, web

    def cpu_seconds(self):
        """CPU time of the application, its pinger and its web processes."""
        return sum(cpu_seconds(pid) for pid, comm in processes_named(self.home)
                   if comm == "veltaro" or comm.startswith("WebKitWebProces"))

    def open_raw_tab(self, name, port):
        d = self.driver
        sid = d.call("save_session", {"name": name, "protocol": "raw", "host": "127.0.0.1", "port": port})["id"]
        tab = d.call("connect_session", sid)["tab_id"]
        d.wait_until("return window.veltaroTest.tabIds().includes(arguments[0]);", tab, timeout=30)
        return tab

    def quit(self):
        self.driver.quit()


def parent_of(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[1])
    except OSError:
        return None


def cpu_seconds(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / TICK


def pss_mb(pid):
    """Proportional set size: shared pages counted once across the processes that share them."""
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return 0.0


def processes_named(home):
    """(pid, command name) of every process whose environment names this private data directory."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if f"XDG_DATA_HOME={home}".encode() not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{pid}/comm") as f:
                found.append((int(pid), f.read().strip()))
        except OSError:
            continue
    return found


def processes_of(home):
    """{kind: [pid, ...]} of this data directory's processes: the program itself by name
    ("veltaro", "bare_webview") and WebKit's web and network processes."""
    found = {}
    for pid, comm in processes_named(home):
        kind = ("web" if comm.startswith("WebKitWebProces") else
                "network" if comm.startswith("WebKitNetworkPr") else comm)
        found.setdefault(kind, []).append(pid)
    return found


def idle_peer():
    """Port of a raw peer that greets its one connection and then only reads."""
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


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def median_line(name, values, fmt="{:.2f}"):
    return (f"{name}: median " + fmt.format(statistics.median(values)) + " (runs: "
            + ", ".join(fmt.format(v) for v in values) + ")")


LINE = 100  # bytes per line of a burst file, CR LF included


def write_burst_file(path, size):
    """Numbered lines of LINE bytes, `size` bytes in all: line i begins with i in nine digits."""
    with open(path, "wb") as f:
        filler = "0123456789abcdefghijklmnopqrstuvwxyz" * 3
        for i in range(size // LINE):
            f.write(f"{i:09d} {filler[:LINE - 12]}\r\n".encode())


class BurstPeer:
    """Sends the file once told to, then keeps the connection open (no end line mid-run)."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.port = self.sock.getsockname()[1]
        self.go = threading.Event()
        self.done = threading.Event()
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        conn, _ = self.sock.accept()
        self.go.wait(60)
        with open(self.path, "rb") as f:
            conn.sendfile(f)
        self.done.wait(600)
        conn.close()


# A page function: the line numbers (first nine characters) of the last `count` non-blank lines
# of a tab's terminal.
LAST_NUMBERS = """(tab, count) => {
  const b = window.veltaroTest.xterm(tab).buffer.active;
  const lines = [];
  for (let i = b.length - 1; i >= 0 && lines.length < count; i -= 1) {
    const t = b.getLine(i).translateToString(true);
    if (t) lines.unshift(t.slice(0, 9));
  }
  return lines;
}"""


def last_numbers(driver, tab, count):
    return driver.execute(f"return ({LAST_NUMBERS})(arguments[0], arguments[1]);", tab, count)
