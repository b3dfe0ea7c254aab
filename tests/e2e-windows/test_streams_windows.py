"""TCP reception of quorvel.exe under Wine: the accepts and reads that come through the window
messages of the socket notifications, with the Linux scenarios' framings, order and limits."""

import os
import threading
import time
import unittest

import winehost
from quorvel_e2e import free_port, send, sjis, wait_until
from test_streams import closed_by_server, connect, octet, stream


class WindowsStreamTest(winehost.WineTestCase):
    WORK = winehost.work_dir("e2e-windows-tcp")

    def test_framings_order_limit_and_idle_time_out(self):
        udp, tcp, app = free_port(), free_port(), os.path.join(self.WORK, "app")
        self.console(app, ["SYSLOGPORT=%d" % udp, "SYSLOGTCPPORT=%d" % tcp, "RECVLOGNAME=recv.log",
                           "TCPMAXCONNECTIONS=2", "TCPIDLETIMEOUT=2", "ALLOWEDSENDERS=127.0.0.1, ::1"])
        received, log = os.path.join(app, "logs", "recv.log"), os.path.join(app, "logs", "Quorvel.log")
        self.wait_log(log, sjis("待ち受けを開始しました : TCP [::]"))

        def lines(count):
            self.assertTrue(wait_until(lambda: len(winehost.log_lines(received)) >= count, 60), count)
            return winehost.log_lines(received)
        message = b"<13>tab\tand a CR LF"
        send([message], udp)
        lines(1)
        stream(tcp, message + b"\r\n", chunk=1)
        stream(tcp, octet(message) + message + b"\n", "::1", chunk=5)
        self.assertEqual(lines(4), [b"127.0.0.1 <13>taband a CR LF"] * 2 + [b"::1 <13>taband a CR LF"] * 2)

        def sender(c):
            stream(tcp, b"".join(octet(b"<13>conn %d seq %03d" % (c, i)) for i in range(200)), chunk=333)
        # Two at a time: the limit is two.
        for pair in ((0, 1), (2, 3)):
            threads = [threading.Thread(target=sender, args=(c,)) for c in pair]
            [t.start() for t in threads]
            [t.join() for t in threads]
        got = lines(804)[4:]
        for c in range(4):
            self.assertEqual([l for l in got if b"conn %d " % c in l],
                             [b"127.0.0.1 <13>conn %d seq %03d" % (c, i) for i in range(200)])

        held = [connect(tcp) for _ in range(2)]
        for s in held:
            s.sendall(b"<13>held\n")
        lines(806)
        with connect(tcp) as s:
            self.assertTrue(closed_by_server(s, 10), "over the limit: closed at accept")
        with connect(tcp, source="127.0.0.2") as s:
            self.assertTrue(closed_by_server(s, 10), "not allowed: closed at accept")
        send([b"<13>udp meanwhile"], udp)
        self.assertEqual(lines(807)[-1], b"127.0.0.1 <13>udp meanwhile")
        started = time.monotonic()
        self.assertTrue(all(closed_by_server(s, 20) for s in held), "idle connections are closed")
        self.assertGreater(time.monotonic() - started, 1.0)
        [s.close() for s in held]
        idle, full = sjis("接続を閉じました : 一定時間受信がありませんでした"), sjis("接続数が上限のため")
        self.wait_log(log, idle, 2, 10)
        self.assertEqual([sum(t in l for l in winehost.log_lines(log)) for t in (idle, full)], [2, 1])


if __name__ == "__main__":
    unittest.main()
