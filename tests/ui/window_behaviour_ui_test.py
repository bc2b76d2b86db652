"""The window behaves like an application, not a web browser: our own menus, no reloading or history
keys, tab keys and the list of all tabs, the editor's keys, the question before a live tab closes and
the notice about a session file that could not be read. Keys and right-clicks go through the X
server (xdotool), as a person's do: WebDriver's synthetic events never reach the web view's own
menu or key handling."""
import glob
import json
import os
import re
import subprocess
import time
import unittest

import ui_test
from tcp_peers import RecordingPeer

setUpModule = ui_test.setUpModule
tearDownModule = ui_test.tearDownModule


class WindowBehaviourTest(ui_test.AppTestBase):
    def setUp(self):
        super().setUp()
        self.server = RecordingPeer(b"ready\r\n")
        self.addCleanup(self.server.close)

    def start(self):
        d = super().start()
        d.wait_until("return !!window.veltaroTest && !!document.getElementById('btn-new-session')")
        self.window = self.xdo("search", "--onlyvisible", "--name", "^Veltaro$").split()[0]
        self.xdo("windowfocus", self.window)
        return d

    # ----- real input -----

    def xdo(self, *args):
        out = subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=ui_test._display),
                             check=True, timeout=20, capture_output=True, text=True)
        return out.stdout

    def centre(self, d, css):
        return d.execute("const r = document.querySelector(arguments[0]).getBoundingClientRect();"
                         "return [Math.round(r.left + r.width / 2), Math.round(r.top + r.height / 2)];", css)

    def press(self, *keys):
        for key in keys:
            self.xdo("key", "--clearmodifiers", key)
            time.sleep(0.15)

    def mouse(self, d, css, button, at=None):
        x, y = at or self.centre(d, css)
        self.xdo("mousemove", "--window", self.window, str(x), str(y))
        time.sleep(0.15)
        self.xdo("click", str(button))
        time.sleep(0.3)

    def visible_windows(self):
        return set(self.xdo("search", "--onlyvisible", "--name", "").split())

    def menu_labels(self, d, testid="context-menu"):
        d.wait_until("return !!document.querySelector(`[data-testid=${arguments[0]}]`)", testid)
        return d.execute("return [...document.querySelectorAll(`[data-testid=${arguments[0]}] .menu-item`)]"
                         ".map(b => b.querySelector('.menu-label').textContent);", testid)

    # ----- set-up -----

    def raw(self, n, port=None):
        return {"id": f"{n:032x}", "name": f"機器 {n}", "protocol": "raw", "host": "127.0.0.1",
                "port": port or self.server.port}

    def open_tab(self, d, session_id):
        before = d.execute("return window.veltaroTest.tabIds().length;")
        d.execute("document.querySelector(`[data-session-id='${arguments[0]}']`)"
                  ".dispatchEvent(new MouseEvent('dblclick', {bubbles: true}));", session_id)
        d.wait_until("return window.veltaroTest.tabIds().length === arguments[0];", before + 1, timeout=20)
        tab = d.execute("return window.veltaroTest.activeTab();")
        d.wait_until("return (window.veltaroTest.terminalText(arguments[0]) || '').includes('ready');", tab,
                     timeout=20)
        # The peer greets the moment it accepts, well inside the page's first drains: the connecting
        # line still comes first.
        text = d.execute("return window.veltaroTest.terminalText(arguments[0]);", tab)
        self.assertIn("正在連線到", text.split("ready")[0], text)
        return tab

    def mark(self, d):
        d.execute("window.__kept = 'still here';")

    def assert_page_kept(self, d):
        self.assertEqual(d.execute("return window.__kept || null;"), "still here")
        self.assertTrue(d.execute("return location.href;").startswith("file:///"))

    # ----- tests -----

    def test_right_click_shows_our_menus_and_never_the_views(self):
        self.seed([self.raw(1)])
        d = self.start()
        self.mark(d)
        tab = self.open_tab(d, f"{1:032x}")
        windows = self.visible_windows()

        self.mouse(d, "[data-testid=session-row]", 3)
        self.assertEqual(self.menu_labels(d), ["連線", "編輯", "複製連線", "刪除"])
        self.shot(d, "window-menu-session-row")
        self.assertEqual(self.visible_windows(), windows, "the view's own menu opened a window")
        self.press("Escape")
        d.wait_until("return !document.querySelector('[data-testid=context-menu]')")

        self.mouse(d, f".tab[data-tab-id='{tab}'] .tab-title", 3)
        self.assertEqual(self.menu_labels(d), ["重新連線", "關閉", "關閉其他分頁"])
        self.assertTrue(d.execute("return document.querySelector('[data-testid=menu-close-others]').disabled;"))
        self.press("Escape")

        d.execute("window.veltaroTest.xterm(arguments[0]).write('line to clear\\r\\n');", tab)
        d.wait_until("return window.veltaroTest.terminalText(arguments[0]).includes('line to clear');", tab)
        self.mouse(d, f".terminal-view[data-tab-id='{tab}']", 3)
        self.assertEqual(self.menu_labels(d), ["複製", "貼上", "全選", "清除畫面", "搜尋"])
        self.shot(d, "window-menu-terminal")
        self.assertEqual(self.visible_windows(), windows)
        self.mouse(d, "[data-testid=menu-clear]", 1)
        d.wait_until("return !window.veltaroTest.terminalText(arguments[0]).includes('line to clear');", tab)

        self.mouse(d, f".terminal-view[data-tab-id='{tab}']", 3)
        self.mouse(d, "[data-testid=menu-search]", 1)
        d.wait_until("return [...document.querySelectorAll('[data-testid=search-bar]')].some((b) => !b.hidden);")
        self.press("Escape")
        d.wait_until("return [...document.querySelectorAll('[data-testid=search-bar]')].every((b) => b.hidden);")

        # Blank parts of the window offer nothing, neither ours nor the view's.
        self.mouse(d, "#toolbar .tool-spacer", 3)
        time.sleep(0.5)
        self.assertFalse(d.execute("return !!document.querySelector('[data-testid=context-menu]');"))
        self.assertEqual(self.visible_windows(), windows)

        # A choice of the row's menu does what its hover button does.
        self.mouse(d, "[data-testid=session-row]", 3)
        self.mouse(d, "[data-testid=menu-edit]", 1)
        d.wait_until("return !document.getElementById('editor').hidden")
        self.press("Escape")
        d.wait_until("return document.getElementById('editor').hidden")
        self.assert_page_kept(d)

    def test_reload_and_history_keys_stay_in_the_page_and_reach_the_terminal(self):
        self.seed([self.raw(1)])
        d = self.start()
        self.mark(d)
        tab = self.open_tab(d, f"{1:032x}")
        self.mouse(d, "[data-testid=session-filter]", 1)
        self.press("F5", "ctrl+r", "alt+Left", "alt+Right")
        self.mouse(d, "#toolbar .tool-spacer", 1)
        self.press("BackSpace", "F5", "ctrl+shift+r")
        time.sleep(1)
        self.assert_page_kept(d)
        self.assertEqual(d.execute("return window.veltaroTest.tabIds();"), [tab])

        self.server.take()
        self.mouse(d, f".terminal-view[data-tab-id='{tab}']", 1)
        self.press("ctrl+r", "F5", "BackSpace", "alt+Left")
        # xterm.js sends Alt+Left as Ctrl+Left (a word back), as most terminals do.
        want = re.compile(rb"\x12\x1b\[15~\x7f\x1b\[1;[35]D")
        deadline = time.monotonic() + 10
        got = b""
        while time.monotonic() < deadline and not want.fullmatch(got):
            time.sleep(0.2)
            got += self.server.take()
        self.assertRegex(got, want, "the shell gets Ctrl+R, F5, Backspace and Alt+Left")
        self.assert_page_kept(d)

    def test_tab_keys_and_the_list_of_all_tabs(self):
        count = 12
        self.seed([self.raw(n) for n in range(1, count + 1)])
        d = self.start()
        tabs = [self.open_tab(d, f"{n:032x}") for n in range(1, count + 1)]
        active = lambda: d.execute("return window.veltaroTest.activeTab();")  # noqa: E731
        self.assertEqual(active(), tabs[-1])
        self.mouse(d, f".terminal-view[data-tab-id='{tabs[-1]}']", 1)
        self.press("ctrl+shift+Tab")
        d.wait_until("return window.veltaroTest.activeTab() === arguments[0];", tabs[-2])
        self.press("ctrl+Tab")
        d.wait_until("return window.veltaroTest.activeTab() === arguments[0];", tabs[-1])
        self.press("ctrl+Next")
        d.wait_until("return window.veltaroTest.activeTab() === arguments[0];", tabs[0])
        self.press("ctrl+Prior")
        d.wait_until("return window.veltaroTest.activeTab() === arguments[0];", tabs[-1])
        self.press("alt+3")
        d.wait_until("return window.veltaroTest.activeTab() === arguments[0];", tabs[2])
        self.press("alt+9")
        d.wait_until("return window.veltaroTest.activeTab() === arguments[0];", tabs[-1])
        self.server.take()
        time.sleep(0.5)
        self.assertEqual(self.server.take(), b"", "tab keys are not typed into the terminal")

        in_view = ("const s = document.getElementById('tabstrip').getBoundingClientRect();"
                   "const t = document.querySelector(`.tab[data-tab-id='${arguments[0]}']`).getBoundingClientRect();"
                   "return t.left >= s.left - 1 && t.right <= s.right + 1;")
        self.assertTrue(d.execute(in_view, tabs[-1]), "the active tab is in view")
        self.assertFalse(d.execute(in_view, tabs[0]), "twelve tabs overflow the strip")
        self.assertTrue(d.execute("return !document.getElementById('tab-list').hidden;"))

        before = d.execute("return document.getElementById('tabstrip').scrollLeft;")
        x, y = self.centre(d, "#tabstrip")
        self.xdo("mousemove", "--window", self.window, str(x), str(y))
        self.xdo("click", "--repeat", "3", "4")  # wheel up
        d.wait_until("return document.getElementById('tabstrip').scrollLeft < arguments[0];", before)

        self.mouse(d, "#tab-list", 1)
        labels = self.menu_labels(d, "tab-list-menu")
        self.assertEqual(len(labels), count)
        self.assertEqual(labels[0], "機器 1")
        self.shot(d, "window-tab-list")
        self.mouse(d, "[data-testid=tab-list-menu] .menu-item", 1)
        d.wait_until("return window.veltaroTest.activeTab() === arguments[0];", tabs[0])
        d.wait_until(in_view, tabs[0])
        self.shot(d, "window-tab-first-after-list")

    def test_editor_keys_work_after_a_click_on_a_blank_spot(self):
        d = self.start()
        self.mouse(d, "#btn-new-session", 1)
        d.wait_until("return !document.getElementById('editor').hidden")
        shown = ("return [...document.querySelectorAll('#editor .field-error')].filter(n => n.textContent)"
                 ".length + [...document.querySelectorAll('#editor .section-badge')].filter(n => !n.hidden).length")
        self.assertEqual(d.execute(shown), 0, "nothing is marked before anything was typed")
        self.shot(d, "window-editor-fresh")

        self.mouse(d, "#editor-save", 1)  # disabled: the record is not valid yet
        self.press("Escape")
        d.wait_until("return document.getElementById('editor').hidden")

        self.mouse(d, "#btn-new-session", 1)
        d.wait_until("return !document.getElementById('editor').hidden")
        self.mouse(d, "#editor-save", 1)
        self.press("ctrl+Return")
        d.wait_until(shown + " > 0")
        self.shot(d, "window-editor-errors-after-save")

        d.type_into("#field-name", "鍵盤")
        d.type_into("#field-host", "192.0.2.9")
        x, y = self.centre(d, "#editor-box .dialog-head")
        self.mouse(d, None, 1, at=(x + 40, y))
        self.press("ctrl+Return")
        d.wait_until("return document.getElementById('editor').hidden")
        self.assertEqual([s["name"] for s in self.store()["sessions"]], ["鍵盤"])

    def test_closing_a_live_tab_asks_first_and_an_ended_one_closes_at_once(self):
        self.seed([self.raw(1), self.raw(2), self.raw(3, port=ui_test.closed_port())])
        d = self.start()
        first = self.open_tab(d, f"{1:032x}")
        d.pointer_click(f".tab[data-tab-id='{first}'] [data-testid=tab-close]", hover=f".tab[data-tab-id='{first}']")
        d.wait_until("return !document.getElementById('confirm').hidden")
        self.assertEqual(d.execute("return document.getElementById('confirm-message').textContent;"),
                         "這個分頁仍在連線中，確定要關閉？")
        self.shot(d, "window-close-live-tab")
        d.click("#confirm-cancel")
        self.assertEqual(d.execute("return window.veltaroTest.tabIds();"), [first])

        self.mouse(d, f".tab[data-tab-id='{first}'] .tab-title", 2)  # middle-click
        d.wait_until("return !document.getElementById('confirm').hidden")
        d.click("#confirm-no-ask")
        d.click("#confirm-ok")
        d.wait_until("return window.veltaroTest.tabIds().length === 0")

        second = self.open_tab(d, f"{2:032x}")
        self.mouse(d, f".terminal-view[data-tab-id='{second}']", 1)
        self.press("ctrl+shift+w")
        d.wait_until("return window.veltaroTest.tabIds().length === 0")
        self.assertTrue(d.execute("return document.getElementById('confirm').hidden;"), "不再詢問 was kept")

        d.execute("localStorage.clear();")
        d.execute("document.querySelector(`[data-session-id='${arguments[0]}']`)"
                  ".dispatchEvent(new MouseEvent('dblclick', {bubbles: true}));", f"{3:032x}")
        d.wait_until("return document.querySelector('.tab') && document.querySelector('.tab').dataset.alive === 'false';",
                     timeout=20)
        d.pointer_click(".tab [data-testid=tab-close]", hover=".tab")
        d.wait_until("return window.veltaroTest.tabIds().length === 0")
        self.assertTrue(d.execute("return document.getElementById('confirm').hidden;"))

    def test_hover_actions_leave_the_address_readable_and_the_filter_knows_protocols(self):
        self.seed([{"id": "a" * 32, "name": "一個名字很長很長的交換器", "protocol": "telnet",
                    "host": "switch-core-01.example.internal", "port": 2323}, self.raw(1)])
        d = self.start()
        d.hover("[data-session-id='" + "a" * 32 + "']")
        d.wait_until("return getComputedStyle(document.querySelector('.row-actions')).display === 'flex'")
        overlap = d.execute("""
            const row = document.querySelector('.session-row');
            const text = row.querySelector('.session-text').getBoundingClientRect();
            const actions = row.querySelector('.row-actions').getBoundingClientRect();
            const detail = row.querySelector('.session-detail');
            return [text.right <= actions.left, detail.scrollWidth > detail.clientWidth];""")
        self.assertEqual(overlap, [True, True], "the address ends in an ellipsis before the buttons")
        self.shot(d, "window-row-hover")
        d.type_into("#session-filter", "telnet")
        d.wait_until("return document.querySelectorAll('[data-testid=session-row]').length === 1")

    def test_a_session_file_that_cannot_be_read_is_announced_until_dismissed(self):
        folder = os.path.join(self.home, "quillmoor", "Veltaro")
        os.makedirs(folder)
        broken = '{"sessions": [{"name": "typo",}]}'
        with open(os.path.join(folder, "sessions.json"), "w", encoding="utf-8") as f:
            f.write(broken)
        d = self.start()
        d.wait_until("return !!document.querySelector('[data-testid=store-notice]')")
        copies = glob.glob(os.path.join(folder, "sessions.json.broken-*"))
        self.assertEqual(len(copies), 1)
        with open(copies[0], encoding="utf-8") as f:
            self.assertEqual(f.read(), broken)
        state = d.call("get_initial_state")
        self.assertEqual(state["broken_store"]["copy"], copies[0])
        self.assertEqual(state["sessions"], [])
        text = d.execute("return document.querySelector('[data-testid=store-notice]').textContent;")
        self.assertIn(os.path.basename(copies[0]), text)
        self.assertIn(folder, text)
        self.assertIn("parse error", text)
        self.shot(d, "window-broken-store-notice")
        time.sleep(10)  # longer than any toast stays
        self.assertTrue(d.execute("return !!document.querySelector('[data-testid=store-notice]');"))
        d.click("[data-testid=store-notice-close]")
        self.assertFalse(d.execute("return !!document.querySelector('[data-testid=store-notice]');"))

        d.call("save_session", {"name": "新的"})
        with open(copies[0], encoding="utf-8") as f:
            self.assertEqual(f.read(), broken, "the first save leaves the copy alone")
        self.assertEqual(glob.glob(os.path.join(folder, "sessions.json.broken-*")), copies)

        d.quit()
        self.drivers.remove(d)
        deadline = time.monotonic() + 15
        while ui_test.app_processes(self.home) and time.monotonic() < deadline:
            time.sleep(0.1)
        again = self.start()
        self.assertIsNone(again.call("get_initial_state")["broken_store"], "the saved file loads")
        self.assertFalse(again.execute("return !!document.querySelector('[data-testid=store-notice]');"))


if __name__ == "__main__":
    unittest.main()
