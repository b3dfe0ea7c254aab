"""The certificate commands of docs/linux.md run as written and give a server and a client
certificate that chain to the authority; the rsyslog TLS snippet passes rsyslogd's own check
(when bench/compare or the rsyslog scenario has unpacked rsyslog)."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "bench"))
from rsyslogpkg import Rsyslog  # noqa: E402

CACHE = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "quorvel-bench")


def tested_block(name):
    with open(os.path.join(ROOT, "docs", "linux.md"), encoding="utf-8") as f:
        match = re.search(r"<!-- tested: %s -->\n```\w*\n(.*?)```" % re.escape(name), f.read(), re.S)
    assert match, "docs/linux.md has no tested block %s" % name
    return match.group(1)


class LinuxTlsDocTest(unittest.TestCase):
    def test_certificate_commands_and_rsyslog_snippet(self):
        with tempfile.TemporaryDirectory() as tmp:
            done = subprocess.run(["sh", "-e", "-c", tested_block("certificates")], cwd=tmp,
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(done.stdout.split(), ["server.pem:", "OK", "client.pem:", "OK"])

            rsyslog = Rsyslog(CACHE)
            if not rsyslog.present():
                self.skipTest("rsyslog not unpacked in %s" % CACHE)
            config = os.path.join(tmp, "rsyslog-tls.conf")
            with open(config, "w") as f:
                f.write('global(workDirectory="%s")\n' % tmp
                        + tested_block("rsyslog-tls").replace("/etc/rsyslog.d/tls", tmp))
            check = subprocess.run([rsyslog.binary, "-N1", "-f", config, "-M", rsyslog.modules], env=rsyslog.env(),
                                   capture_output=True, text=True)
            self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
            self.assertNotIn("error", (check.stdout + check.stderr).lower())


if __name__ == "__main__":
    unittest.main()
