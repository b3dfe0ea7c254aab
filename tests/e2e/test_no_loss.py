"""Reception while the server's outputs stall: a mail server that accepts and
then says nothing, another process holding the received-message log locked.
Every datagram is logged, whole and in order; what cannot be kept is counted
in the operation log; a stop never waits longer than 10 seconds."""

import re
import socket
import subprocess
import sys
import threading
import time
import unittest

from quorvel_e2e import Quorvel, entries, free_port, sjis, wait_until

COUNT = 2000
ALERT = b"<11>alert: disk failed"
MAIL_SENT = b" 127.0.0.1 " + sjis("へ ops@example.org 宛のメール送信を行いました。(alert)")
MAIL_FAILED = b" 127.0.0.1 " + sjis("へ ops@example.org 宛のメール送信に失敗しました。")
STOP_LINE = b" " + sjis("Quorvel サービスを停止しました")
# "<what was lost> <count> 件": every line that counts lost messages.
LOST = re.compile(b"^ (?:" + b"|".join(re.escape(sjis(t)) for t in (
    "受信バッファが溢れ、システムが破棄したメッセージ ", "書き込み待ちが溢れ、破棄したメッセージ ",
    "ログファイルのロックが解けず、書き込めなかったメッセージ ", "ログファイルへの書き込みに失敗したメッセージ ")) +
    b")(\\d+)" + re.escape(sjis(" 件")) + b"$")

LOST_MAILS = re.compile(b"^ " + re.escape(sjis("送信待ちが溢れ、送らなかった警告メール ")) + b"(\\d+)" +
                        re.escape(sjis(" 通")) + b"$")


def payloads(count, size=0):
    return [b"<14>seq %06d " % i + b"x" * size for i in range(count)]


def send_paced(payloads, port, per_batch=100, pause=0.01):
    """About 10,000 a second: a modest load the server keeps up with."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for i in range(0, len(payloads), per_batch):
            for p in payloads[i:i + per_batch]:
                s.sendto(p, ("127.0.0.1", port))
            time.sleep(pause)


class SilentSmtpServer:
    """Accepts one connection and says nothing until released; then, unless
    told to hang up, speaks just enough SMTP to take the mail."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.connected = threading.Event()
        self.release = threading.Event()
        self.mails = []
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        conn, _ = self.listener.accept()
        with conn:
            self.connected.set()
            self.release.wait()
            conn.settimeout(10)
            reader = conn.makefile("rb")
            try:
                conn.sendall(b"220 ready\r\n")
                data = []
                while True:
                    line = reader.readline()
                    if not line:
                        return
                    word = line[:4].upper()
                    if word == b"DATA":
                        conn.sendall(b"354 go on\r\n")
                        while (body := reader.readline()) not in (b".\r\n", b""):
                            data.append(body)
                        self.mails.append(b"".join(data))
                        conn.sendall(b"250 queued\r\n")
                    elif word == b"QUIT":
                        conn.sendall(b"221 bye\r\n")
                        return
                    else:
                        conn.sendall(b"250 ok\r\n")
            except OSError:
                return

    def close(self):
        self.release.set()
        self.listener.close()


