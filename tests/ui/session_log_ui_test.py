"""Session logs in the real window: the editor's log fields, and the toolbar's mark of a tab
that writes a log."""
import os
import unittest

from ui_test import AppTestBase, EchoServer, setUpModule, tearDownModule  # noqa: F401


class SessionLogWindowTest(AppTestBase):
    def test_a_logging_tab_shows_its_file_and_the_editor_its_fields(self):
        server = EchoServer()
        self.seed([{"id": "d" * 32, "name": "echo", "protocol": "raw", "host": "127.0.0.1",
                    "port": server.port, "log_file": "logs/&N-&H.log", "log_timestamps": True}])
        d = self.start()
        tab = self.connect_only_session(d, '歡迎 echo')
        mark = "[data-testid=tab-log]"
        d.wait_until("return !document.querySelector(arguments[0]).hidden;", mark, timeout=20)
        log_file = os.path.join(self.home, "logs", "echo-127.0.0.1.log")
        self.assertIn(log_file, d.execute("return document.querySelector(arguments[0]).title;", mark))
        self.shot(d, "session-log-toolbar")
        with open(log_file, encoding="utf-8") as f:
            self.assertIn("=== 連線開始 127.0.0.1:%d " % server.port, f.read())

        # Without a file manager on this desktop the page says where the file is.
        d.click(mark)
        d.wait_until("return [...document.querySelectorAll('.toast')]"
                     ".some(t => t.textContent.includes(arguments[0]));", log_file, timeout=20)
        self.shot(d, "session-log-no-file-manager")

        d.pointer_click("[data-testid=session-edit]", hover="[data-testid=session-row]")
        d.wait_until("return !!document.getElementById('field-log_file');")
        self.assertEqual(d.execute("return document.getElementById('field-log_file').value;"),
                         "logs/&N-&H.log")
        self.assertTrue(d.execute("return document.getElementById('field-log_timestamps').checked;"))
        self.assertEqual(d.execute("return document.getElementById('field-log_mode').value;"), "text")
        d.execute("document.querySelector('[data-testid=section-logging]').scrollIntoView();")
        self.shot(d, "session-log-editor")


if __name__ == "__main__":
    unittest.main()
