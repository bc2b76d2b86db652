"""The assistant panel in the real window, with a stand-in assistant tool: a proposed command is
a button, and nothing reaches the tab until the user confirms it."""
import json
import os
import stat
import textwrap
import unittest

from ui_test import AppTestBase, EchoServer, setUpModule, tearDownModule  # noqa: F401

MARKER = "assistant-proposed-7f3a"

STANDIN = textwrap.dedent(f"""\
    #!/usr/bin/python3
    import json, sys
    if sys.argv[1:] == ["--version"]:
        print("9.9.9 (stand-in)")
        sys.exit(0)
    message = sys.stdin.read()
    with open(__file__ + ".messages", "a", encoding="utf-8") as f:
        f.write(json.dumps(message) + "\\n")
    reply = ("<b>not markup</b> Try this:\\n```veltaro-action\\nrun target echo {MARKER}\\n```\\n")
    print(json.dumps({{"session_id": "S1", "result": reply}}))
    """)


class AssistantPanelTest(AppTestBase):
    def setUp(self):
        super().setUp()
        bin_dir = os.path.join(self.home, "bin")
        os.makedirs(bin_dir)
        self.tool = os.path.join(bin_dir, "claude")
        with open(self.tool, "w", encoding="utf-8") as f:
            f.write(STANDIN)
        os.chmod(self.tool, stat.S_IRWXU)
        self.env["PATH"] = bin_dir + os.pathsep + self.env.get("PATH", "")

    def terminal_has(self, d, tab, needle):
        return d.execute("return (window.veltaroTest.terminalText(arguments[0]) || '')"
                         ".includes(arguments[1]);", tab, needle)

    def test_a_proposed_command_waits_for_consent(self):
        server = EchoServer()
        self.seed([{"id": "c" * 32, "name": "echo", "protocol": "raw", "host": "127.0.0.1",
                    "port": server.port}])
        d = self.start()
        tab = self.connect_only_session(d, '歡迎 echo')

        d.click("[data-testid=assistant-toggle]")
        d.wait_until("return document.querySelector('[data-testid=assistant-status]').textContent"
                     ".includes('9.9.9 (stand-in)');", timeout=20)
        d.execute("const i = document.querySelector('[data-testid=assistant-input]');"
                  "i.value = '這是什麼？'; document.querySelector('[data-testid=assistant-send]').click();")
        button = "[data-testid=assistant-action]"
        d.wait_until("return !!document.querySelector(arguments[0]);", button, timeout=30)
        self.shot(d, "assistant-proposed-command")

        # The reply is text: its markup is shown, not made into elements.
        self.assertTrue(d.execute("return [...document.querySelectorAll('.assistant-message')]"
                                  ".some(m => m.textContent.includes('<b>not markup</b>')) && "
                                  "!document.querySelector('.assistant-log b');"))
        with open(self.tool + ".messages", encoding="utf-8") as f:
            message = json.loads(f.readline())
        self.assertIn("這是什麼？", message)
        self.assertIn("歡迎 echo", message)
        self.assertFalse(self.terminal_has(d, tab, MARKER))

        d.click(button)
        d.wait_until("return !document.getElementById('confirm').hidden")
        d.click("#confirm-cancel")
        d.wait_until("return document.getElementById('confirm').hidden")
        self.assertFalse(self.terminal_has(d, tab, MARKER))

        d.click(button)
        d.wait_until("return !document.getElementById('confirm').hidden")
        d.click("#confirm-ok")
        d.wait_until("return (window.veltaroTest.terminalText(arguments[0]) || '').includes(arguments[1]);",
                     tab, "echo " + MARKER, timeout=20)
        self.shot(d, "assistant-command-confirmed")


if __name__ == "__main__":
    unittest.main()
