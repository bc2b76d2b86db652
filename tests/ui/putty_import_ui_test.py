"""The PuTTY import dialog in the real window: PuTTY's saved sessions of the user's home folder are
listed, and the chosen ones become sessions of the store."""
import os
import unittest

import ui_test

setUpModule = ui_test.setUpModule
tearDownModule = ui_test.tearDownModule

# File name (PuTTY's escapes) → the session file PuTTY would have written.
PUTTY_FILES = {
    "Default%20Settings": "HostName=\nPortNumber=22\nProtocol=ssh\n",
    "board": "Protocol=serial\nHostName=\nSerialLine=/dev/ttyUSB0\nSerialSpeed=115200\nPortNumber=22\n",
    "office%2Frouter": "HostName=10.0.0.1\nProtocol=ssh\nPortNumber=2222\nUserName=admin\nCompression=1\n",
    "old%20bsd": "HostName=bsd.example\nProtocol=rlogin\nPortNumber=513\n",
}


class PuttyImportPageTest(ui_test.AppTestBase):
    def setUp(self):
        super().setUp()
        directory = os.path.join(self.home, ".putty", "sessions")
        os.makedirs(directory)
        for name, text in PUTTY_FILES.items():
            with open(os.path.join(directory, name), "w", encoding="utf-8") as f:
                f.write(text)

    def dialog_rows(self, d):
        return d.execute("return [...document.querySelectorAll('[data-testid=putty-row]')]"
                         ".map(r => [...r.querySelectorAll('td')].slice(1).map(c => c.textContent));")

    def test_the_dialog_lists_the_entries_and_imports_the_chosen_ones(self):
        d = self.start()
        d.wait_until("return !!document.getElementById('btn-putty-import')")
        d.click("#btn-putty-import")
        d.wait_until("return document.querySelectorAll('[data-testid=putty-row]').length === 4")
        self.assertEqual(self.dialog_rows(d), [
            ["Default Settings", "", "ssh", "22"],
            ["board", "/dev/ttyUSB0", "serial", "115200"],
            ["office/router", "10.0.0.1", "ssh", "2222"],
            ["old bsd", "bsd.example", "rlogin", "513"],
        ])
        self.assertTrue(d.execute("return document.querySelector('[data-testid=putty-import]').disabled;"))

        d.click("[data-testid=putty-select-all]")
        self.assertEqual(d.execute("return document.querySelector('[data-testid=putty-import]').textContent;"),
                         "匯入 4 個連線")
        for row in (1, 4):
            d.click(f"[data-testid=putty-row]:nth-child({row}) input")
        self.assertEqual(d.execute("return document.querySelector('[data-testid=putty-select-all]')"
                                   ".indeterminate;"), True)
        self.shot(d, "page-putty-import")
        d.click("[data-testid=putty-import]")
        d.wait_until("return document.getElementById('putty-import').hidden && "
                     "document.querySelectorAll('[data-testid=session-row]').length === 2")
        names = d.execute("return [...document.querySelectorAll('[data-testid=session-row] .session-name')]"
                          ".map(n => n.textContent);")
        self.assertEqual(sorted(names), ["board", "office/router"])
        self.shot(d, "page-putty-imported")

        stored = {s["name"]: s for s in self.store()["sessions"]}
        self.assertEqual(set(stored), {"board", "office/router"})
        board, router = stored["board"], stored["office/router"]
        self.assertEqual((board["protocol"], board["host"], board["port"]), ("serial", "/dev/ttyUSB0", 115200))
        self.assertEqual((router["protocol"], router["host"], router["port"], router["username"],
                          router["compression"]), ("ssh", "10.0.0.1", 2222, "admin", True))
        self.assertEqual(len(router), 17)


if __name__ == "__main__":
    unittest.main()
