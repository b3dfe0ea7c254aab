"""Reception while outputs stall (a silent mail server, a locked log) or a socket overflows: every
datagram is logged whole and in order or counted as lost; a stop does not wait."""

import contextlib
import fcntl
import os
import re
import subprocess
import time
import unittest

from quorvel_e2e import Quorvel, STOP_LINE, backlog, free_port, mail_ini, mail_line, mail_sink, send, sjis, wait_until

ALERT = b"<11>alert: disk failed"
LOST_CAUSES = ["受信バッファが溢れ、システムが破棄したメッセージ ", "書き込み待ちが溢れ、破棄したメッセージ ",
               "ログファイルのロックが解けず、書き込めなかったメッセージ ", "ログファイルへの書き込みに失敗したメッセージ "]
LOST_MAILS = re.compile(re.escape(b" " + sjis("送信待ちが溢れ、送らなかった警告メール ")) + rb"(\d+)" + re.escape(sjis(" 通")))


def lost(log):
    """Messages counted as lost in the operation log, by cause."""
    patterns = [re.compile(re.escape(b" " + sjis(c)) + rb"(\d+)" + re.escape(sjis(" 件"))) for c in LOST_CAUSES]
    return [sum(int(m.group(1)) for m in map(p.fullmatch, log) if m) for p in patterns]


def payloads(count, size=0):
    return [b"<14>seq %06d " % i + b"x" * size for i in range(count)]


@contextlib.contextmanager
def locked(path):
    """The whole-file lock on a file, held by the test while the block runs."""
    with open(path, "ab") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        yield


class NoLossTest(unittest.TestCase):
    def test_a_silent_mail_server_and_a_locked_log_delay_mails_and_lines_and_a_stop_in_the_silence_gives_up(self):
        (sink, smtp), port = mail_sink(self, held=True), free_port()  # accepts, then silent until released
        sent, outcome = [ALERT] + payloads(2000), mail_line("ops@example.org", "alert")
        # Then one mail under way, 99 queued behind it, 50 more than the queue holds.
        alerts = [ALERT + b" %03d" % i for i in range(150)] + [b"<14>and one more"]
        with Quorvel(mail_ini(port, smtp.port, "alert")).up() as q:
            send(sent[:1], port)
            self.assertTrue(smtp.connected.wait(30), "the alert mail is under way")
            q.wait_for_lines("recv.log", 1)
            with locked(q.path("recv.log")):
                send(sent[1:], port)
                self.assertTrue(wait_until(lambda: backlog(port) == 0), "the server reads on")
                time.sleep(0.3)
                self.assertEqual(len(q.log("recv.log")), 1, "nothing is written past the lock")
            q.wait_for_lines("recv.log", len(sent))
            self.assertNotIn(outcome, q.log(), "no outcome while the server is silent")
            smtp.release.set()
            self.assertTrue(wait_until(lambda: outcome in q.log()), "the mail goes out")
            self.assertEqual((len(sink.mails), q.log()[-1], lost(q.log())), (1, outcome, [0, 0, 0, 0]))
            self.assertIn(ALERT, sink.mails[0]["raw"])
            smtp.connected.clear()
            smtp.release.clear()
            send(alerts[:1], port)
            self.assertTrue(smtp.connected.wait(30))
            with q.paused():
                send(alerts[1:], port)
            q.wait_for_lines("recv.log", len(sent) + len(alerts))
            started = time.monotonic()
            self.assertEqual(q.stop(), 0)
            # Far below the mail deadline of 300 seconds; the server allows itself 8.
            self.assertLess(time.monotonic() - started, 20)
            self.assertEqual(q.log("recv.log"), [b"127.0.0.1 " + p for p in sent + alerts])
            self.assertEqual(sum(int(m[1]) for m in map(LOST_MAILS.fullmatch, q.log()) if m), 50)
            self.assertEqual([l for l in q.log() if not LOST_MAILS.fullmatch(l)][-102:],
                             [outcome, mail_line("ops@example.org", "alert", "cut short by the stop")]
                             + [mail_line("ops@example.org", "alert", "not sent: the service stopped")] * 99 + [STOP_LINE])
            self.assertEqual((len(sink.mails), lost(q.log())), (1, [0, 0, 0, 0]))

    def test_a_reader_holding_the_lock_for_seconds_at_a_steady_rate_costs_no_line(self):
        port, seconds, rate = free_port(), int(os.environ.get("QUORVEL_LOCK_SECONDS", "10")), 2000
        sent = payloads(seconds * rate)
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log"]).up() as q:
            send([b"<14>before"], port)
            q.wait_for_lines("recv.log", 1)
            # A member of the log's group who may only read it: what a reader can do.
            os.chmod(q.dir, 0o755)
            reader = ["setpriv", "--reuid=65534", "--regid=%d" % os.stat(q.path("recv.log")).st_gid, "--clear-groups"]
            with subprocess.Popen((reader if os.geteuid() == 0 else []) + ["flock", "-s", q.path("recv.log"), "-c",
                                  "echo held; sleep %d" % (seconds + 2)], stdout=subprocess.PIPE) as holder:
                self.assertEqual(holder.stdout.readline(), b"held\n")
                started = time.monotonic()
                for i in range(0, len(sent), rate // 100):  # in steps of 10 ms
                    send(sent[i:i + rate // 100], port)
                    time.sleep(max(0, started + (i + rate // 100) / rate - time.monotonic()))
                q.wait_for_lines("recv.log", len(sent) + 1, timeout=60)
                self.assertIsNone(holder.poll(), "every line was written while the lock was still held")
            self.assertEqual(q.stop(), 0)
            self.assertEqual(q.log("recv.log"), [b"127.0.0.1 <14>before"] + [b"127.0.0.1 " + p for p in sent])
            skipped = b" " + sjis("ログファイルのロックが他のプロセスに保持されたままのため、ロックせずに追記します: ") + q.path("recv.log").encode()
            self.assertEqual((q.log().count(skipped), lost(q.log())), (1, [0, 0, 0, 0]))

    def test_what_an_overflowing_socket_or_queue_drops_is_counted(self):
        port = free_port()
        # About 12 MB of lines: more than the socket holds, and what it holds
        # is more than the write queue's 4 MiB.
        sent = payloads(12000, size=1000)
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log"]).up() as q:
            with locked(q.path("recv.log")):
                with q.paused():
                    send(sent, port)
                self.assertTrue(wait_until(lambda: backlog(port) == 0, 30), "the server reads on")
            self.assertEqual(q.stop(), 0)
            written = q.log("recv.log")
            numbers = [int(l.split(b" ")[2]) for l in written]
            self.assertEqual(written, [b"127.0.0.1 " + sent[n] for n in numbers], "whole lines")
            self.assertEqual(numbers, sorted(numbers), "in order")
            counts = lost(q.log())
            self.assertTrue(counts[0] > 0 and counts[1] > 0 and sum(counts) == len(sent) - len(written), counts)
