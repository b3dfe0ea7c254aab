"""Old logs on a collector that runs for years: KEEPDAYS deletes and COMPRESSAFTERDAYS
compresses exactly the files of the instance's own patterns among decoys while the server
receives; MINFREEMB warns once an hour at most; without the keys nothing in logs/ changes."""

import datetime
import email
import email.policy
import gzip
import os
import pathlib
import unittest

from quorvel_e2e import Quorvel, free_port, mail_ini, mail_line, mail_sink, send, sjis, wait_until

DELETED = sjis("保存期間を過ぎたログを削除しました: ")
COMPRESSED = sjis("ログを圧縮しました: ")
LOW = sjis("警告 : logs フォルダのディスクの空き容量が少なくなりました: 空き ")
BACK = sjis("logs フォルダのディスクの空き容量が戻りました: 空き ")


def daily(age, today):
    return (today - datetime.timedelta(days=age)).strftime("%Y%m%d") + "-syslog.log"


def listing(folder):
    """Every entry of the folder with its kind and content (a link by its target)."""
    return {e.name: ("link", os.readlink(e.path)) if e.is_symlink() else ("folder", sorted(os.listdir(e.path)))
            if e.is_dir() else ("file", pathlib.Path(e.path).read_bytes()) for e in os.scandir(folder)}


def old_logs(q, today):
    """400 days of daily files and an old operation log, among others' files, a link and a
    folder by dated names; the entries as made."""
    logs = os.path.join(q.dir, "logs")
    os.mkdir(logs, 0o750)
    for age in set(range(400)) - {301, 302}:
        pathlib.Path(logs, daily(age, today)).write_bytes(b"2020/01/01 00:00:00.000 192.0.2.1 day %d\r\n" % age * 20)
    outside = os.path.join(q.dir, "outside.log")
    pathlib.Path(outside).write_bytes(b"not ours")
    os.symlink(outside, os.path.join(logs, daily(300, today)[:-4] + "-link.log"))
    os.symlink(outside, os.path.join(logs, daily(301, today)))
    os.mkdir(os.path.join(logs, daily(302, today)))
    pathlib.Path(logs, daily(302, today), "inner.log").write_bytes(b"x")
    for name in ("notes.txt", daily(350, today) + ".bak", daily(350, today)[:8] + "-other.log", "2019-01-op.log.old"):
        pathlib.Path(logs, name).write_bytes(b"someone else's")
    pathlib.Path(logs, "2019-01-op.log").write_bytes(b"an old operation log\r\n")
    return listing(logs)


class RetentionTest(unittest.TestCase):
    def test_old_files_of_the_patterns_go_and_nothing_else_while_lines_are_written_and_without_the_keys_none(self):
        today = datetime.datetime.now(datetime.timezone.utc).date()
        op = today.strftime("%Y-%m-op.log")
        for keys in (["KEEPDAYS=90", "COMPRESSAFTERDAYS=30"], []):
            port = free_port()
            with self.subTest(keys=keys), Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=%Y%M%D-syslog.log",
                                                   "SYSLOGLOGNAME=%y-%m-op.log", *keys]) as q:
                before = old_logs(q, today)
                q.up(TZ="UTC")
                send([b"<13>during the pass %d" % i for i in range(200)], port)
                # 309 daily files and the old operation log deleted, 60 compressed.
                self.assertTrue(not keys or wait_until(lambda: sum(l.startswith(b" " + COMPRESSED) for l in q.log(op))
                                                       == 60, 60), q.log(op)[-5:])
                q.wait_for_lines(daily(0, today), 20 + 200)
                self.assertEqual(q.stop(), 0)
                after = listing(os.path.join(q.dir, "logs"))
                lines = q.log(op)
            expected = dict(before)
            for age in range(31, 400) if keys else ():
                name = daily(age, today)
                if name in before and before[name][0] == "file":  # the link and the folder stay as they are
                    content = expected.pop(name)[1]
                    if age <= 90:
                        expected[name + ".gz"] = ("gz", content)
            if keys:
                expected.pop("2019-01-op.log")
            # Today's file took the datagrams; the operation log is new.
            self.assertEqual(sorted(after), sorted(list(expected) + [op]))
            for name, (kind, content) in expected.items():
                if kind == "gz":
                    self.assertEqual(gzip.decompress(after[name][1]), content, name)
                elif name == daily(0, today):
                    self.assertEqual(after[name][1][:len(before[name][1])], before[name][1])
                    self.assertEqual([l[24:] for l in after[name][1][len(before[name][1]):].split(b"\r\n")[:-1]],
                                     [b"127.0.0.1 <13>during the pass %d" % i for i in range(200)])
                else:
                    self.assertEqual(after[name], (kind, content), name)
            # One line per deletion with the name and the size, oldest first.
            deletions = [l for l in lines if l.startswith(b" " + DELETED)]
            size = len(b"2020/01/01 00:00:00.000 192.0.2.1 day 399\r\n") * 20
            self.assertEqual(deletions[:2], [b" " + DELETED + b"2019-01-op.log (22 " + sjis("バイト") + b")", b" " + DELETED
                                             + daily(399, today).encode() + b" (%d " % size + sjis("バイト") + b")"] if keys else [])
            self.assertEqual((len(deletions), sum(l.startswith(b" " + COMPRESSED) for l in lines)),
                             (1 + 309 - 2, 60) if keys else (0, 0))  # less the link and the folder

    @unittest.skipUnless(os.geteuid() == 0, "needs root")
    def test_below_minfreemb_one_warning_mail_an_hour_and_a_line_when_space_is_back(self):
        port, (sink, smtp) = free_port(), mail_sink(self)
        with Quorvel(mail_ini(port, smtp.port, extra=["MINFREEMB=8", "MAILSUBJECT=Quorvel"])) as q:
            with q.small_disk(self, "16m") as logs:
                q.up()
                filler = os.path.join(logs, "filler")
                for n in (1, 2):  # low again within the hour: the line, but no second mail
                    pathlib.Path(filler).write_bytes(b"\0" * (10 << 20))
                    self.assertTrue(wait_until(lambda: sum(l.startswith(b" " + LOW) for l in q.log()) == n, 20), q.log())
                    self.assertTrue(wait_until(lambda: len(sink.mails) == 1, 20))
                    os.remove(filler)
                    self.assertTrue(wait_until(lambda: sum(l.startswith(b" " + BACK) for l in q.log()) == n, 20), q.log())
                self.assertEqual(q.stop(), 0)
                lines, stderr = q.log(), q.stderr
        warnings = [l for l in lines if l.startswith((b" " + LOW, b" " + BACK))]
        self.assertEqual([l[:len(LOW) + 1] if l.startswith(b" " + LOW) else l[:len(BACK) + 1] for l in warnings],
                         [b" " + LOW, b" " + BACK, b" " + LOW, b" " + BACK])
        self.assertTrue(all(l.endswith(b" MB (MINFREEMB 8 MB)") for l in warnings), warnings)
        self.assertEqual(lines.count(mail_line("ops@example.org", "MINFREEMB")), 1)
        # Each fall below the floor reaches the system log.
        self.assertEqual(sum(l.startswith("error 22 " + LOW.decode("cp932")) for l in stderr), 2, stderr)
        self.assertEqual([m["to"] for m in sink.mails], [["ops@example.org"]])
        mail = email.message_from_bytes(sink.mails[0]["raw"], policy=email.policy.default)
        self.assertEqual(str(mail["Subject"]), "Quorvel (ディスク空き容量)")
        self.assertIn(b"MINFREEMB", sink.mails[0]["raw"])
