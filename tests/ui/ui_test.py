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


class BurstServer:
    """Numbered lines of a fixed width, sent as fast as the tab takes them, in two halves, each
    once the test says so. The connection ends after the last line."""

    LINE = 100  # bytes, CR LF included

    def __init__(self, lines):
        self.lines = lines
        self.first_half = threading.Event()
        self.second_half = threading.Event()
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.sock.settimeout(20)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _block(self, first, last):
        filler = ("0123456789abcdefghijklmnopqrstuvwxyz" * 3)[:self.LINE - 12]
        return "".join(f"{i:09d} {filler}\r\n" for i in range(first, last)).encode()

    def _serve(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        finally:
            self.sock.close()
        half = self.lines // 2
        try:
            self.first_half.wait(120)
            for start in range(0, self.lines, 10_000):
                if start >= half:
                    self.second_half.wait(120)
                conn.sendall(self._block(start, min(start + 10_000, self.lines)))
        except OSError:
            pass
        conn.close()


class AppTestBase(unittest.TestCase):
    """A private data directory per test and the application started through WebKitWebDriver."""

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



class WindowTest(AppTestBase):
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
        # Output holding a NUL crosses the bridge whole, not cut at the NUL.
        self.assertTrue(d.call("send_input", tab, "nul\u0000end\r"))
        while "end\r" not in text and time.monotonic() < deadline:
            text += d.call("drain_terminal", tab)
        self.assertIn("nul\x00end", text)
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

    def test_closing_with_a_tray_host_only_hides_the_window(self):
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                               stdout=subprocess.PIPE, text=True)
        host = None
        try:
            address = bus.stdout.readline().strip()
            self.assertTrue(address, "dbus-daemon did not start")
            self.env["DBUS_SESSION_BUS_ADDRESS"] = address
            host = subprocess.Popen([os.environ["VELTARO_FAKE_TRAY_HOST"]], env=self.env,
                                    stdout=subprocess.PIPE, text=True)
            self.assertEqual(host.stdout.readline().strip(), "ready")
            d = self.start()
            subprocess.run([CLOSE_WINDOW, "Veltaro"], env=self.env, check=True, timeout=10)
            d.wait_until("return document.visibilityState === 'hidden'")
            time.sleep(1)
            self.assertTrue(app_processes(self.home), "the application must keep running")
            self.assertEqual(d.call("get_runtime_state")["tabs"], [])
            # Hidden, so a second close request finds no visible window.
            self.assertNotEqual(subprocess.run([CLOSE_WINDOW, "Veltaro"], env=self.env,
                                               timeout=10).returncode, 0)
        finally:
            for proc in (host, bus):
                if proc:
                    proc.terminate()
                    proc.wait(timeout=10)

    def test_clipboard_text_reaches_the_page(self):
        d = self.start()
        # Copied the way a person does: text selected in a field, then Ctrl+C.
        d.execute("""
            const area = document.createElement('textarea');
            area.id = 'clip-source';
            area.value = '剪貼簿 clip 123';
            document.body.appendChild(area);
            area.focus();
            area.select();""")
        d.key_chord("\ue009", "c")
        deadline = time.monotonic() + 15
        text = ""
        while text != "剪貼簿 clip 123" and time.monotonic() < deadline:
            text = d.call("read_clipboard")
        self.assertEqual(text, "剪貼簿 clip 123")

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


