"""Every key the configuration loader reads (taken from the source) is in docs/configuration.md
and in the manual page."""

import os
import pathlib
import re
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# ReadIniString(lines, "MAILTO="), ReadIniInteger(lines, "X=", 0), InstanceKey("SYSLOGPORT", n),
# ReadIniBlock(lines, "START", "END", block)
KEY_CALLS = re.compile(r'(?:ReadIni(?:String|StringDef|Integer|Bool)\w*\(\s*\w+\s*,\s*|InstanceKey\(\s*)"([A-Za-z0-9_-]+)=?"'
                       r'|ReadIniBlock\(\s*\w+\s*,\s*"([A-Za-z0-9_-]+)"\s*,\s*"([A-Za-z0-9_-]+)"')


class ConfigurationReferenceTest(unittest.TestCase):
    def test_every_key_read_is_documented(self):
        keys = {g.upper() for path in pathlib.Path(ROOT, "src").rglob("*.cpp")
                for m in KEY_CALLS.finditer(path.read_text(encoding="utf-8", errors="replace")) for g in m.groups() if g}
        # The loader's long-standing keys: without them the scan itself is broken.
        self.assertTrue({"SYSLOGPORT", "SERVERIPADDRESS", "MAILSERVER", "SMTPAUTHPASS", "KEYWORDLISTSTART",
                         "KEYWORDLISTEND", "RCODE", "CNVCTRLCODE"} <= keys, sorted(keys))
        for doc in ("docs/configuration.md", "packaging/quorvel.8"):
            text = pathlib.Path(ROOT, doc).read_text(encoding="utf-8")
            self.assertEqual(sorted(k for k in keys if not re.search(r"(?<![A-Z0-9_])%s(?![A-Z_])" % re.escape(k), text)),
                             [], "keys the loader reads but %s does not describe" % doc)

    def test_shipped_ini_files_hold_no_backslash(self):
        # Shift_JIS shows the byte 0x5C as a yen sign: a hint that needs a backslash
        # would not paste as it reads.
        for ini in ("config/Quorvel.ini", "packaging/Quorvel.ini"):
            self.assertNotIn(b"\\", pathlib.Path(ROOT, ini).read_bytes(), ini)


if __name__ == "__main__":
    unittest.main()
