"""The real application window under Xvfb, driven through WebKitWebDriver as a person uses it."""
import json
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from webdriver import Driver

BINARY = os.environ["VELTARO_BIN"]
CLOSE_WINDOW = os.environ["VELTARO_CLOSE_WINDOW"]
ARTIFACTS = os.environ.get("VELTARO_ARTIFACTS", os.path.join(tempfile.gettempdir(), "veltaro-ui"))

_xvfb = None
_display = None


def setUpModule():
    global _xvfb, _display
    for number in range(140, 200):
        if not os.path.exists(f"/tmp/.X11-unix/X{number}") and not os.path.exists(f"/tmp/.X{number}-lock"):
            _display = f":{number}"
            break
    _xvfb = subprocess.Popen(["Xvfb", _display, "-screen", "0", "1400x900x24", "-nolisten", "tcp"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 15
    while not os.path.exists(f"/tmp/.X11-unix/X{_display[1:]}"):
        if time.monotonic() > deadline or _xvfb.poll() is not None:
            raise RuntimeError("Xvfb did not start")
        time.sleep(0.1)


def tearDownModule():
    if _xvfb:
        _xvfb.terminate()
        _xvfb.wait(timeout=10)


def app_processes(data_home):
    """Ids of running application processes that use this data directory."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if not f.read().startswith(BINARY.encode()):
                    continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if f"XDG_DATA_HOME={data_home}".encode() in f.read().split(b"\0"):
                    found.append(int(pid))
        except OSError:
            continue
    return found


class EchoServer:
    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.sock.settimeout(20)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        conn.settimeout(30)
        conn.sendall("歡迎 echo\r\n".encode())
        try:
            while data := conn.recv(4096):
                conn.sendall(data)
        except OSError:
            pass
        conn.close()


class WindowTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="veltaro-ui-")
        self.env = dict(os.environ, DISPLAY=_display, HOME=self.home, XDG_DATA_HOME=self.home,
                        DBUS_SESSION_BUS_ADDRESS="disabled:")
        self.drivers = []

    def tearDown(self):
        for d in self.drivers:
            d.quit()
        deadline = time.monotonic() + 10
        while app_processes(self.home) and time.monotonic() < deadline:
            time.sleep(0.1)
        for pid in app_processes(self.home):
            os.kill(pid, 9)
        shutil.rmtree(self.home, ignore_errors=True)

    def start(self):
        d = Driver(BINARY, self.env)
        self.drivers.append(d)
        d.wait_until("return document.readyState === 'complete' && !!window.veltaro")
        return d

    def shot(self, d, name):
        """The whole screen as a person sees it (the window with its page), kept for review."""
        os.makedirs(ARTIFACTS, exist_ok=True)
        subprocess.run(["import", "-display", _display, "-window", "root",
                        os.path.join(ARTIFACTS, f"{name}.png")], check=True, timeout=30)

    def store(self):
        with open(os.path.join(self.home, "quillmoor", "Veltaro", "sessions.json"), encoding="utf-8") as f:
            return json.load(f)

    def test_page_calls_reach_the_store(self):
        d = self.start()
        saved = d.call("save_session", {"name": "辦公室路由器", "host": "10.0.0.1", "port": 22})
        self.assertEqual(len(saved["id"]), 32)
        self.assertEqual(self.store()["sessions"][0]["name"], "辦公室路由器")
        self.assertEqual(d.call("get_initial_state")["sessions"][0]["id"], saved["id"])
        with self.assertRaisesRegex(Exception, "unknown method"):
            d.call("no_such_operation")
        self.shot(d, "after-save")

    def test_raw_tab_echoes_through_the_window(self):
        server = EchoServer()
        d = self.start()
        sid = d.call("save_session", {"name": "echo", "protocol": "raw", "host": "127.0.0.1",
                                      "port": server.port})["id"]
        tab = d.call("connect_session", sid)["tab_id"]
        text = ""
        deadline = time.monotonic() + 15
        while "歡迎" not in text and time.monotonic() < deadline:
            text += d.call("drain_terminal", tab)
        self.assertIn("歡迎 echo", text)
        self.assertTrue(d.call("send_input", tab, "ping 中文\r"))
        while "ping 中文" not in text and time.monotonic() < deadline:
            text += d.call("drain_terminal", tab)
        self.assertIn("ping 中文", text)
        self.shot(d, "raw-tab")

    def test_closing_without_a_tray_host_ends_the_application(self):
        d = self.start()
        self.assertTrue(app_processes(self.home))
        subprocess.run([CLOSE_WINDOW, "Veltaro"], env=self.env, check=True, timeout=10)
        deadline = time.monotonic() + 15
        while app_processes(self.home) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(app_processes(self.home), [])
        d.stop_driver()
        self.drivers.remove(d)

    def test_local_storage_survives_a_restart(self):
        d = self.start()
        d.execute("localStorage.setItem('veltaro-ui-test', 'kept 中文');")
        d.quit()
        self.drivers.remove(d)
        deadline = time.monotonic() + 15
        while app_processes(self.home) and time.monotonic() < deadline:
            time.sleep(0.1)
        again = self.start()
        self.assertEqual(again.execute("return localStorage.getItem('veltaro-ui-test');"), "kept 中文")


if __name__ == "__main__":
    unittest.main()
