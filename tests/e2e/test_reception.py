"""The running server: real datagrams in, log files out, read byte for byte;
and the starts that must fail, with the reason where an operator looks."""

import os
import pathlib
import random
import re
import socket
import subprocess
import time
import unittest

from quorvel_e2e import BINARY, STOP_LINE, Quorvel, free_port, send, sjis, wait_until

STARTED = "success 1 Quorvel Server が開始しました"
STOPPED = "success 2 Quorvel Server が停止しました"
BAD_INI = "error 3 設定ファイルに不備がありサービスを開始できませんでした。"


# The receive buffer granted: 8 MiB as root, else the system's cap.
GRANTED = 8 << 20 if os.geteuid() == 0 else min(8 << 20, int(pathlib.Path("/proc/sys/net/core/rmem_max").read_text()))


def families(port):
    return [ai[0] for ai in socket.getaddrinfo(None, port, 0, socket.SOCK_DGRAM, socket.IPPROTO_UDP, socket.AI_PASSIVE)]


def bind_lines(port):
    """The operation-log lines of a wildcard bind, in the resolver's order."""
    return ([b" " + sjis("Bind 処理開始 (IPv4/IPv6)"), b" Bind port is %d" % port]
            + [b" Bind from IPv6" if f == socket.AF_INET6 else b" Bind from IPv4" for f in families(port)]
            + [b" " + sjis("受信バッファサイズ %d バイト" % GRANTED),
               b" " + sjis("Quorvel サービスを開始しました。"), b" " + sjis("IPv6を有効にしました。")])


def listening_line(instance, port):
    places = ["[::] port %d (IPv6)" % port if f == socket.AF_INET6 else "0.0.0.0 port %d (IPv4)" % port
              for f in families(port)]
    return "quorvel: instance %d listening on UDP %s" % (instance, ", ".join(places))


