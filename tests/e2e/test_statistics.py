"""What the server has done, where an operator looks: the STATUS= line on a
notification socket of the test's own (standing in for systemd), the
statistics lines of the operation log, the totals at the stop, and the status
line of a console run. Also: a Quorvel.ini that is no readable file is a bad
configuration, reported at once."""

import os
import re
import signal
import socket
import subprocess
import time
import unittest

from aiosmtpd.controller import Controller

from quorvel_e2e import DatagramSink, Quorvel, entries, free_port, send, sjis, wait_until

REFUSED = "refused@example.org"


class Refusing:
    """Takes every mail except those to REFUSED."""

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address == REFUSED:
            return "550 no such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        return "250 queued"


def start_smtp(test):
    for _ in range(20):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        smtp = Controller(Refusing(), hostname="127.0.0.1", port=port)
        try:
            smtp.start()
        except OSError:
            continue
        test.addCleanup(smtp.stop)
        return port
    test.fail("no free TCP port for the SMTP server")


def statistics_body(received, written, oversized, matches, sent, failed):
    return ("受信 %d 件、書き込み %d 件、破棄 0 件 (受信バッファ溢れ 0、キュー満杯 0、ロック待ち超過 0、書き込み失敗 0)、"
            "サイズ超過 %d 件、キーワード一致 %d 件、メール送信 %d 件、メール送信失敗 %d 件、メール破棄 0 件、"
            "メール抑止 0 件" % (received, written, oversized, matches, sent, failed))


class StatisticsTest(unittest.TestCase):
    def test_known_load_gives_exact_figures_in_status_statistics_and_stop_totals(self):
        smtp_port = start_smtp(self)
        port = free_port()
        ini = ["SYSLOGPORT=%d" % port, "SERVERIPADDRESS=127.0.0.1", "STATSINTERVAL=1",
               "MAILSERVER=127.0.0.1", "MAILSERVERPORT=%d" % smtp_port,
               "MAILFROM=quorvel@example.org", "MAILTO=ops@example.org",
               "KEYWORDLISTSTART", "ALERT", "FAILME " + REFUSED, "KEYWORDLISTEND"]
        plain = [b"<13>plain %d" % i for i in range(40)]
        alerts = [b"<11>ALERT disk %d" % i for i in range(3)]
        oversized = [b"x" * 40000, b"y" * 32770]
        failing = [b"<11>FAILME once"]
        with Quorvel(ini) as q:
            notify = DatagramSink(q.dir, "notify")
            self.addCleanup(notify.close)
            env = dict(os.environ, NOTIFY_SOCKET=notify.path, QUORVEL_JOURNAL_SOCKET=q.journal.path)
            # Service mode, as systemd starts it.
            q.proc = subprocess.Popen([q.binary], cwd="/", env=env, stderr=subprocess.DEVNULL)
            q.err = open(os.devnull, "wb")
            notify.sock.settimeout(10)
            while not notify.sock.recv(65536).decode().startswith("READY=1"):
                pass
            started = time.monotonic()
            send(plain + oversized + alerts + failing, port)

            received, written = len(plain) + len(oversized) + len(alerts) + len(failing), len(plain) + 4
            status = "STATUS=received %d; written %d; dropped 0; oversized 2; mails 3 sent, 1 failed\n" % (
                received, written)
            seen = []
            deadline = time.monotonic() + 15
            while status not in seen and time.monotonic() < deadline:
                seen += notify.receive_all(timeout=1)
            self.assertIn(status, seen, "the live counts reach the notification socket")

            body = statistics_body(received, written, 2, 4, 3, 1)
            periodic = sjis("統計: " + body)
            self.assertTrue(wait_until(lambda: periodic in q.read("Quorvel.log"), 10), "a statistics line with the load")

            q.proc.send_signal(signal.SIGTERM)
            self.assertEqual(q.proc.wait(timeout=15), 0)
            elapsed = time.monotonic() - started
            lines = entries(q.read("Quorvel.log"))
        self.assertEqual(lines[-1], b" " + sjis("停止時の統計: " + body))
        self.assertEqual(lines[-2], b" " + sjis("Quorvel サービスを停止しました"))
        # One line a second while running, each with the figures at the time.
        ticks = [l for l in lines if l.startswith(b" " + sjis("統計: "))]
        self.assertGreaterEqual(len(ticks), int(elapsed) - 2)
        self.assertLessEqual(len(ticks), int(elapsed) + 1)

    def test_console_run_prints_the_status_line_at_stop_and_no_statistics_by_default(self):
        port = free_port()
        with Quorvel(["SYSLOGPORT=%d" % port, "SERVERIPADDRESS=127.0.0.1"]) as q:
            q.start()
            self.assertTrue(q.wait_started())
            send([b"<13>one", b"<13>two", b"<13>three"], port)
            q.wait_for_lines("%04d-%02d-syslog.log" % time.localtime()[:2], 3)
            self.assertEqual(q.stop(), 0)
            self.assertEqual(q.stderr[-1], "quorvel: received 3; written 3; dropped 0; mails 0 sent, 0 failed")
            self.assertNotIn(sjis("統計"), q.read("Quorvel.log"), "STATSINTERVAL unset: the file as it always was")


class UnreadableConfigurationTest(unittest.TestCase):
    def test_a_folder_or_fifo_named_quorvel_ini_is_a_bad_configuration(self):
        for kind in ("folder", "fifo"):
            with self.subTest(kind), Quorvel() as q:
                ini = os.path.join(q.dir, "Quorvel.ini")
                os.mkdir(ini) if kind == "folder" else os.mkfifo(ini)
                begun = time.monotonic()
                q.start()
                # A FIFO must not hold the start: nobody ever writes to it.
                self.assertEqual(q.wait_exit(timeout=10), 1)
                self.assertLess(time.monotonic() - begun, 5)
                self.assertEqual(q.stderr, ["quorvel: cannot start: cannot read ini file %s: not a regular file" % ini,
                                            "error 3 設定ファイルに不備がありサービスを開始できませんでした。"])
                events = [dict(l.split("=", 1) for l in e.splitlines()) for e in q.journal.receive_all()]
                self.assertEqual([e["QUORVEL_EVENT_ID"] for e in events], ["3"])


if __name__ == "__main__":
    unittest.main()
