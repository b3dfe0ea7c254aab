"""docs/configuration.md documents every key that the configuration
loader reads: the keys are taken from the source, so a key added to the
loader without a word in the reference fails here."""

import glob
import os
import re
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")

# ReadIniString(lines, "MAILTO="), ReadIniInteger(lines, "X=", 0),
# InstanceKey("SYSLOGPORT", n), ReadIniBlock(lines, "START", "END", block)
KEY_CALLS = [
    re.compile(r'ReadIni(?:String|StringDef|Integer|Bool)\w*\(\s*\w+\s*,\s*"([A-Za-z0-9_-]+)=?"'),
    re.compile(r'InstanceKey\(\s*"([A-Za-z0-9_-]+)"'),
    re.compile(r'ReadIniBlock\(\s*\w+\s*,\s*"([A-Za-z0-9_-]+)"\s*,\s*"([A-Za-z0-9_-]+)"'),
]


def keys_in_source():
    keys = set()
    for path in glob.glob(os.path.join(ROOT, "src", "**", "*.cpp"), recursive=True):
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        for pattern in KEY_CALLS:
            for match in pattern.finditer(text):
                keys.update(g.upper() for g in match.groups())
    return keys


class ConfigurationReferenceTest(unittest.TestCase):
    def test_every_key_read_is_documented(self):
        keys = keys_in_source()
        # The loader's long-standing keys: if these are not found, the
        # source scan itself is broken.
        self.assertTrue({"SYSLOGPORT", "SERVERIPADDRESS", "MAILSERVER", "SMTPAUTHPASS", "KEYWORDLISTSTART",
                         "KEYWORDLISTEND", "RCODE", "CNVCTRLCODE"} <= keys, sorted(keys))
        with open(os.path.join(ROOT, "docs", "configuration.md"), encoding="utf-8") as f:
            doc = f.read()
        missing = sorted(k for k in keys if not re.search(r"(?<![A-Z0-9_])" + re.escape(k) + r"(?![A-Z_])", doc))
        self.assertEqual(missing, [], "keys LoadConfig reads but docs/configuration.md does not describe")


if __name__ == "__main__":
    unittest.main()
