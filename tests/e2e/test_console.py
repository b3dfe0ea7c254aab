"""What a person at the console sees: usage and version on request, usage
and status 2 for a mistyped word, and a failed start that says why in
English whatever the locale."""

import os
import socket
import subprocess
import unittest

from quorvel_e2e import Quorvel, free_port


class ConsoleTest(unittest.TestCase):
    def setUp(self):
        self.q = None

    def tearDown(self):
        if self.q is not None:
            if self.q.proc is not None:
                self.q.stop()
            self.q.close()

    def run_words(self, words, ini_lines=None):
        self.q = Quorvel(ini_lines)
        env = dict(os.environ, QUORVEL_JOURNAL_SOCKET=self.q.journal.path, LANG="ja_JP.UTF-8",
                   LC_ALL="ja_JP.UTF-8", QUORVEL_UNIT_DIR=self.q.dir)
        env.pop("NOTIFY_SOCKET", None)
        return subprocess.run([self.q.binary] + words, env=env, capture_output=True, timeout=30)

    def test_help_version_and_unknown_words(self):
        cases = [
            # words, exit status, usage on stdout, usage on stderr
            (["-HELP"], 0, True, False),
            (["--help"], 0, True, False),
            (["-h"], 0, True, False),
            (["/?"], 0, True, False),
            (["-RUN", "--hlep"], 2, False, True),
            (["start"], 2, False, True),
        ]
        for words, status, out, err in cases:
            with self.subTest(words=words):
                result = self.run_words(words)
                self.assertEqual(result.returncode, status)
                self.assertEqual(result.stdout.startswith(b"Usage: quorvel "), out, result.stdout)
                self.assertEqual(result.stderr.startswith(b"Usage: quorvel "), err, result.stderr)
                # Nothing was started: no logs folder, no unit written.
                self.assertEqual(sorted(os.listdir(self.q.dir)), ["journal", "quorvel"])
                self.q.close()
                self.q = None
        result = self.run_words(["--version"])
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stdout, rb"^quorvel \d+\.\d+\n$")

    def test_a_failed_start_names_the_cause_on_stderr(self):
        port = free_port()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
            taken.bind(("0.0.0.0", port))
            result = self.run_words(["-RUN"], ["SYSLOGPORT=%d" % port])
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"quorvel: instance 1 cannot start: cannot bind to 0.0.0.0 port %d (IPv4): "
                      b"Address already in use\n" % port, result.stderr)
        self.q.close()

        result = self.run_words(["-RUN"])
        self.assertEqual(result.returncode, 1)
        path = os.path.join(self.q.dir, "Quorvel.ini").encode()
        self.assertIn(b"quorvel: cannot start: no configuration file " + path + b"\n", result.stderr)


if __name__ == "__main__":
    unittest.main()