class FileLocker:
    """Another process holding the whole-file lock on a file until released."""

    def __init__(self, path):
        self.proc = subprocess.Popen(
            [sys.executable, "-c",
             "import fcntl, sys\n"
             "f = open(sys.argv[1], 'ab')\n"
             "fcntl.flock(f, fcntl.LOCK_EX)\n"
             "print('locked', flush=True)\n"
             "sys.stdin.read()\n", path],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert self.proc.stdout.readline() == b"locked\n"

    def release(self):
        self.proc.stdin.close()
        self.proc.wait()
        self.proc.stdout.close()


def mail_ini(port, smtp_port):
    return ["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log", "MAILSERVER=127.0.0.1",
            "MAILSERVERPORT=%d" % smtp_port, "MAILFROM=quorvel@example.org", "MAILTO=ops@example.org",
            "KEYWORDLISTSTART", "alert", "KEYWORDLISTEND"]


class NoLossTest(unittest.TestCase):
    def test_a_silent_mail_server_holds_up_neither_reception_nor_the_log(self):
        smtp = SilentSmtpServer()
        self.addCleanup(smtp.close)
        port = free_port()
        sent = [ALERT] + payloads(COUNT)
        with Quorvel(mail_ini(port, smtp.port)) as q:
            self.assertTrue(q.start().wait_started(), q.stderr)
            send_paced(sent[:1], port)
            self.assertTrue(smtp.connected.wait(10), "the alert mail is under way")
            send_paced(sent[1:], port)
            q.wait_for_lines("recv.log", len(sent))
            self.assertEqual(entries(q.read("recv.log")), [b"127.0.0.1 " + p for p in sent])
            self.assertNotIn(MAIL_SENT, entries(q.read("Quorvel.log")), "no outcome while the server is silent")

            smtp.release.set()
            self.assertTrue(wait_until(lambda: MAIL_SENT in entries(q.read("Quorvel.log"))), "the mail goes out")
            self.assertEqual(q.stop(), 0)
            self.assertEqual(len(smtp.mails), 1)
            self.assertIn(ALERT, smtp.mails[0])
            log = entries(q.read("Quorvel.log"))
            self.assertEqual(log[-2:], [MAIL_SENT, STOP_LINE])
            self.assertEqual([l for l in log if LOST.match(l)], [])

    def test_a_stop_during_the_silence_ends_within_ten_seconds_and_reports_the_mails_not_sent(self):
        smtp = SilentSmtpServer()
        self.addCleanup(smtp.close)
        port = free_port()
        # One mail under way, 99 queued behind it, 50 more than the queue holds.
        alerts = [ALERT + b" %03d" % i for i in range(150)]
        with Quorvel(mail_ini(port, smtp.port)) as q:
            self.assertTrue(q.start().wait_started(), q.stderr)
            send_paced(alerts[:1], port)
            self.assertTrue(smtp.connected.wait(10))
            send_paced(alerts[1:] + [b"<14>and one more"], port)
            q.wait_for_lines("recv.log", len(alerts) + 1)
            started = time.monotonic()
            self.assertEqual(q.stop(), 0)
            self.assertLess(time.monotonic() - started, 10)
            self.assertEqual(entries(q.read("recv.log")),
                             [b"127.0.0.1 " + a for a in alerts] + [b"127.0.0.1 <14>and one more"])
            log = entries(q.read("Quorvel.log"))
            # Counted as they are lost: the first at once, the rest at the stop.
            lost = [LOST_MAILS.match(l) for l in log]
            self.assertEqual(sum(int(m.group(1)) for m in lost if m), 50)
            log = [l for l, m in zip(log, lost) if not m]
            self.assertEqual(log[-101:], [MAIL_FAILED] * 100 + [STOP_LINE])
            self.assertEqual(smtp.mails, [])

    def test_a_locked_log_file_delays_the_lines_but_loses_none(self):
        port = free_port()
        sent = payloads(COUNT)
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log"]) as q:
            self.assertTrue(q.start().wait_started(), q.stderr)
            q.wait_for_lines("Quorvel.log", 1)
            locker = FileLocker(q.path("recv.log"))
            send_paced(sent, port)
            time.sleep(0.5)
            self.assertEqual(q.read("recv.log"), b"", "nothing is written past the lock")
            locker.release()
            q.wait_for_lines("recv.log", len(sent))
            self.assertEqual(q.stop(), 0)
            self.assertEqual(entries(q.read("recv.log")), [b"127.0.0.1 " + p for p in sent])
            self.assertEqual([l for l in entries(q.read("Quorvel.log")) if LOST.match(l)], [])

    def test_what_a_full_queue_drops_is_counted_in_the_operation_log(self):
        port = free_port()
        # About 6 MB of lines against a queue of 4 MiB.
        sent = payloads(6000, size=1000)
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log"]) as q:
            self.assertTrue(q.start().wait_started(), q.stderr)
            q.wait_for_lines("Quorvel.log", 1)
            locker = FileLocker(q.path("recv.log"))
            send_paced(sent, port, per_batch=50)
            time.sleep(0.5)
            locker.release()
            self.assertEqual(q.stop(), 0)

            written = entries(q.read("recv.log"))
            numbers = [int(l.split(b" ")[2]) for l in written]
            self.assertEqual(written, [b"127.0.0.1 " + sent[n] for n in numbers], "whole lines")
            self.assertEqual(numbers, sorted(numbers), "in order")
            lost = sum(int(LOST.match(l).group(1)) for l in entries(q.read("Quorvel.log")) if LOST.match(l))
            self.assertGreater(lost, 0)
            self.assertEqual(lost, len(sent) - len(written))


if __name__ == "__main__":
    unittest.main()
