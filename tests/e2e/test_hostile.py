"""A hostile neighbour and hostile settings: a local user holding the log
lock, links in the logs folder, a full disk, settings that name no file or
no port, stray ini lines, stray signals, and a burst of huge lines."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from quorvel_e2e import BINARY, DatagramSink, Quorvel, entries, free_port, send, sjis, wait_until
from test_no_loss import SilentSmtpServer

STOP_LINE = b" " + sjis("Quorvel サービスを停止しました")
NOBODY = 65534


def as_root():
    return os.geteuid() == 0


def sanitized():
    linked = subprocess.run(["ldd", BINARY], capture_output=True, text=True).stdout
    return "libasan" in linked


class HostileTest(unittest.TestCase):
    def test_a_user_who_may_not_read_the_logs_cannot_take_their_lock(self):
        if not as_root():
            self.skipTest("needs root to run a child as nobody (setpriv)")
        port = free_port()
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log"]) as q:
            # What an older version left: a folder and a log anyone may open.
            os.chmod(q.dir, 0o755)
            os.mkdir(os.path.join(q.dir, "logs"), 0o755)
            os.chmod(os.path.join(q.dir, "logs"), 0o755)
            with open(q.path("recv.log"), "wb"):
                pass
            os.chmod(q.path("recv.log"), 0o644)
            self.assertTrue(q.start().wait_started(), q.stderr)
            self.assertEqual(os.stat(os.path.join(q.dir, "logs")).st_mode & 0o777, 0o750)
            self.assertEqual(os.stat(q.path("Quorvel.log")).st_mode & 0o777, 0o640)

            holder = subprocess.Popen(["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups",
                                       "flock", "-x", q.path("recv.log"), "sleep", "8"],
                                      stderr=subprocess.PIPE)
            # 1000 datagrams at about 1000 a second while the child tries.
            for i in range(10):
                send([b"line %04d" % (i * 100 + k) for k in range(100)], port)
                time.sleep(0.1)
            q.wait_for_lines("recv.log", 1000, timeout=10)
            self.assertNotEqual(holder.wait(timeout=10), 0)
            with holder.stderr:
                self.assertIn(b"Permission denied", holder.stderr.read())
            self.assertEqual(q.stop(), 0)
            self.assertEqual([l.split(b" ", 1)[1] for l in entries(q.read("recv.log"))],
                             [b"line %04d" % i for i in range(1000)])
            self.assertIn(b" " + sjis("logs フォルダから他のユーザーのアクセス権を外しました: ")
                          + os.path.join(q.dir, "logs").encode(), entries(q.read("Quorvel.log")))

    def test_a_link_in_the_logs_folder_is_refused_and_reported(self):
        port = free_port()
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log"]) as q:
            target = os.path.join(q.dir, "target")
            with open(target, "wb") as f:
                f.write(b"untouched")
            os.mkdir(os.path.join(q.dir, "logs"))
            # At start: the start fails and says why.
            os.symlink(target, q.path("recv.log"))
            q.start()
            self.assertEqual(q.wait_exit(), 1)
            self.assertIn("RECVLOGNAME=recv.log", q.stderr[0])
            self.assertIn("error 40", q.stderr[0])
            os.remove(q.path("recv.log"))
            q.err.close()

            # While serving: a dangling link put in the log's place.
            self.assertTrue(q.start().wait_started(), q.stderr)
            os.remove(q.path("recv.log"))
            os.symlink(os.path.join(q.dir, "made-by-link"), q.path("recv.log"))
            send([b"first", b"second"], port)
            refused = b" " + sjis("ログファイルへの書き込みを拒否しました (シンボリックリンク、フォルダまたは特殊ファイル): ")
            self.assertTrue(wait_until(lambda: any(l.startswith(refused) for l in entries(q.read("Quorvel.log")))))
            send([b"third"], port)
            time.sleep(0.3)
            self.assertEqual(q.stop(), 0)
            # Said once, not once per datagram.
            log = entries(q.read("Quorvel.log"))
            self.assertEqual([l for l in log if not l.startswith(b" ")], [])
            self.assertEqual(sum(l.startswith(refused) for l in log), 1)
            with open(target, "rb") as f:
                self.assertEqual(f.read(), b"untouched")
            self.assertFalse(os.path.exists(os.path.join(q.dir, "made-by-link")))
            self.assertTrue(os.path.islink(q.path("recv.log")))

    def test_with_the_disk_full_the_alert_goes_out_and_the_lost_lines_reach_the_system_log(self):
        if not as_root():
            self.skipTest("needs root to mount a small tmpfs")
        port = free_port()
        smtp = SilentSmtpServer()
        smtp.release.set()
        self.addCleanup(smtp.close)
        ini = ["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log", "MAILSERVER=127.0.0.1",
               "MAILSERVERPORT=%d" % smtp.port, "MAILFROM=quorvel@example.org", "MAILTO=ops@example.org",
               "KEYWORDLISTSTART", "disk", "KEYWORDLISTEND"]
        with Quorvel(ini) as q:
            logs = os.path.join(q.dir, "logs")
            os.mkdir(logs)
            mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", logs], capture_output=True)
            if mounted.returncode != 0:
                self.skipTest("cannot mount a tmpfs here: " + mounted.stderr.decode(errors="replace").strip())
            try:
                self.assertTrue(q.start().wait_started(), q.stderr)
                # The start's lines are written by the log writer, a moment later.
                started = b" " + sjis("Quorvel サービスを開始しました。")
                self.assertTrue(wait_until(lambda: started in entries(q.read("Quorvel.log"))))
                time.sleep(0.2)
                # The operation log ends on a page boundary, then the rest of
                # the file system is filled: no line finds room anywhere.
                size = os.path.getsize(q.path("Quorvel.log"))
                with open(q.path("Quorvel.log"), "ab") as f:
                    f.write(b"-" * (4096 - size % 4096 - 2) + b"\r\n")
                filler = os.open(os.path.join(logs, "filler"), os.O_WRONLY | os.O_CREAT)
                try:
                    while os.write(filler, b"\0" * 1024) > 0:
                        pass
                except OSError:
                    pass
                finally:
                    os.close(filler)
                send([b"disk: lost on a full disk"], port)
                lost = "error 21 動作ログに書き込めません: %s (error 28: No space left on device)" % q.path("Quorvel.log")
                self.assertTrue(wait_until(lambda: any(l.startswith(lost) for l in q.stderr)), q.stderr)
                self.assertTrue(any(l.startswith(lost) and l.endswith("受信処理中に原因不明のエラーが発生 (28)")
                                    for l in q.stderr), q.stderr)
                # The line is lost, the alert is not.
                self.assertTrue(wait_until(lambda: len(smtp.mails) == 1), "the alert mail goes out")
                self.assertIn(b"disk: lost on a full disk", smtp.mails[0])
                self.assertEqual(q.stop(), 0)
            finally:
                if q.proc and q.proc.poll() is None:
                    q.proc.kill()
                    q.proc.wait()
                subprocess.run(["umount", logs], check=True)

    def test_settings_that_name_no_file_or_no_port_fail_the_start_at_once(self):
        cases = [
            # (ini lines, text that the reason on standard error holds)
            (["RECVLOGNAME=/tmp/quorvel-absolute.log"], "RECVLOGNAME=/tmp/quorvel-absolute.log: ログ名は logs"),
            (["RECVLOGNAME=a/b/c.log"], "RECVLOGNAME=a/b/c.log: ログファイルを追記用に開けません (error 2: "),
            (["RECVLOGNAME=../../quorvel-outside.log"], "RECVLOGNAME=../../quorvel-outside.log: ログ名は logs"),
            (["SYSLOGLOGNAME=."], "SYSLOGLOGNAME=.: ログ名は logs"),
            (["SYSLOGPORT2=5140", "SYSLOGLOGNAME2=sub"], "Syslog[2] SYSLOGLOGNAME2=sub: ログファイルを追記用に開けません (error 21: "),
            (["RECVLOGNAME=" + "n" * 1000000], "(1000000 bytes): ログファイルを追記用に開けません (error 36: "),
            (["SYSLOGPORT=$FFFFFFFF"], "SYSLOGPORT=$FFFFFFFF: ポート番号は 1 から 65535"),
            (["SYSLOGPORT=abc"], "SYSLOGPORT=abc: ポート番号が数値ではありません"),
            (["SYSLOGPORT2=70000"], "Syslog[2] SYSLOGPORT2=70000: ポート番号は 1 から 65535"),
        ]
        for lines, reason in cases:
            with self.subTest(lines=[l[:40] for l in lines]):
                if not any(l.startswith("SYSLOGPORT=") for l in lines):
                    lines = ["SYSLOGPORT=%d" % free_port()] + lines
                with Quorvel(lines) as q:
                    os.makedirs(os.path.join(q.dir, "logs", "sub"))
                    began = time.monotonic()
                    q.start()
                    self.assertEqual(q.wait_exit(timeout=5), 1)
                    self.assertLess(time.monotonic() - began, 5)
                    problems = [l for l in q.stderr if l.startswith("error 20 設定に誤りがあるためサービスを開始できません: ")]
                    self.assertEqual(len(problems), 1, q.stderr)
                    self.assertIn(reason, problems[0])
                    key_value = reason.split(": ")[0].split("] ")[-1]
                    self.assertTrue(any(l.startswith("quorvel: instance ") and " cannot start: " in l
                                        and key_value in l for l in q.stderr), q.stderr)
                    # The same words in the system log.
                    journal = [dict(l.split("=", 1) for l in e.splitlines() if "=" in l)
                               for e in q.journal.receive_all(timeout=0.2)]
                    self.assertIn(("20", problems[0][len("error 20 "):]),
                                  [(e.get("QUORVEL_EVENT_ID"), e.get("MESSAGE")) for e in journal])
                    self.assertFalse(os.path.exists("/tmp/quorvel-absolute.log"))
                    self.assertFalse(os.path.exists(os.path.join(q.dir, "..", "quorvel-outside.log")))

    def test_byte_order_mark_and_stray_lines_are_read_as_meant_and_noted(self):
        port = free_port()
        with Quorvel() as q:
            with open(os.path.join(q.dir, "Quorvel.ini"), "wb") as f:
                f.write(b"\xef\xbb\xbfSYSLOGPORT=%d\r\n; a comment\r\nSYSLOGPORTS=1\r\nSYSLOGPORT11=5140\r\n"
                        b"KEYWORDLISTSTART\r\nerror\r\n" % port)
            self.assertTrue(q.start().wait_started(), q.stderr)
            send([b"after the mark"], port)
            q.wait_for_lines(time.strftime("%Y-%m-syslog.log"), 1)
            self.assertEqual(q.stop(), 0)
            log = entries(q.read("Quorvel.log"))
            self.assertEqual(log[:3], [
                b" " + sjis("設定ファイルの不明なキーを無視しました: SYSLOGPORTS (行 3)"),
                b" " + sjis("11 番目以降のインスタンスの設定は使われません: SYSLOGPORT11 (行 4)"),
                b" " + sjis("KEYWORDLISTEND がないため、これ以降のすべての行をキーワードとして読みました: "
                            "KEYWORDLISTSTART (行 5)"),
            ])
        with Quorvel() as q:
            with open(os.path.join(q.dir, "Quorvel.ini"), "wb") as f:
                f.write("SYSLOGPORT=5140\r\n".encode("utf-16"))
            q.start()
            self.assertEqual(q.wait_exit(), 1)
            self.assertTrue(any("UTF-16" in l for l in q.stderr), q.stderr)

    def test_a_hang_up_or_user_signal_stops_a_console_run_cleanly(self):
        for sig in (signal.SIGHUP, signal.SIGUSR1, signal.SIGUSR2):
            with self.subTest(sig=sig.name), Quorvel(["SYSLOGPORT=%d" % free_port()]) as q:
                self.assertTrue(q.start().wait_started(), q.stderr)
                q.proc.send_signal(sig)
                self.assertEqual(q.wait_exit(), 0)
                self.assertEqual(entries(q.read("Quorvel.log"))[-1], STOP_LINE)

    def test_a_hang_up_under_the_service_manager_is_ignored_and_noted(self):
        port = free_port()
        with Quorvel(["SYSLOGPORT=%d" % port]) as q:
            notify = DatagramSink(q.dir, "notify")
            try:
                env = dict(os.environ, NOTIFY_SOCKET=notify.path, QUORVEL_JOURNAL_SOCKET=q.journal.path)
                proc = subprocess.Popen([q.binary], env=env, stderr=subprocess.DEVNULL)
                notify.sock.settimeout(10)
                while not notify.sock.recv(65536).startswith(b"READY=1"):
                    pass
                proc.send_signal(signal.SIGHUP)
                noted = b" " + sjis("サービスとして実行中のため、シグナルを無視しました (signal 1)")
                self.assertTrue(wait_until(lambda: noted in entries(q.read("Quorvel.log"))))
                self.assertIsNone(proc.poll())
                proc.send_signal(signal.SIGTERM)
                self.assertEqual(proc.wait(timeout=10), 0)
                self.assertEqual(entries(q.read("Quorvel.log"))[-1], STOP_LINE)
            finally:
                notify.close()

    def test_memory_returns_after_a_burst_of_huge_lines(self):
        if sanitized():
            self.skipTest("the sanitizer keeps freed memory in quarantine")
        port = free_port()
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log", "CNVCTRLCODE=" + "x" * 4096]) as q:
            self.assertTrue(q.start().wait_started(), q.stderr)

            def rss_kb():
                with open("/proc/%d/status" % q.proc.pid) as f:
                    return int(next(l for l in f if l.startswith("VmRSS:")).split()[1])

            send([b"small"], port)
            q.wait_for_lines("recv.log", 1)
            before = rss_kb()
            # Each line is 128 MB; whether it fits the write queue or is
            # dropped and counted there, its buffers must not stay.
            send([b"\x01" * 32768] * 3, port)
            time.sleep(2)
            send([b"after the burst"], port)
            self.assertTrue(wait_until(lambda: q.read("recv.log").endswith(b" after the burst\r\n"), 60))
            after = rss_kb()
            self.assertLess(after, before + 16 * 1024, "RSS %d kB before, %d kB after the burst" % (before, after))
            self.assertEqual(q.stop(), 0)


if __name__ == "__main__":
    unittest.main()