class ReceptionTest(unittest.TestCase):
    def test_every_kind_of_datagram_and_a_burst_into_two_instances(self):
        port, two = free_port(), free_port()
        # A byte order mark, stray lines and an unended keyword list are read as meant and noted.
        with Quorvel(ini_bytes=b"\xef\xbb\xbfSYSLOGPORT=%d\r\nRECVLOGNAME=recv.log\r\nSYSLOGPORT2=%d\r\nRECVLOGNAME2=two.log\r\n"
                     b"SYSLOGLOGNAME2=two-op.log\r\n; a comment\r\nSYSLOGPORTS=1\r\nSYSLOGPORT11=5140\r\n"
                     b"KEYWORDLISTSTART\r\nnever sent\r\n" % (port, two)).up() as q:
            send([b"to two\x01"], two, host="::1")
            send([b"<34>Oct 11 22:14:15 mymachine su: 'su root' failed", b"", b"x" * 40000, b"nul\x00byte",
                  b"tab\there cr\r lf\n", sjis("<11>ディスク容量不足")], port)
            q.wait_for_lines("recv.log", 4)
            send([b"<13>from IPv6"], port, host="::1")
            q.wait_for_lines("recv.log", 5)
            # As many as fit the receive buffer, all at once: none may be lost.
            burst = [b"<14>burst %05d " % i + b"." * 100 for i in range(min(10000, GRANTED // 1024))]
            with q.paused():
                send(burst, port)
            q.wait_for_lines("recv.log", 5 + len(burst), timeout=60)
            q.wait_for_lines("two.log", 1)
            self.assertEqual(q.stop(), 0)
            self.assertEqual((q.log("two.log"), q.log("two-op.log")), ([b"::1 to two"], bind_lines(two) + [STOP_LINE]))
            received = q.log("recv.log")
            self.assertEqual(received[:5], [b"127.0.0.1 <34>Oct 11 22:14:15 mymachine su: 'su root' failed",
                                            b"127.0.0.1 nulbyte", b"127.0.0.1 tabhere cr lf",
                                            b"127.0.0.1 " + sjis("<11>ディスク容量不足"), b"::1 <13>from IPv6"])
            self.assertEqual(received[5:], [b"127.0.0.1 " + p for p in burst])
            self.assertEqual(q.log(), [b" " + sjis(t) for t in ("設定ファイルの不明なキーを無視しました: SYSLOGPORTS (行 7)",
                "11 番目以降のインスタンスの設定は使われません: SYSLOGPORT11 (行 8)",
                "KEYWORDLISTEND がないため、これ以降のすべての行をキーワードとして読みました: KEYWORDLISTSTART (行 9)",
                "キーワードがありますが、MAILSERVER と MAILTO の両方がないため警告メールは送信しません。空のキー: MAILSERVER, MAILTO (行 9)")]
                + bind_lines(port) + [b"127.0.0.1 90 ReadCount Socket_Error", STOP_LINE])
            # Each note on standard error too, in English.
            self.assertEqual(q.stderr, ["quorvel: warning: unknown key SYSLOGPORTS ignored (line 7)",
                                        "quorvel: warning: SYSLOGPORT11 ignored: there are at most ten instances (line 8)",
                                        "quorvel: warning: KEYWORDLISTSTART without KEYWORDLISTEND: every later line was "
                                        "read as a keyword (line 9)",
                                        "quorvel: warning: keywords are set (line 9) but no alert mail is sent: empty "
                                        "MAILSERVER, MAILTO (mail needs both MAILSERVER and MAILTO)",
                                        listening_line(1, port), listening_line(2, two), STARTED, STOPPED,
                                        "quorvel: received {:,}; written {:,}; dropped 0; oversized 1; mails 0 sent, "
                                        "0 failed".format(7 + len(burst), 6 + len(burst))])

    def test_two_instances_sharing_both_files_write_every_line_in_the_order_received(self):
        one, two = free_port(), free_port()
        # Oversized datagrams, each an operation-log line, at random among the others: so that one
        # instance's lines come close together while the other's do not.
        chance = random.Random(25)
        sent = [b"x" * 40000 if chance.random() < 0.5 else b"<14>seq %04d" % i for i in range(300)]
        oversized = sum(len(p) > 100 for p in sent)
        with Quorvel(["SYSLOGPORT=%d" % one, "RECVLOGNAME=recv.log", "SYSLOGPORT2=%d" % two, "RECVLOGNAME2=recv.log"]).up() as q:
            for i, payload in enumerate(sent):  # to each instance in turn
                send([payload], (one, two)[i % 2])
                time.sleep(0.005)
            q.wait_for_lines("recv.log", len(sent) - oversized)
            self.assertTrue(wait_until(lambda: q.log().count(b"127.0.0.1 90 ReadCount Socket_Error") == oversized))
            self.assertEqual(q.stop(), 0)
            self.assertEqual(q.log("recv.log"), [b"127.0.0.1 " + p for p in sent if len(p) < 100])
            for name in ("recv.log", "Quorvel.log"):
                stamps = [line[:23] for line in q.read(name).split(b"\r\n")[:-1]]
                self.assertEqual([(a, b) for a, b in zip(stamps, stamps[1:]) if b < a], [], name + ": lines back in time")

    def test_a_taken_port_fails_that_instance_and_the_start(self):
        first, taken = free_port(), free_port()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", taken))
            with Quorvel(["SYSLOGPORT=%d" % first, "SYSLOGPORT2=%d" % taken, "SYSLOGLOGNAME2=two-op.log"]) as q:
                # The console line reads the same in a Japanese locale: English and ASCII.
                self.assertFalse(q.start(LANG="ja_JP.UTF-8", LC_ALL="ja_JP.UTF-8").wait_started())
                self.assertEqual(q.wait_exit(), 1)
                self.assertEqual(q.stderr, [listening_line(1, first), "quorvel: instance 2 cannot start: cannot bind to "
                                            "0.0.0.0 port %d (IPv4): Address already in use" % taken,
                                            "error 102 Syslog[2] 開始時にエラーが発生しました。"])
                log = q.log("two-op.log")
                self.assertIn(b" " + sjis("IPv4用 Quorvel 待機用ソケットの Bind に失敗しました。IPアドレス及びポートを確認してください。"), log)
                self.assertEqual(log[-1], b" " + sjis("Quorvel サービスを開始に失敗しました"))
                self.assertEqual(q.log(), bind_lines(first))

    def test_an_unreadable_configuration_fails_at_once_and_nul_padding_does_not(self):
        nul = "設定ファイルの途中に NUL 文字があり、それ以降を読めないためサービスを開始できませんでした: %s (行 2)"
        cases = [("missing", None, "no configuration file %s", BAD_INI[8:]),
                 ("UTF-16", lambda p: pathlib.Path(p).write_bytes("SYSLOGPORT=5140\r\n".encode("utf-16")),
                  "cannot read ini file %s: the text is UTF-16; save it as Shift_JIS", BAD_INI[8:]),
                 ("folder", os.mkdir, "cannot read ini file %s: not a regular file", BAD_INI[8:]),
                 # A FIFO must not hold the start: nobody ever writes to it.
                 ("fifo", os.mkfifo, "cannot read ini file %s: not a regular file", BAD_INI[8:]),
                 ("NUL", lambda p: pathlib.Path(p).write_bytes(b"; comment\r\n\0RECVLOGNAME=recv.log\r\nSYSLOGPORT=5140\r\n"),
                  "cannot read ini file %s: line 2 holds a NUL byte, which would hide the rest of the file", nul)]
        for name, make, reason, event in cases:
            with self.subTest(name), Quorvel() as q:
                ini = os.path.join(q.dir, "Quorvel.ini")
                make and make(ini)
                self.assertEqual(q.start().wait_exit(timeout=5), 1)
                event = event.replace("%s", ini)
                self.assertEqual(q.stderr, ["quorvel: cannot start: " + reason % ini, "error 3 " + event])
                self.assertEqual([(e["QUORVEL_EVENT_ID"], e["MESSAGE"]) for e in q.journal.events()], [("3", event)])
        port = free_port()
        with Quorvel(ini_bytes=b"RECVLOGNAME=recv.log\r\nSYSLOGPORT=%d\r\n" % port + b"\0" * 512).up() as q:
            self.assertEqual(q.stderr[0], listening_line(1, port))
            self.assertEqual(q.stop(), 0)

    def test_settings_that_name_no_file_or_no_port_fail_the_start_at_once(self):
        cases = [
            (["RECVLOGNAME=/tmp/quorvel-absolute.log"], "RECVLOGNAME=/tmp/quorvel-absolute.log: ログ名は logs"),
            (["RECVLOGNAME=a/b/c.log"], "RECVLOGNAME=a/b/c.log: ログファイルを追記用に開けません (error 2: "),
            # A link in the log's place: refused, its target left as it was.
            (["RECVLOGNAME=link.log"], "RECVLOGNAME=link.log: ログファイルを追記用に開けません (error 40: "),
            (["RECVLOGNAME=../../quorvel-outside.log"], "RECVLOGNAME=../../quorvel-outside.log: ログ名は logs"),
            (["SYSLOGLOGNAME=."], "SYSLOGLOGNAME=.: ログ名は logs"),
            (["SYSLOGPORT2=5140", "SYSLOGLOGNAME2=sub"], "Syslog[2] SYSLOGLOGNAME2=sub: ログファイルを追記用に開けません (error 21: "),
            (["RECVLOGNAME=" + "n" * 1000000], "(1000000 bytes): ログファイルを追記用に開けません (error 36: "),
            (["SYSLOGPORT=$FFFFFFFF"], "SYSLOGPORT=$FFFFFFFF: ポート番号は 2 から 65534 で指定してください (0、1、65535 は 514"),
            (["SYSLOGPORT=abc"], "SYSLOGPORT=abc: ポート番号が数値ではありません"),
            (["SYSLOGPORT2=70000"], "Syslog[2] SYSLOGPORT2=70000: ポート番号は 2 から 65534 で指定してください (0、1、65535 は 514")]
        for lines, reason in cases:
            port = [] if lines[0].startswith("SYSLOGPORT=") else ["SYSLOGPORT=%d" % free_port()]
            with self.subTest(lines=[l[:40] for l in lines]), Quorvel(port + lines) as q:
                os.makedirs(q.path("sub"))
                os.symlink("../Quorvel.ini", q.path("link.log"))
                ini = q.read("../Quorvel.ini")
                self.assertEqual(q.start().wait_exit(), 1)
                [problem] = [l[len("error 20 "):] for l in q.stderr if l.startswith("error 20 ")]
                self.assertTrue(problem.startswith("設定に誤りがあるためサービスを開始できません: ") and reason in problem, problem)
                self.assertRegex(q.stderr[0], "^quorvel: instance .* cannot start: .*" + re.escape(reason.split(": ")[0].split("] ")[-1]))
                self.assertIn(("20", problem), [(e.get("QUORVEL_EVENT_ID"), e.get("MESSAGE")) for e in q.journal.events()])
                self.assertEqual(q.read("../Quorvel.ini"), ini)
                self.assertFalse(os.path.exists("/tmp/quorvel-absolute.log") or os.path.exists(q.path("../../quorvel-outside.log")))

    def test_the_binary_needs_only_system_libraries(self):
        linked = subprocess.run(["ldd", BINARY], capture_output=True, text=True, check=True).stdout
        if "libasan" in linked:
            self.skipTest("sanitizer builds link the sanitizer runtime")
        self.assertFalse({"libstdc++", "libgcc_s"} & set(re.findall(r"lib[a-z_+]+", linked)), linked)
