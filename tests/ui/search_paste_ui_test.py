"""Searching a terminal and pasting into it, in the real window against a raw TCP peer that keeps
every byte it is sent."""
import json
import time
import unittest

from tcp_peers import RecordingPeer
from ui_test import AppTestBase, setUpModule, tearDownModule  # noqa: F401

CONTROL, SHIFT, ESCAPE = "\ue009", "\ue008", "\ue00c"


class TerminalToolsTest(AppTestBase):
    def open_tab(self, peer):
        self.addCleanup(peer.close)
        self.seed([{"id": "a" * 32, "name": "peer", "protocol": "raw", "host": "127.0.0.1",
                    "port": peer.port}])
        d = self.start()
        d.execute("""
            window.__errors = [];
            addEventListener('error', (e) => window.__errors.push(String(e.message)));
            addEventListener('unhandledrejection', (e) => window.__errors.push(String(e.reason)));""")
        tab = self.connect_only_session(d, '>>')
        return d, tab

    def focus_terminal(self, d, tab):
        d.pointer_click(f".terminal-view[data-tab-id='{tab}'] .xterm-screen")

    def copy(self, d, text):
        """Puts text on the clipboard as a person does: selected in a field, then Ctrl+C."""
        d.execute("""
            const area = document.createElement('textarea');
            area.id = 'clip-source';
            area.value = arguments[0];
            document.body.appendChild(area);
            area.focus();
            area.select();""", text)
        d.key_chord(CONTROL, "c")
        deadline = time.monotonic() + 15
        while d.call("read_clipboard") != text:
            self.assertLess(time.monotonic(), deadline, "the text did not reach the clipboard")
            time.sleep(0.1)
        d.execute("document.getElementById('clip-source').remove();")

    def errors(self, d):
        return d.execute("return window.__errors;")

    def test_search_marks_every_match_and_esc_returns_to_the_terminal(self):
        peer = RecordingPeer(b">> show run\r\ninterface GigabitEthernet0/1\r\n description uplink\r\n"
                             b"interface GigabitEthernet0/2\r\n shutdown\r\nINTERFACE totals\r\n")
        d, tab = self.open_tab(peer)
        d.wait_until("return window.veltaroTest.terminalText(arguments[0]).includes('INTERFACE totals');", tab)
        self.focus_terminal(d, tab)
        d.key_chord(CONTROL, SHIFT, "f")
        d.wait_until("return document.activeElement.dataset.testid === 'search-input';")
        count = "return document.querySelector('[data-testid=search-count]').textContent;"
        marks = (f"return document.querySelectorAll(\".terminal-view[data-tab-id='{tab}'] "
                 ".xterm-find-result-decoration\").length;")
        d.type_keys("interface")
        d.wait_until(f"{count[:-1]}.endsWith('/ 3');")
        self.assertGreaterEqual(d.execute(marks), 3)
        self.assertEqual(d.execute("return window.veltaroTest.xterm(arguments[0]).getSelection();", tab)
                         .lower(), "interface")
        self.shot(d, "search-bar")

        d.click("[data-testid=search-case]")
        d.wait_until(f"{count[:-1]}.endsWith('/ 2');")
        d.click("[data-testid=search-word]")
        d.execute("const i = document.querySelector('[data-testid=search-input]');"
                  "i.value = 'Gigabit'; i.dispatchEvent(new Event('input'));")
        d.wait_until(f"{count[:-1]} === '沒有符合';")
        d.click("[data-testid=search-word]")
        d.click("[data-testid=search-regex]")
        d.execute("const i = document.querySelector('[data-testid=search-input]');"
                  "i.value = 'Ethernet0/[12]$'; i.dispatchEvent(new Event('input'));")
        d.wait_until(f"{count[:-1]}.endsWith('/ 2');")
        d.type_keys("(")
        d.wait_until("return document.querySelector('[data-testid=search-input]').classList.contains('invalid');")
        self.assertEqual(d.execute(count), "規則運算式有誤")
        self.assertEqual(d.execute(marks), 0)
        self.shot(d, "search-bar-invalid-regex")

        d.type_keys(ESCAPE)
        d.wait_until("return document.querySelector('[data-testid=search-bar]').hidden;")
        self.assertEqual(d.execute(marks), 0)
        self.assertTrue(d.execute("return !!document.activeElement.closest('.xterm');"))
        self.assertEqual(self.errors(d), [])

        # The scrollback length is one setting for every terminal, kept across restarts.
        d.execute("const i = document.querySelector('[data-testid=scrollback-lines]');"
                  "i.value = 'many'; i.dispatchEvent(new Event('change'));")
        self.assertTrue(d.execute("return document.querySelector('[data-testid=scrollback-lines]')"
                                  ".classList.contains('invalid');"))
        self.assertEqual(d.execute("return window.veltaroTest.xterm(arguments[0]).options.scrollback;", tab),
                         10000)
        d.execute("const i = document.querySelector('[data-testid=scrollback-lines]');"
                  "i.value = '250000'; i.dispatchEvent(new Event('change'));")
        self.assertEqual(d.execute("return window.veltaroTest.xterm(arguments[0]).options.scrollback;", tab),
                         100000)
        self.assertEqual(json.loads(d.execute("return localStorage.getItem('veltaro.view.v1');"))["scrollback"],
                         100000)

    def test_multi_line_paste_asks_and_sends_exactly_what_was_confirmed(self):
        peer = RecordingPeer(b">> ready\r\n")
        d, tab = self.open_tab(peer)
        text = "show version\n<b>not markup</b>\nexit\n"  # a text field keeps LF line ends only
        self.copy(d, text)
        self.focus_terminal(d, tab)
        d.key_chord(CONTROL, SHIFT, "v")
        d.wait_until("return !!document.querySelector('[data-testid=paste-question]');")
        self.assertEqual(d.execute("return document.getElementById('paste-title').textContent;"),
                         "貼上 3 行文字？")
        self.assertEqual(d.execute("return document.querySelector('[data-testid=paste-preview]').textContent;"),
                         "show version\n<b>not markup</b>\nexit")
        self.assertEqual(d.execute("return document.querySelectorAll('[data-testid=paste-preview] *').length;"), 0)
        self.shot(d, "paste-question")

        d.click("[data-testid=paste-cancel]")
        d.wait_until("return !document.querySelector('[data-testid=paste-question]');")
        time.sleep(1)
        self.assertEqual(peer.data(), b"", "a cancelled paste sends nothing")
        self.assertTrue(d.execute("return !!document.activeElement.closest('.xterm');"))

        d.key_chord(CONTROL, SHIFT, "v")
        d.wait_until("return !!document.querySelector('[data-testid=paste-question]');")
        d.click("[data-testid=paste-ok]")
        expected = b"show version\r<b>not markup</b>\rexit\r"
        self.assertEqual(peer.wait_for(len(expected)), expected)
        d.type_keys("z")
        self.assertEqual(peer.wait_for(len(expected) + 1), expected + b"z")
        self.assertEqual(self.errors(d), [])

    def test_bracketed_paste_is_wrapped_and_not_asked_about(self):
        peer = RecordingPeer(b">> editor\r\n\x1b[?2004h")
        d, tab = self.open_tab(peer)
        d.wait_until("return window.veltaroTest.xterm(arguments[0]).modes.bracketedPasteMode;", tab)
        self.copy(d, "line one\nline two\x1b[201~\n")
        self.focus_terminal(d, tab)
        d.key_chord(CONTROL, SHIFT, "v")
        expected = b"\x1b[200~line one\rline two\r\x1b[201~"
        self.assertEqual(peer.wait_for(len(expected)), expected)
        self.assertFalse(d.execute("return !!document.querySelector('[data-testid=paste-question]');"))

    def test_large_paste_arrives_whole_and_in_order_with_its_progress_shown(self):
        peer = RecordingPeer(b">> ready\r\n", receive_buffer=4096)
        d, tab = self.open_tab(peer)
        lines = 30_000
        text = "".join(f"{i:08d} " + "x" * 90 + "\n" for i in range(lines))  # 3 MB
        self.focus_terminal(d, tab)
        peer.reading.clear()
        # Delivered as the web view delivers a middle-click or menu paste, which the page takes
        # over from xterm.js; a text field too large for a key press to copy is not needed then.
        d.execute("""
            const data = new DataTransfer();
            data.setData('text/plain', arguments[1]);
            document.querySelector(`.terminal-view[data-tab-id='${arguments[0]}'] textarea`)
              .dispatchEvent(new ClipboardEvent('paste', {clipboardData: data, bubbles: true, cancelable: true}));""",
                  tab, text)
        d.wait_until("return !!document.querySelector('[data-testid=paste-question]');")
        self.assertEqual(d.execute("return document.getElementById('paste-title').textContent;"),
                         f"貼上 {lines} 行文字？")
        d.click("[data-testid=paste-dont-ask]")
        d.click("[data-testid=paste-ok]")
        d.wait_until("return !!document.querySelector('[data-testid=paste-progress]');", timeout=10)
        self.shot(d, "paste-progress")
        started = time.monotonic()
        peer.reading.set()
        expected = text.replace("\n", "\r").encode()
        got = peer.wait_for(len(expected), timeout=120)
        elapsed = time.monotonic() - started
        self.assertEqual(len(got), len(expected))
        self.assertTrue(got == expected, "every byte in order")
        print(f"\n3 MB paste delivered {elapsed:.1f} s after the peer started reading")
        d.wait_until("return !document.querySelector('[data-testid=paste-progress]');", timeout=10)

        # "不再詢問" was chosen: the next multi-line paste goes straight out.
        self.copy(d, "a\nb\n")
        self.focus_terminal(d, tab)
        d.key_chord(CONTROL, SHIFT, "v")
        self.assertEqual(peer.wait_for(len(expected) + 4)[len(expected):], b"a\rb\r")
        self.assertFalse(d.execute("return !!document.querySelector('[data-testid=paste-question]');"))
        self.assertEqual(self.errors(d), [])


if __name__ == "__main__":
    unittest.main()
