"""The running server: real datagrams in, log files out, read byte for byte."""

import os
import socket
import subprocess
import time
import unittest

from quorvel_e2e import BINARY, Quorvel, entries, free_port, send, sjis

STARTED = "success 1 Quorvel Server が開始しました"
STOPPED = "success 2 Quorvel Server が停止しました"


def buffer_line():
    """The receive buffer granted: the 8 MiB asked for as root, else no more
    than the system's cap for ordinary processes."""
    size = 8 << 20
    if os.geteuid() != 0:
        with open("/proc/sys/net/core/rmem_max") as f:
            size = min(size, int(f.read()))
    return b" " + sjis("受信バッファサイズ %d バイト" % size)


def bind_lines(port):
    """The operation-log lines of a wildcard bind, in the resolver's order."""
    families = [ai[0] for ai in socket.getaddrinfo(None, port, socket.AF_UNSPEC, socket.SOCK_DGRAM,
                                                   socket.IPPROTO_UDP, socket.AI_PASSIVE)]
    return ([b" " + sjis("Bind 処理開始 (IPv4/IPv6)"), b" Bind port is %d" % port]
            + [b" Bind from IPv6" if f == socket.AF_INET6 else b" Bind from IPv4" for f in families]
            + [buffer_line(), b" " + sjis("Quorvel サービスを開始しました。"), b" " + sjis("IPv6を有効にしました。")])


def listening_line(instance, port):
    """The console line of an instance that bound every address of the port."""
    families = [ai[0] for ai in socket.getaddrinfo(None, port, socket.AF_UNSPEC, socket.SOCK_DGRAM,
                                                   socket.IPPROTO_UDP, socket.AI_PASSIVE)]
    places = ["[::] port %d (IPv6)" % port if f == socket.AF_INET6 else "0.0.0.0 port %d (IPv4)" % port
              for f in families]
    return "quorvel: instance %d listening on UDP %s" % (instance, ", ".join(places))


STOP_LINE = b" " + sjis("Quorvel サービスを停止しました")


