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
        self.dir = self.enterContext(tempfile.TemporaryDirectory(prefix="quorvel-docs-"))
        self.ini = pathlib.Path(self.dir, "Quorvel.ini")

    def put_ini(self, data):
        self.ini.write_bytes(data)
        os.chmod(self.ini, 0o640)  # kept by every rewrite

    def shell(self, block, **replace):
        for old, new in dict({"/opt/quorvel": self.dir, "/root/": self.dir + "/"}, **replace).items():
            block = block.replace(old, new)
        return subprocess.run(["bash", "-c", block], capture_output=True, cwd=self.dir,
                              env=dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8"))

    def test_rewrites_leave_the_whole_new_file_or_the_old_one(self):
        insert, round_trip = command_block("Quorvel.ini.line"), command_block("Quorvel.utf8.ini")
        line, at = "ディスク障害 ops@example.org\r\n".encode("cp932"), INI.index(b"KEYWORDLISTEND")
        two = b"KEYWORDLISTSTART\r\nerror\r\nkeywordlistend\r\nKEYWORDLISTSTART\r\nKEYWORDLISTEND\r\n"
        old = INI.replace(b"KEYWORDLISTEND", "既存キーワード\r\nKEYWORDLISTEND".encode("cp932"))
        # "editor" stands for the operator: one line added, with LF only, as editors write it.
        edited = lambda added: round_trip.replace(  # noqa: E731
            "editor /root/Quorvel.utf8.ini", "printf '%%s\\n' 'MAILSUBJECT=%s' >> /root/Quorvel.utf8.ini" % added)
        cases = [
            # the commands, the file before, the file after (None: as it was), what standard error says then
            (insert, INI, INI[:at] + line + INI[at:], None),
            (insert, two, two[:25] + line + two[25:], None),  # into the first block only
            (insert, b"SYSLOGPORT=514\r\n", None, b""),
            (edited("ネットワーク－障害"), old, old + "MAILSUBJECT=ネットワーク－障害\r\n".encode("cp932"), None),
            (edited("disk \U0001F4A5"), old, None, b"iconv")]
        for commands, before, after, error in cases:
            with self.subTest(before=before[-30:], kept=after is None):
                self.put_ini(before)
                result = self.shell(commands)
                if after is None:
                    self.assertIn(error, result.stderr)
                else:
                    self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(self.ini.read_bytes(), after or before)
                self.assertEqual(os.stat(self.ini).st_mode & 0o777, 0o640)
                self.assertEqual(set(os.listdir(self.dir)) - {"Quorvel.utf8.ini"}, {"Quorvel.ini"}, "left behind")

    def test_received_log_with_a_utf8_sender_shows_every_line(self):
        block = command_block("iconv -c")
        log = pathlib.Path(self.dir, "logs", "2026-12-syslog.log")
        log.parent.mkdir()
        # Shift_JIS texts around one in UTF-8 and bytes that are no text at all.
        texts = ["ディスク障害", "テスト".encode("utf-8"), "半角ｶﾅ", "表示", b"\xff\xfe", "－"]
        log.write_bytes(b"".join(b"2026/12/07 10:00:0%d.000 192.0.2.%d <13>line%d " % (i, i, i) + (
            t.encode("cp932") if isinstance(t, str) else t) + b"\r\n" for i, t in enumerate(texts)))
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
                for text in (t for t in texts if isinstance(t, str)):
                    self.assertIn(text, shown)


if __name__ == "__main__":
    unittest.main()
