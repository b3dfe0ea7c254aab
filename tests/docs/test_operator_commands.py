"""The shell commands that docs/configuration.md gives an operator, run as written (the folder
/opt/quorvel swapped for a temporary one) on the files they are meant for."""

import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
INI = pathlib.Path(ROOT, "packaging", "Quorvel.ini").read_bytes().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def command_block(marker):
    """The one indented block of configuration.md that holds the marker, as shell text."""
    doc = pathlib.Path(ROOT, "docs", "configuration.md").read_text(encoding="utf-8")
    blocks = ["\n".join(l[4:] for l in b.splitlines()) for b in re.findall(r"(?:^    .*\n)+", doc, re.M)]
    [block] = [b for b in blocks if marker in b]
    return block


class OperatorCommandTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="quorvel-docs-")
        self.dir = self.tmp.name
        self.ini = pathlib.Path(self.dir, "Quorvel.ini")
        self.addCleanup(self.tmp.cleanup)

    def shell(self, block, **replace):
        for old, new in dict({"/opt/quorvel": self.dir, "/root/": self.dir + "/"}, **replace).items():
            block = block.replace(old, new)
        return subprocess.run(["bash", "-c", block], capture_output=True, cwd=self.dir,
                              env=dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8"))

    def test_keyword_line_lands_inside_the_first_block(self):
        insert = command_block("Quorvel.ini.line")
        cases = [
            # the file before, where the new line must stand (None: the file stays as it was)
            (INI, INI.index(b"KEYWORDLISTEND")),
            (b"KEYWORDLISTSTART\r\nerror\r\nkeywordlistend\r\nKEYWORDLISTSTART\r\nKEYWORDLISTEND\r\n", 25),
            (b"SYSLOGPORT=514\r\n", None)]
        for before, at in cases:
            with self.subTest(before=before[-40:]):
                self.ini.write_bytes(before)
                os.chmod(self.ini, 0o640)
                result = self.shell(insert)
                after = self.ini.read_bytes()
                if at is None:
                    self.assertEqual(after, before)
                else:
                    self.assertEqual(result.returncode, 0, result.stderr)
                    line = "ディスク障害 ops@example.org\r\n".encode("cp932")
                    self.assertEqual(after, before[:at] + line + before[at:])
                self.assertEqual(os.stat(self.ini).st_mode & 0o777, 0o640)
                self.assertEqual(sorted(os.listdir(self.dir)), ["Quorvel.ini"], "no file left behind")

    def test_round_trip_through_utf8_leaves_the_whole_file_or_the_old_one(self):
        round_trip = command_block("Quorvel.utf8.ini")
        # "editor" stands for the operator: one line added, with LF only, as editors write it.
        for added, whole in (("ネットワーク－障害", True), ("disk \U0001F4A5", False)):
            with self.subTest(added=added):
                before = INI.replace(b"KEYWORDLISTEND", "既存キーワード\r\nKEYWORDLISTEND".encode("cp932"))
                self.ini.write_bytes(before)
                os.chmod(self.ini, 0o640)
                edit = "printf '%%s\\n' 'MAILSUBJECT=%s' >> %s/Quorvel.utf8.ini" % (added, self.dir)
                result = self.shell(round_trip.replace("editor /root/Quorvel.utf8.ini", edit))
                after = self.ini.read_bytes()
                if whole:
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertEqual(after, before + ("MAILSUBJECT=%s\r\n" % added).encode("cp932"))
                else:
                    self.assertIn(b"iconv", result.stderr, "the failed conversion says so")
                    self.assertEqual(after, before)
                self.assertEqual(os.stat(self.ini).st_mode & 0o777, 0o640)
                self.assertNotIn("Quorvel.ini.new", os.listdir(self.dir))

    def test_received_log_with_a_utf8_sender_shows_every_line(self):
        block = command_block("iconv -c")
        log = pathlib.Path(self.dir, "logs", "2026-12-syslog.log")
        log.parent.mkdir()
        lines = [b"2026/12/07 10:00:0%d.000 192.0.2.%d <13>line%d " % (i, i, i) for i in range(6)]
        texts = ["ディスク障害", "テスト", "半角ｶﾅ", "表示", "－"]
        raw = [lines[0] + texts[0].encode("cp932"), lines[1] + texts[1].encode("utf-8"),
               lines[2] + texts[2].encode("cp932"), lines[3] + texts[3].encode("cp932"),
               lines[4] + b"\xff\xfe", lines[5] + texts[4].encode("cp932")]
        log.write_bytes(b"".join(l + b"\r\n" for l in raw))
        pathlib.Path(self.dir, "logs", "Quorvel.log").write_bytes(b"")
        commands = [c for c in block.splitlines() if "syslog.log" in c]
        self.assertEqual(len(commands), 2, commands)
        for command in commands:
            if "nkf" in command and not shutil.which("nkf"):
                continue
            with self.subTest(command=command):
                # The file is read to its end, not followed.
                result = self.shell(command.replace("tail -f", "tail -n +1"))
                shown = result.stdout.decode("utf-8")
                self.assertEqual([l.split(" <13>")[1].split(" ")[0] for l in shown.splitlines()],
                                 ["line%d" % i for i in range(6)], shown)
                for text in texts[:1] + texts[2:]:
                    self.assertIn(text, shown)


if __name__ == "__main__":
    unittest.main()
