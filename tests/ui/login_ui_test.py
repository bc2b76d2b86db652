"""Login prompts and host-key decisions in the real window: the password is typed into the
terminal, and a changed host key is accepted through the tab toolbar's action."""
import os
import pwd
import socket
import subprocess
import tempfile
import time
import unittest

import ui_test
from ui_test import AppTestBase

USER = "veltarotest"
PASSWORD = "Vel7-taro-pass"
ENTER = "\ue007"  # WebDriver's Enter key


def setUpModule():
    ui_test.setUpModule()


def tearDownModule():
    ui_test.tearDownModule()


def ensure_test_user():
    try:
        pwd.getpwnam(USER)
    except KeyError:
        subprocess.run(["/usr/sbin/useradd", "-m", "-s", "/bin/bash", USER], check=False, timeout=30)
        pwd.getpwnam(USER)
    subprocess.run(["/usr/sbin/chpasswd"], input=f"{USER}:{PASSWORD}\n".encode(), check=True, timeout=30)


class Sshd:
    """OpenSSH's sshd on 127.0.0.1 with a throw-away configuration: passwords only."""

    def __init__(self):
        ensure_test_user()
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix="veltaro-ui-sshd-")
        self.host_key = os.path.join(self.dir, "host_key")
        subprocess.run(["/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.host_key],
                       check=True, timeout=30)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        config = os.path.join(self.dir, "sshd_config")
        with open(config, "w", encoding="utf-8") as f:
            f.write(f"Port {self.port}\nListenAddress 127.0.0.1\nHostKey {self.host_key}\n"
                    f"PidFile {self.dir}/sshd.pid\nUsePAM no\nStrictModes no\nPermitRootLogin no\n"
                    "PasswordAuthentication yes\nKbdInteractiveAuthentication no\n"
                    "PubkeyAuthentication no\nPrintMotd no\nPrintLastLog no\n")
        self.process = subprocess.Popen(["/usr/sbin/sshd", "-D", "-f", config, "-E",
                                         os.path.join(self.dir, "sshd.log")])
        deadline = time.monotonic() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline or self.process.poll() is not None:
                    raise RuntimeError("sshd did not start")
                time.sleep(0.1)

    def fingerprint(self):
        out = subprocess.run(["/usr/bin/ssh-keygen", "-l", "-E", "sha256", "-f", self.host_key + ".pub"],
                             check=True, capture_output=True, text=True, timeout=30).stdout
        return out.split()[1]

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class LoginWindowTest(AppTestBase):
    def seed(self, sessions, known_hosts=None):
        super().seed(sessions)
        if known_hosts is not None:
            with open(os.path.join(self.data_dir(), "known_hosts"), "w", encoding="utf-8") as f:
                f.write(known_hosts)

    def wait_terminal(self, d, tab, needle, timeout=30):
        d.wait_until("return (window.veltaroTest.terminalText(arguments[0]) || '').includes(arguments[1]);",
                     tab, needle, timeout=timeout)

    def test_changed_key_is_accepted_in_the_toolbar_then_the_password_typed_in_the_terminal(self):
        server = Sshd()
        self.addCleanup(server.close)
        impostor = os.path.join(self.home, "impostor")
        subprocess.run(["/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", impostor],
                       check=True, timeout=30)
        with open(impostor + ".pub", encoding="utf-8") as f:
            impostor_line = f"[127.0.0.1]:{server.port} " + " ".join(f.read().split()[:2]) + "\n"
        other = "[10.9.8.7]:2222 " + impostor_line.split(" ", 1)[1]
        sid = "e" * 32
        self.seed([{"id": sid, "name": "login", "protocol": "ssh", "host": "127.0.0.1",
                    "port": server.port}], known_hosts=other + impostor_line)
        d = self.start()
        d.wait_until("return document.querySelectorAll('[data-testid=session-row]').length === 1",
                     timeout=20)
        d.pointer_click(f"[data-session-id='{sid}'] [data-testid=session-connect]",
                        hover=f"[data-session-id='{sid}']")
        tab = d.wait_until("return window.veltaroTest.activeTab();")
        self.wait_terminal(d, tab, "主機金鑰與記住的不同")
        d.wait_until("return !document.querySelector('[data-testid=tab-accept-host-key]').hidden", timeout=20)
        self.shot(d, "login-host-key-changed")

        d.click("[data-testid=tab-accept-host-key]")
        d.wait_until("return !document.getElementById('confirm').hidden")
        detail = d.execute("return document.getElementById('confirm-detail').textContent;")
        self.assertIn(server.fingerprint(), detail)
        self.shot(d, "login-host-key-confirm")
        d.click("#confirm-ok")

        # The reconnected tab asks for the user name and the password in its terminal.
        tab = d.wait_until("return window.veltaroTest.activeTab() !== arguments[0] && "
                           "window.veltaroTest.activeTab();", tab, timeout=20)
        self.wait_terminal(d, tab, "login as: ")
        d.wait_until("return document.querySelector('[data-testid=tab-accept-host-key]').hidden")
        d.pointer_click(f".terminal-view[data-tab-id='{tab}'] .xterm-screen")
        d.type_keys(USER + ENTER)
        self.wait_terminal(d, tab, f"{USER}@127.0.0.1's password: ")
        d.type_keys(PASSWORD + ENTER)
        # Keys typed before the shell is there belong to the login and are dropped with it.
        d.wait_until("return document.getElementById('tab-state').dataset.state === 'connected'",
                     timeout=30)
        d.type_keys("echo END-$((40+2))" + ENTER)
        self.wait_terminal(d, tab, "END-42")
        text = d.execute("return window.veltaroTest.terminalText(arguments[0]);", tab)
        self.assertNotIn(PASSWORD, text)
        self.shot(d, "login-password-typed")
        with open(os.path.join(self.home, "quillmoor", "Veltaro", "known_hosts"), encoding="utf-8") as f:
            known = f.read()
        self.assertTrue(known.startswith(other), known)
        self.assertIn(f"[127.0.0.1]:{server.port} ssh-ed25519 ", known)
        self.assertNotIn(impostor_line, known)


if __name__ == "__main__":
    unittest.main()
