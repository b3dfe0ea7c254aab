"""What a person at the console sees: usage and version on request, usage
and status 2 for a mistyped word (a failed start's reason is in
test_reception)."""

import os
import subprocess
import unittest

from quorvel_e2e import Quorvel


class ConsoleTest(unittest.TestCase):
    def setUp(self):
        self.q = None

    def tearDown(self):
        if self.q is not None:
            if self.q.proc is not None:
                self.q.stop()
            self.q.close()

    def run_words(self, words):
        self.q = Quorvel()
        env = dict(os.environ, QUORVEL_JOURNAL_SOCKET=self.q.journal.path, QUORVEL_UNIT_DIR=self.q.dir)
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


if __name__ == "__main__":
    unittest.main()
