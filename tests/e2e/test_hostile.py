"""A hostile neighbour: a local user after the log lock, links in the logs
folder, a full disk, stray signals, and a burst of huge lines."""

import contextlib
import os
import signal
import subprocess
import time
import unittest

from quorvel_e2e import BINARY, Quorvel, STOP_LINE, free_port, mail_ini, mail_sink, send, sjis, wait_until

NOBODY = 65534


class HostileTest(unittest.TestCase):
    def test_a_user_who_may_not_read_the_logs_cannot_take_their_lock_and_a_link_in_the_place_of_a_log_is_refused(self):
        port = free_port()
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log"]) as q:
            # What an older version left: a folder and a log anyone may open.
            logs = os.path.join(q.dir, "logs")
            os.chmod(q.dir, 0o755)
            os.mkdir(logs)
            os.chmod(logs, 0o755)
            os.close(os.open(q.path("recv.log"), os.O_CREAT, 0o644))
            q.up()
            self.assertEqual([os.stat(p).st_mode & 0o777 for p in (logs, q.path("Quorvel.log"))], [0o750, 0o640])
            if os.geteuid() == 0:
                holder = subprocess.run(["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups",
                                         "flock", "-x", q.path("recv.log"), "true"], capture_output=True, timeout=30)
                self.assertEqual((holder.returncode != 0, holder.stderr.count(b"Permission denied")), (True, 1),
                                 holder.stderr)
            send([b"line"], port)
            q.wait_for_lines("recv.log", 1)
            os.remove(q.path("recv.log"))
            # A dangling link: nothing may come to be where it points.
            os.symlink(os.path.join(q.dir, "made-by-link"), q.path("recv.log"))
            send([b"first", b"second"], port)
            refused = b" " + sjis("ログファイルへの書き込みを拒否しました (シンボリックリンク、フォルダまたは特殊ファイル): ")
            self.assertTrue(wait_until(lambda: any(l.startswith(refused) for l in q.log())))
            send([b"third"], port)
            time.sleep(0.3)
            self.assertEqual(q.stop(), 0)
            self.assertIn(b" " + sjis("logs フォルダから他のユーザーのアクセス権を外しました: ") + logs.encode(), q.log())
            # Said once, not once per datagram.
            self.assertEqual([l for l in q.log() if not l.startswith(b" ")], [])
            self.assertEqual(sum(l.startswith(refused) for l in q.log()), 1)
            self.assertFalse(os.path.exists(os.path.join(q.dir, "made-by-link")))
            self.assertTrue(os.path.islink(q.path("recv.log")))

    @unittest.skipUnless(os.geteuid() == 0, "needs root")
    def test_with_the_disk_full_the_alert_goes_out_and_the_lost_lines_reach_the_system_log(self):
        port, (sink, smtp) = free_port(), mail_sink(self)
        with Quorvel(mail_ini(port, smtp.port, "disk")) as q:
            with q.small_disk(self, "64k") as logs:
                q.up()
                # The start's lines are written by the log writer, a moment later.
                self.assertTrue(wait_until(lambda: b" " + sjis("IPv6を有効にしました。") in q.log()))
                # The operation log ends on a page boundary, then the rest of
                # the file system is filled: no line finds room anywhere.
                size = os.path.getsize(q.path("Quorvel.log"))
                with open(q.path("Quorvel.log"), "ab") as f:
                    f.write(b"-" * (4096 - size % 4096 - 2) + b"\r\n")
                with open(os.path.join(logs, "filler"), "wb", buffering=0) as filler, contextlib.suppress(OSError):
                    while filler.write(b"\0" * 1024):
                        pass
                send([b"disk: lost on a full disk"], port)
                lost = "error 21 動作ログに書き込めません: %s (error 28: No space left on device)" % q.path("Quorvel.log")
                self.assertTrue(wait_until(lambda: any(l.startswith(lost) and l.endswith(
                    "受信処理中に原因不明のエラーが発生 (28)") for l in q.stderr)), q.stderr)
                # The line is lost, the alert is not.
                self.assertTrue(wait_until(lambda: len(sink.mails) == 1 and b"disk: lost" in sink.mails[0]["raw"]))
                self.assertEqual(q.stop(), 0)

    def test_ctrl_c_hang_up_or_user_signal_stops_a_console_run(self):
        for sig in (signal.SIGINT, signal.SIGHUP, signal.SIGUSR1, signal.SIGUSR2):
            with self.subTest(sig=sig.name), Quorvel(["SYSLOGPORT=%d" % free_port()]).up() as q:
                q.proc.send_signal(sig)
                self.assertEqual(q.wait_exit(), 0)
                self.assertEqual(q.log()[-1], STOP_LINE)

    def test_memory_returns_after_a_burst_of_huge_lines(self):
        if "libasan" in subprocess.run(["ldd", BINARY], capture_output=True, text=True).stdout:
            self.skipTest("the sanitizer keeps freed memory in quarantine")
        port = free_port()
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log", "CNVCTRLCODE=" + "x" * 4096]).up() as q:

            def rss_kb_after(payloads):
                send(payloads, port)
                # Until a burst has left the queue, a line after it is dropped too: sent until written.
                mark = b"after %d" % len(payloads)
                assert wait_until(lambda: send([mark], port) or time.sleep(0.5) or q.read("recv.log").endswith(mark + b"\r\n"), 60)
                with open("/proc/%d/status" % q.proc.pid) as f:
                    return int(next(l for l in f if l.startswith("VmRSS:")).split()[1])
            before = rss_kb_after([])
            # Each line is 128 MB; whether it fits the write queue or is
            # dropped and counted there, its buffers must not stay.
            after = rss_kb_after([b"\x01" * 32768] * 3)
            self.assertLess(after, before + 16 * 1024, "RSS %d kB before, %d kB after the burst" % (before, after))
            self.assertEqual(q.stop(), 0)