class PageTest(AppTestBase):
    """The page as a person uses it: the editor, the session list, tabs and terminals."""

    def start(self):
        d = super().start()
        d.wait_until("return !!window.veltaroTest && !!document.getElementById('btn-new-session')")
        return d

    def set_field(self, d, field, value):
        d.execute("""
            const el = document.getElementById(arguments[0]);
            if (el.type === 'checkbox') el.checked = arguments[1]; else el.value = arguments[1];
            el.dispatchEvent(new Event('input', {bubbles: true}));
            el.dispatchEvent(new Event('change', {bubbles: true}));
            el.dispatchEvent(new Event('blur'));""", field, value)

    def seed(self, sessions):
        """Sessions already in the store when the application starts, as a returning user has."""
        directory = os.path.join(self.home, "quillmoor", "Veltaro")
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, "sessions.json"), "w", encoding="utf-8") as f:
            json.dump({"sessions": sessions}, f, ensure_ascii=False, indent=2)

    def rows(self, d):
        return d.execute("return [...document.querySelectorAll('[data-testid=session-row]')]"
                         ".map(r => r.querySelector('.session-name').textContent);")

    def terminal(self, d, tab):
        return d.execute("return window.veltaroTest.terminalText(arguments[0]);", tab)

    def wait_terminal(self, d, tab, needle):
        d.wait_until("return (window.veltaroTest.terminalText(arguments[0]) || '').includes(arguments[1]);",
                     tab, needle, timeout=20)

    def test_sessions_are_created_edited_and_deleted_in_the_editor(self):
        d = self.start()
        self.shot(d, "page-empty-store")
        d.click("#btn-new-session")
        d.wait_until("return !document.getElementById('editor').hidden")
        self.set_field(d, "field-name", "測試路由器")
        self.set_field(d, "field-host", "192.0.2.7")
        self.set_field(d, "field-port", "70000")
        d.wait_until("return (document.getElementById('error-port').textContent || '').length > 0")
        self.shot(d, "page-editor-invalid-port")
        self.set_field(d, "field-port", "2222")
        d.click("#editor-save")
        d.wait_until("return document.querySelectorAll('[data-testid=session-row]').length === 1")
        stored = self.store()["sessions"]
        self.assertEqual(len(stored), 1)
        self.assertEqual(stored[0]["name"], "測試路由器")
        self.assertEqual(stored[0]["host"], "192.0.2.7")
        self.assertIn(stored[0]["port"], (2222, "2222"))
        self.assertEqual(self.rows(d), ["測試路由器"])
        self.shot(d, "page-session-list")

        d.pointer_click("[data-testid=session-edit]", hover="[data-testid=session-row]")
        d.wait_until("return !document.getElementById('editor').hidden")
        self.set_field(d, "field-name", "改名後")
        d.click("#editor-save")
        d.wait_until("return document.querySelector('.session-name').textContent === '改名後'")
        self.assertEqual(self.store()["sessions"][0]["name"], "改名後")

        d.pointer_click("[data-testid=session-delete]", hover="[data-testid=session-row]")
        d.wait_until("return !document.getElementById('confirm').hidden")
        d.click("#confirm-ok")
        d.wait_until("return document.querySelectorAll('[data-testid=session-row]').length === 0")
        self.assertEqual(self.store()["sessions"], [])

    def test_raw_tab_typing_echoes_in_the_terminal(self):
        server = EchoServer()
        other = EchoServer()
        first, second = "a" * 32, "b" * 32
        self.seed([{"id": first, "name": "echo-a", "protocol": "raw", "host": "127.0.0.1",
                    "port": server.port},
                   {"id": second, "name": "echo-b", "protocol": "raw", "host": "127.0.0.1",
                    "port": other.port}])
        d = self.start()
        d.wait_until("return document.querySelectorAll('[data-testid=session-row]').length === 2",
                     timeout=20)
        d.pointer_click(f"[data-session-id='{first}'] [data-testid=session-connect]",
                        hover=f"[data-session-id='{first}']")
        tab = d.wait_until("return window.veltaroTest.activeTab();")
        self.wait_terminal(d, tab, "正在連線到 127.0.0.1")
        self.wait_terminal(d, tab, "歡迎 echo")
        d.pointer_click(f".terminal-view[data-tab-id='{tab}'] .xterm-screen")
        d.type_keys("hello 中文")
        self.wait_terminal(d, tab, "hello 中文")
        self.shot(d, "page-raw-tab-echo")

        d.pointer_click(f"[data-session-id='{second}'] [data-testid=session-connect]",
                        hover=f"[data-session-id='{second}']")
        tab2 = d.wait_until("return window.veltaroTest.activeTab() !== arguments[0] && "
                            "window.veltaroTest.activeTab();", tab)
        self.wait_terminal(d, tab2, "歡迎 echo")
        self.assertEqual(d.execute("return window.veltaroTest.tabIds().length;"), 2)
        d.click(f".tab[data-tab-id='{tab}']")
        d.wait_until("return window.veltaroTest.activeTab() === arguments[0];", tab)
        self.shot(d, "page-two-tabs")
        d.pointer_click(f".tab[data-tab-id='{tab}'] [data-testid=tab-close]",
                        hover=f".tab[data-tab-id='{tab}']")
        d.wait_until("return window.veltaroTest.tabIds().length === 1")
        self.assertEqual(len(d.call("get_runtime_state")["tabs"]), 1)
        d.pointer_click(f"[data-session-id='{first}'] [data-testid=session-connect]",
                        hover=f"[data-session-id='{first}']")
        d.wait_until("return window.veltaroTest.tabIds().length === 2")

    def test_large_burst_reaches_the_terminal_whole_while_the_page_answers(self):
        lines = 500_000  # 50 MB
        server = BurstServer(lines)
        self.seed([{"id": "d" * 32, "name": "burst", "protocol": "raw", "host": "127.0.0.1",
                    "port": server.port}])
        d = self.start()
        d.wait_until("return document.querySelectorAll('[data-testid=session-row]').length === 1",
                     timeout=20)
        d.pointer_click("[data-testid=session-connect]", hover="[data-testid=session-row]")
        tab = d.wait_until("return window.veltaroTest.activeTab();")
        # Every write into the terminal is checked as xterm.js takes it: numbered lines one after
        # the other with none missing, and where the end line falls among them.
        d.execute("""
            const term = window.veltaroTest.xterm(arguments[0]);
            const rec = window.__burst = { next: 0, carry: '', bad: null, endAt: null };
            const write = term.write.bind(term);
            term.write = (data, callback) => {
              const parts = (rec.carry + data).split('\\r\\n');
              rec.carry = parts.pop();
              for (const line of parts) {
                if (/^\\d{9} /.test(line)) {
                  if (Number(line.slice(0, 9)) !== rec.next && rec.bad === null) rec.bad = line;
                  rec.next += 1;
                } else if (line.includes('連線已結束')) rec.endAt = rec.next;
              }
              if (rec.carry.includes('連線已結束')) rec.endAt = rec.next;
              write(data, callback);
            };""", tab)
        server.first_half.set()
        # The first half is on its way (the peer holds the second back): a click must be answered
        # while the page works through it.
        d.wait_until("return window.__burst.next > 10000;", timeout=60)
        d.pointer_click("#btn-new-session")
        d.wait_until("return !document.getElementById('editor').hidden", timeout=20)
        d.click("#editor-cancel")
        server.second_half.set()
        d.wait_until("return window.__burst.endAt !== null;", timeout=300, interval=0.5)
        rec = d.execute("const r = window.__burst; return [r.bad, r.next, r.endAt];")
        self.assertEqual(rec, [None, lines, lines], "every line in order, the end line after them")
        tail = d.execute("""
            const b = window.veltaroTest.xterm(arguments[0]).buffer.active;
            const out = [];
            for (let i = b.length - 1; i >= 0 && out.length < 40; i -= 1) {
              const row = b.getLine(i);
              const t = row.translateToString(true);
              if (t && !row.isWrapped) out.unshift(t);
            }
            return out;""", tab)
        self.assertIn("連線已結束", tail[-1])
        self.assertEqual([t[:9] for t in tail[:-1]],
                         [f"{i:09d}" for i in range(lines - len(tail) + 1, lines)])
        self.shot(d, "page-burst-end")

    def test_session_names_are_shown_as_text(self):
        name = "<img src=x onerror=window.__pwned=1>"
        self.seed([{"id": "c" * 32, "name": name, "host": "h"}])
        d = self.start()
        d.wait_until("return document.querySelectorAll('[data-testid=session-row]').length === 1",
                     timeout=20)
        self.assertEqual(self.rows(d), [name])
        self.assertEqual(d.execute("return document.querySelectorAll('#session-list img').length;"), 0)
        self.assertIsNone(d.execute("return window.__pwned === undefined ? null : window.__pwned;"))
        self.shot(d, "page-html-name")


if __name__ == "__main__":
    unittest.main()
