"""A small WebDriver client for WebKitWebDriver driving the real application window.

Every request and every wait has a time-out: a session request to a program that does not allow
automation hangs instead of failing.
"""
import json
import socket
import subprocess
import time
import urllib.error
import urllib.request

REQUEST_TIMEOUT = 60


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class WebDriverError(RuntimeError):
    pass


class Driver:
    """One WebKitWebDriver process and one session of the application under it."""

    def __init__(self, binary, env):
        self.port = free_port()
        self.proc = subprocess.Popen(
            ["WebKitWebDriver", f"--port={self.port}"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._wait_ready()
        caps = {"capabilities": {"alwaysMatch": {
            "webkitgtk:browserOptions": {"binary": binary, "args": []}}}}
        self.session = self._request("POST", "/session", caps)["sessionId"]

    def _wait_ready(self, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                self._request("GET", "/status", timeout=2)
                return
            except (OSError, WebDriverError):
                time.sleep(0.1)
        raise WebDriverError("WebKitWebDriver did not start")

    def _request(self, method, path, body=None, timeout=REQUEST_TIMEOUT):
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request(
            f"http://127.0.0.1:{self.port}{path}", data=data, method=method,
            headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(req, timeout=timeout) as reply:
                return json.loads(reply.read())["value"]
        except urllib.error.HTTPError as e:
            raise WebDriverError(e.read().decode(errors="replace")) from e

    def _s(self, path):
        return f"/session/{self.session}{path}"

    def execute(self, script, *args):
        return self._request("POST", self._s("/execute/sync"), {"script": script, "args": list(args)})

    def execute_async(self, script, *args):
        """Runs `script` with the arguments and a completion callback last; returns what the
        script passed to that callback."""
        return self._request("POST", self._s("/execute/async"), {"script": script, "args": list(args)})

    def call(self, method, *args):
        """Calls window.veltaro.api.METHOD(...) in the page and returns the resolved value."""
        script = ("const done = arguments[arguments.length - 1];"
                  "window.veltaro.api[arguments[0]](...arguments[1])"
                  ".then(r => done({ok: r}), e => done({err: String(e)}));")
        reply = self._request("POST", self._s("/execute/async"),
                              {"script": script, "args": [method, list(args)]})
        if "err" in reply:
            raise WebDriverError(reply["err"])
        return reply.get("ok")

    def wait_until(self, script, *args, timeout=15, interval=0.1):
        """Polls a page expression until it is truthy; returns its value."""
        deadline = time.monotonic() + timeout
        value = None
        while time.monotonic() < deadline:
            value = self.execute(script, *args)
            if value:
                return value
            time.sleep(interval)
        raise AssertionError(f"timed out waiting for: {script} (last value {value!r})")

    def navigate(self, url, page_load_ms=5000):
        """Sends the view to `url` the way WebDriver's navigate does; answers the driver's error
        text when the view did not go there, None when it did."""
        self._request("POST", self._s("/timeouts"), {"pageLoad": page_load_ms})
        try:
            self._request("POST", self._s("/url"), {"url": url})
        except WebDriverError as e:
            return str(e)
        return None

    def window_handles(self):
        """The views WebDriver knows in this session: every view the application opened."""
        return self._request("GET", self._s("/window/handles"))

    def find(self, css):
        elem = self._request("POST", self._s("/element"), {"using": "css selector", "value": css})
        return next(iter(elem.values()))

    def click(self, css):
        self._request("POST", self._s(f"/element/{self.find(css)}/click"), {})

    def type_into(self, css, text):
        self._request("POST", self._s(f"/element/{self.find(css)}/value"), {"text": text})

    def _pointer(self, css, *steps):
        elem = {"element-6066-11e4-a52e-4f735466cecf": self.find(css)}
        self._request("POST", self._s("/actions"), {"actions": [{
            "type": "pointer", "id": "mouse", "parameters": {"pointerType": "mouse"},
            "actions": [{"type": "pointerMove", "duration": 0, "origin": elem, "x": 0, "y": 0},
                        {"type": "pause", "duration": 50}, *steps]}]})

    def hover(self, css):
        self._pointer(css)

    def pointer_click(self, css, hover=None):
        """Clicks as a mouse does; with `hover`, the pointer first rests on that element so that
        buttons shown only on hover appear."""
        if hover:
            self.hover(hover)
        self._pointer(css, {"type": "pointerDown", "button": 0}, {"type": "pointerUp", "button": 0})

    def type_keys(self, text):
        """Types into whatever has the keyboard focus."""
        keys = []
        for ch in text:
            keys += [{"type": "keyDown", "value": ch}, {"type": "keyUp", "value": ch}]
        self._request("POST", self._s("/actions"), {"actions": [{
            "type": "key", "id": "keyboard", "actions": keys}]})

    def key_chord(self, *keys):
        """Presses the keys together, e.g. key_chord(CONTROL, "c"), CONTROL being "\\ue009"."""
        actions = [{"type": "keyDown", "value": k} for k in keys]
        actions += [{"type": "keyUp", "value": k} for k in reversed(keys)]
        self._request("POST", self._s("/actions"), {"actions": [{
            "type": "key", "id": "keyboard", "actions": actions}]})

    def quit(self):
        try:
            self._request("DELETE", self._s(""), timeout=20)
        except (OSError, WebDriverError):
            pass
        self.stop_driver()

    def stop_driver(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=10)