class ReceptionTest(unittest.TestCase):
    def test_every_kind_of_datagram_from_every_kind_of_sender(self):
        port = free_port()
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log"]) as q:
            self.assertTrue(q.start().wait_started(), q.stderr)
            send([b"<34>Oct 11 22:14:15 mymachine su: 'su root' failed",
                  b"",
                  b"x" * 40000,
                  b"nul\x00byte",
                  b"tab\there cr\r lf\n",
                  sjis("<11>ディスク容量不足")], port)
            q.wait_for_lines("recv.log", 4)
            send([b"<13>from IPv6"], port, host="::1")
            q.wait_for_lines("recv.log", 5)
            subprocess.run(["logger", "--udp", "--server", "127.0.0.1", "--port", str(port), "hello from logger"],
                           check=True)
            q.wait_for_lines("recv.log", 6)
            self.assertEqual(q.stop(), 0)

            received = entries(q.read("recv.log"))
            self.assertEqual(received[:5], [
                b"127.0.0.1 <34>Oct 11 22:14:15 mymachine su: 'su root' failed",
                b"127.0.0.1 nulbyte",
                b"127.0.0.1 tabhere cr lf",
                b"127.0.0.1 " + sjis("<11>ディスク容量不足"),
                b"::1 <13>from IPv6",
            ])
            self.assertTrue(received[5].startswith(b"127.0.0.1 <13>"), received[5])
            self.assertTrue(received[5].endswith(b" hello from logger"), received[5])
            self.assertEqual(entries(q.read("Quorvel.log")),
                             bind_lines(port) + [b"127.0.0.1 90 ReadCount Socket_Error", STOP_LINE])
            # The run's figures follow the stop, with the oversized datagram apart.
            self.assertEqual(q.stderr, [listening_line(1, port), STARTED, STOPPED,
                                        "quorvel: received 7; written 6; dropped 0; oversized 1; mails 0 sent, 0 failed"])

    def test_two_instances_keep_their_own_files_and_control_bytes_are_replaced(self):
        one, two = free_port(), free_port()
        with Quorvel(["SYSLOGPORT=%d" % one, "RECVLOGNAME=one.log", "SYSLOGLOGNAME=one-op.log",
                      "SYSLOGPORT2=%d" % two, "RECVLOGNAME2=two.log", "SYSLOGLOGNAME2=two-op.log",
                      "CNVCTRLCODE= "]) as q:
            self.assertTrue(q.start().wait_started(), q.stderr)
            send([b"to\tone\n"], one)
            send([b"to two\x01"], two, host="::1")
            q.wait_for_lines("one.log", 1)
            q.wait_for_lines("two.log", 1)
            self.assertEqual(q.stop(), 0)
            self.assertEqual(entries(q.read("one.log")), [b"127.0.0.1 to one "])
            self.assertEqual(entries(q.read("two.log")), [b"::1 to two "])
            for name, port in (("one-op.log", one), ("two-op.log", two)):
                self.assertEqual(entries(q.read(name)), bind_lines(port) + [STOP_LINE], name)
            # One figure for both instances.
            self.assertEqual(q.stderr, [listening_line(1, one), listening_line(2, two), STARTED, STOPPED,
                                        "quorvel: received 2; written 2; dropped 0; mails 0 sent, 0 failed"])

    def test_a_burst_of_ten_thousand_datagrams_is_logged_whole_and_in_order(self):
        port = free_port()
        payloads = [b"<14>burst %05d " % i + b"." * 100 for i in range(10000)]
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log"]) as q:
            self.assertTrue(q.start().wait_started(), q.stderr)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                # About 5,000 a second: well within what one worker writes,
                # so every datagram must arrive.
                for i in range(0, len(payloads), 50):
                    for p in payloads[i:i + 50]:
                        s.sendto(p, ("127.0.0.1", port))
                    time.sleep(0.01)
            q.wait_for_lines("recv.log", len(payloads), timeout=30)
            self.assertEqual(q.stop(), 0)
            self.assertEqual(entries(q.read("recv.log")), [b"127.0.0.1 " + p for p in payloads])

    def test_failed_starts_are_reported_and_end_with_status_1(self):
        first, taken = free_port(), free_port()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", taken))
            with Quorvel(["SYSLOGPORT=%d" % first, "SYSLOGPORT2=%d" % taken, "SYSLOGLOGNAME2=two-op.log"]) as q:
                # The console line reads the same in a Japanese locale: English and ASCII.
                self.assertFalse(q.start(LANG="ja_JP.UTF-8", LC_ALL="ja_JP.UTF-8").wait_started())
                self.assertEqual(q.wait_exit(), 1)
                self.assertEqual(q.stderr, [listening_line(1, first),
                                            "quorvel: instance 2 cannot start: cannot bind to 0.0.0.0 port %d (IPv4): "
                                            "Address already in use" % taken,
                                            "error 102 Syslog[2] 開始時にエラーが発生しました。"])
                log = entries(q.read("two-op.log"))
                self.assertIn(b" " + sjis("IPv4用 Quorvel 待機用ソケットの Bind に失敗しました。"
                                          "IPアドレス及びポートを確認してください。"), log)
                self.assertEqual(log[-1], b" " + sjis("Quorvel サービスを開始に失敗しました"))
                self.assertEqual(entries(q.read("Quorvel.log")), bind_lines(first))

        with Quorvel() as q:
            self.assertFalse(q.start().wait_started())
            self.assertEqual(q.wait_exit(), 1)
            self.assertEqual(q.stderr, ["quorvel: cannot start: no configuration file %s/Quorvel.ini" % q.dir,
                                        "error 3 設定ファイルに不備がありサービスを開始できませんでした。"])

    def test_a_configuration_without_instances_runs_with_no_listener(self):
        with Quorvel(["SYSLOGPORT=-1"]) as q:
            self.assertTrue(q.start().wait_started(), q.stderr)
            time.sleep(0.3)
            self.assertIsNone(q.proc.poll(), "the server keeps running")
            self.assertEqual(q.stop(), 0)
            self.assertEqual(q.stderr, [STARTED, STOPPED,
                                        "quorvel: received 0; written 0; dropped 0; mails 0 sent, 0 failed"])
            self.assertEqual(os.listdir(os.path.join(q.dir, "logs")), [])

    def test_the_binary_needs_only_system_libraries(self):
        linked = subprocess.run(["ldd", BINARY], capture_output=True, text=True, check=True).stdout
        if "libasan" in linked:
            self.skipTest("sanitizer builds link the sanitizer runtime")
        for lib in ("libstdc++", "libgcc_s"):
            self.assertNotIn(lib, linked)


if __name__ == "__main__":
    unittest.main()
