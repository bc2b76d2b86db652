"""The Windows registry store of PuTTY's saved sessions, run under Wine against a registry that
this test seeds in a private Wine prefix."""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

DUMP = os.environ["VELTARO_REGISTRY_DUMP"]
WINE = os.environ.get("VELTARO_WINE", "wine")
SESSIONS = r"HKEY_CURRENT_USER\Software\SimonTatham\PuTTY\Sessions"
LONG_HOST = "h" * 3000 + ".example"

# A .reg file as PuTTY's users export them. Key names come escaped the way PuTTY writes them, plus
# one written by hand with characters outside ASCII.
SEED = f"""Windows Registry Editor Version 5.00

[{SESSIONS}\\Default%20Settings]
"HostName"=""
"PortNumber"=dword:00000016

[{SESSIONS}\\a%2Fb]
"HostName"="路由器.example"
"Protocol"="ssh"
"UserName"="admin"
"PortNumber"=dword:000008ae
"Compression"=dword:00000001
"LFImpliesCR"=dword:00000000
"TerminalType"="xterm"
"Colour0"="255,255,255"

[{SESSIONS}\\100%]
"PortNumber"="abc"
"SerialSpeed"=hex(b):00,c2,01,00,00,00,00,00
"CRImpliesLF"=dword:ffffffff
"UserName"=hex:01,02,03
"PublicKeyFile"=hex(2):43,00,3a,00,5c,00,6b,00,2e,00,70,00,70,00,6b,00,00,00

[{SESSIONS}\\辦公室 long]
"HostName"="{LONG_HOST}"
"SerialLine"="COM3"
"""


class RegistryStoreTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="veltaro-wine-")
        cls.env = dict(os.environ, WINEPREFIX=cls.prefix, WINEDEBUG="-all", LANG="C.UTF-8",
                       WINEDLLOVERRIDES="mscoree,mshtml=")
        cls.env.pop("DISPLAY", None)

    @classmethod
    def tearDownClass(cls):
        subprocess.run([WINE + "server", "-k"], env=cls.env, timeout=60, check=False)
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def wine(self, *args):
        return subprocess.run([WINE, *args], env=self.env, capture_output=True, timeout=300,
                              check=True)

    def dump(self):
        out = self.wine(DUMP).stdout.decode("utf-8")
        return {s["key"]: s["values"] for s in map(json.loads, out.splitlines())}

    def test_sessions_and_their_values_as_the_registry_holds_them(self):
        # Before PuTTY ever ran: no key at all, and no failure.
        self.assertEqual(self.dump(), {})

        reg = os.path.join(self.prefix, "seed.reg")
        with open(reg, "w", encoding="utf-16", newline="\r\n") as f:
            f.write(SEED)
        self.wine("regedit", "/S", reg)
        self.wine("reg", "add", SESSIONS + r"\added%20by%20reg", "/v", "HostName", "/t", "REG_SZ",
                  "/d", "中文 host", "/f")

        self.assertEqual(self.dump(), {
            "Default%20Settings": [["HostName", ""], ["PortNumber", 22]],
            "a%2Fb": [["HostName", "路由器.example"], ["Protocol", "ssh"], ["UserName", "admin"],
                      ["PortNumber", 2222], ["Compression", 1], ["TerminalType", "xterm"],
                      ["LFImpliesCR", 0]],
            # Text stays text whatever PuTTY would have written, a 32-bit number is unsigned as
            # the registry returns it, and a binary value is not one an entry can carry.
            "100%": [["PublicKeyFile", "C:\\k.ppk"], ["PortNumber", "abc"], ["SerialSpeed", 115200],
                     ["CRImpliesLF", 4294967295]],
            "辦公室 long": [["HostName", LONG_HOST], ["SerialLine", "COM3"]],
            "added%20by%20reg": [["HostName", "中文 host"]],
        })


if __name__ == "__main__":
    unittest.main()
