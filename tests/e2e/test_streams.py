"""Reception over TCP and TLS: each message gives the line the same bytes give as a datagram; order
per connection; a locked log holds senders back without a loss; allow-list, connection limit and
idle time-out."""

import concurrent.futures
import os
import socket
import ssl
import struct
import subprocess
import time
import unittest
import warnings

from quorvel_e2e import Quorvel, backlog, free_port, mail_ini, mail_sink, send, sjis, wait_until
from test_mail_tls import Certificates
from test_no_loss import locked

LIMIT = 32769  # the largest datagram, and so the largest stream message


def octet(message):
    return b"%d %s" % (len(message), message)


def connect(port, host="127.0.0.1", source=None):
    return socket.create_connection((host, port), 30, (source, 0) if source else None)


def closed_by_server(s, within=5):
    """True when the server closes the connection (a read of nothing) within the time."""
    s.settimeout(within)
    try:
        return s.recv(1) == b""
    except (ConnectionResetError, socket.timeout) as e:
        return isinstance(e, ConnectionResetError)


def stream(port, data, host="127.0.0.1", chunk=None):
    """Sends the bytes on one connection (in pieces of chunk bytes) and closes it cleanly; returns
    once the server has read them all and closed its side."""
    with connect(port, host) as s:
        for i in range(0, len(data), chunk or len(data) or 1):
            s.sendall(data[i:i + (chunk or len(data))])
        s.shutdown(socket.SHUT_WR)
        assert closed_by_server(s, 30)


def stop_line(q):
    return next(l for l in q.stderr if l.startswith("quorvel: received"))


class StreamTest(unittest.TestCase):
    def start(self, *extra):
        self.udp, self.tcp = free_port(), free_port()
        q = Quorvel(["SYSLOGPORT=%d" % self.udp, "SYSLOGTCPPORT=%d" % self.tcp, "RECVLOGNAME=recv.log", *extra]).up()
        self.addCleanup(q.close)
        return q

    def test_every_framing_gives_the_line_of_the_same_datagram_and_ten_connections_each_arrive_in_order(self):
        q = self.start("CNVCTRLCODE=^")
        # Steps of (what is sent, how many lines it gives), by UDP and by TCP in turn: the lines of
        # a group must be equal.
        def logger(port, *words):
            subprocess.run(["logger", "--rfc5424=notime,notq,nohost", "-t", "probe", "--server", "127.0.0.1", "--port",
                            str(port), *words, "over logger"], check=True)
        control = b"<13>tab\tand \x01 byte"
        steps = [
            (lambda: logger(self.udp, "--udp"), 1), (lambda: logger(self.tcp, "--tcp"), 1),
            (lambda: logger(self.tcp, "--tcp", "--octet-count"), 1),
            (lambda: send([control], self.udp), 1), (lambda: stream(self.tcp, control + b"\r\n", chunk=1), 1),
            (lambda: stream(self.tcp, octet(control) + control + b"\n", chunk=3), 2),
            (lambda: send([b"<14>from ::1"], self.udp, "::1"), 1), (lambda: stream(self.tcp, octet(b"<14>from ::1"), "::1"), 1),
            # Cut at the largest datagram; the frame after a long one is whole.
            (lambda: send([b"a" * LIMIT], self.udp), 1),
            (lambda: stream(self.tcp, b"a" * (LIMIT + 5000) + b"\n" + octet(b"a" * LIMIT) + octet(b"a" * (LIMIT + 9)),
                            chunk=7000), 3),
            # A frame the close cuts short is one line still.
            (lambda: send([b"<13>cut sh"], self.udp), 1), (lambda: stream(self.tcp, b"20 <13>cut sh"), 1)]
        expected, per, conns = 0, 1000, 10
        for step, count in steps:
            step()
            expected += count
            q.wait_for_lines("recv.log", expected)

        def sender(c):
            data = b"".join((octet if c % 2 else lambda m: m + b"\n")(b"<13>conn %d seq %04d" % (c, i)) for i in range(per))
            stream(self.tcp, data, chunk=997 + c)
        with concurrent.futures.ThreadPoolExecutor(conns) as pool:
            list(pool.map(sender, range(conns)))
        lines = q.wait_for_lines("recv.log", expected + per * conns)
        self.assertEqual(len(lines), expected + per * conns)
        for c in range(conns):
            mine = [l for l in lines if l.startswith(b"127.0.0.1 <13>conn %d " % c)]
            self.assertEqual(mine, [b"127.0.0.1 <13>conn %d seq %04d" % (c, i) for i in range(per)])
        self.assertEqual(len(set(lines[:3])), 1, lines[:3])
        self.assertTrue(lines[0].startswith(b"127.0.0.1 <13>1 - - probe - - - over logger"), lines[0])
        self.assertEqual(lines[3:7], [b"127.0.0.1 <13>tab^and ^ byte"] * 4)
        self.assertEqual(lines[7:9], [b"::1 <14>from ::1"] * 2)
        self.assertEqual(lines[9:13], [b"127.0.0.1 " + b"a" * LIMIT] * 4)
        self.assertEqual(lines[13:15], [b"127.0.0.1 <13>cut sh"] * 2)
        self.assertEqual(q.stop(), 0)
        self.assertIn("; tcp 10,010, tls 0; cut 2; truncated 1; connections 0 open, 17 accepted, 0 refused, 0 failed", stop_line(q))
        self.assertIn(b"127.0.0.1 " + sjis("接続が切れ、途中までのメッセージを 1 行として記録しました"), q.log())
        self.assertEqual(sum(b"127.0.0.1 " + sjis("最大長を超えたメッセージを切り詰め") in l for l in q.log()), 1, "once a minute")

    def test_a_locked_log_holds_the_senders_back_and_loses_nothing(self):
        sink, smtp = mail_sink(self)
        q = self.start("STATSINTERVAL=3600", *mail_ini(0, smtp.port, "alert")[2:])
        send([b"<13>first"], self.udp)
        q.wait_for_lines("recv.log", 1)
        # 20,000 messages of 300 bytes at 2,000 a second: more than the line queue holds. One
        # late in the lock holds the keyword: its mail waits for its line.
        count, rate = 20000, 2000
        messages = [b"<13>seq %05d " % i + (b"alert " if i == 16000 else b"") + b"x" * 286 for i in range(count)]
        sink.on_mail_from = lambda: b"127.0.0.1 " + messages[16000] in q.read("recv.log")

        def sender():
            with connect(self.tcp) as s:
                start = time.monotonic()
                for i in range(0, count, 20):
                    time.sleep(max(0.0, start + i / rate - time.monotonic()))
                    s.sendall(b"".join(octet(m) for m in messages[i:i + 20]))
                s.shutdown(socket.SHUT_WR)
                closed_by_server(s, 60)
        with locked(q.path("recv.log")):
            locked_at = time.monotonic()
            sending = concurrent.futures.ThreadPoolExecutor(1).submit(sender)
            # While the lock holds the lines back, the queue fills and the server stops reading; a
            # writer that passes over a long-held lock instead needs no pause.
            self.assertTrue(wait_until(lambda: backlog(self.tcp, "tcp") > 64 << 10 or len(q.read("recv.log")) > 1 << 20, 10),
                            "the server stopped reading")
            # Datagrams cannot be held back: they are read on, queued or dropped and counted.
            send([b"<13>udp %03d" % i for i in range(100)], self.udp)
            time.sleep(max(0.0, 10 - (time.monotonic() - locked_at)))
        sending.result(90)
        # The datagrams count among the lines: wait for the stream's last one.
        self.assertTrue(wait_until(lambda: b"127.0.0.1 " + messages[-1] + b"\r\n" in q.read("recv.log")))
        lines = q.log("recv.log")
        self.assertEqual([l for l in lines[1:] if b"<13>seq " in l], [b"127.0.0.1 " + m for m in messages])
        self.assertEqual(q.stop(), 0)
        # Every datagram written or counted as dropped.
        self.assertIn("quorvel: received 20,101; written {:,}; dropped {};".format(len(lines), 20101 - len(lines)),
                      stop_line(q))
        self.assertEqual([m["noted"] for m in sink.mails], [True], "the mail went after its line was written")
        self.assertIn(b"127.0.0.1 said", sink.mails[0]["raw"])

    def test_refusals_limit_and_idle_time_out_while_udp_is_served(self):
        q = self.start("ALLOWEDSENDERS=127.0.0.1", "TCPMAXCONNECTIONS=2", "TCPIDLETIMEOUT=2")
        send([b"<13>from the stranger"], self.udp, source="127.0.0.2")
        with connect(self.tcp, source="127.0.0.2") as s:
            self.assertTrue(closed_by_server(s), "not allowed: closed at accept")
        held = [connect(self.tcp) for _ in range(2)]
        [s.sendall(b"<13>held %d\n" % i) for i, s in enumerate(held)]
        q.wait_for_lines("recv.log", 2)
        with connect(self.tcp) as s:
            self.assertTrue(closed_by_server(s), "over the limit: closed at accept")
        send([b"<13>udp meanwhile"], self.udp)
        self.assertEqual(sorted(q.wait_for_lines("recv.log", 3)), [b"127.0.0.1 <13>held 0", b"127.0.0.1 <13>held 1", b"127.0.0.1 <13>udp meanwhile"])
        start = time.monotonic()
        self.assertTrue(all(closed_by_server(s, 10) for s in held), "idle connections are closed")
        self.assertGreater(time.monotonic() - start, 1.0)
        [s.close() for s in held]
        # A peer that resets is a failed connection, logged with the cause.
        with connect(self.tcp) as s:
            s.sendall(b"<13>then a reset\n")
            q.wait_for_lines("recv.log", 4)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.assertTrue(wait_until(lambda: any(sjis("接続を閉じました : 受信エラー ") in l for l in q.log())))
        self.assertEqual(q.stop(), 0)
        self.assertIn("connections 0 open, 3 accepted, 2 refused, 1 failed; senders refused 1", stop_line(q))
        log = q.log()
        self.assertEqual([b"127.0.0.2" in l for l in log if sjis("ALLOWEDSENDERS にない送信元") in l], [True], "once a minute")
        self.assertEqual(sum(sjis("接続数が上限のため") in l for l in log), 1)
        self.assertEqual(sum(l.startswith(b"127.0.0.1 " + sjis("接続を閉じました : 一定時間受信がありませんでした"))
                             for l in log), 2)


class TlsStreamTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = Certificates()
        cls.addClassCleanup(cls.certs.tmp.cleanup)

    def files(self, key="server.key", ca="ca.pem"):
        return ["TLS%sFILE=%s/%s" % (k, self.certs.dir, f) for k, f in (("CERT", "server.pem"), ("KEY", key), ("CLIENTCA", ca))]

    def test_a_port_taken_or_unusable_tls_files_fail_the_start_with_the_reason(self):
        udp, tcp = free_port(), free_port()
        with socket.socket() as taken:
            taken.bind(("0.0.0.0", tcp))
            taken.listen()
            for extra, reason in (
                    (["SYSLOGTCPPORT=%d" % tcp], "cannot listen on TCP 0.0.0.0 port %d (bind): Address already in use" % tcp),
                    (["SYSLOGTLSPORT=%d" % tcp, "TLSCERTFILE=/nonexistent/server.pem", "TLSKEYFILE=/nonexistent/server.key"],
                     "cannot load the TLS certificate or key: "),
                    (["SYSLOGTLSPORT=%d" % tcp] + self.files(key="client.key"), "or key: the private key %s/client.key does not "
                     "belong to the certificate %s/server.pem" % (self.certs.dir, self.certs.dir)),
                    (["SYSLOGTLSPORT=%d" % tcp] + self.files(ca="missing.pem"),
                     "or key: cannot load the client authorities %s/missing.pem: " % self.certs.dir)):
                with Quorvel(["SYSLOGPORT=%d" % udp, *extra]) as q:
                    self.assertEqual(q.start().wait_exit(), 1)
                    self.assertTrue(any(l.startswith("quorvel: instance 1 cannot start: ") and reason in l for l in q.stderr), q.stderr)

    def test_mutual_tls_gives_the_datagram_line_and_each_refusal_its_reason(self):
        udp, tls = free_port(), free_port()
        q = Quorvel(["SYSLOGPORT=%d" % udp, "SYSLOGTLSPORT=%d" % tls, "RECVLOGNAME=recv.log", *self.files()]).up()
        self.addCleanup(q.close)
        self.assertIn(", TLS 0.0.0.0 port %d" % tls, "\n".join(q.stderr))

        def client(with_certificate, source=None, version=None):
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.load_verify_locations(self.certs.ca)
            if with_certificate:
                ctx.load_cert_chain(os.path.join(self.certs.dir, "client.pem"), os.path.join(self.certs.dir, "client.key"))
            if version:  # OpenSSL 3 offers TLS 1.1 only so
                ctx.minimum_version = ctx.maximum_version = version
                ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
            return ctx.wrap_socket(connect(tls, source=source), server_hostname="127.0.0.1")
        message = b"<13>over TLS"
        send([message], udp)
        with client(True) as s:
            s.sendall(octet(message) + message + b"\n")
            s.unwrap()
        q.wait_for_lines("recv.log", 3)
        for _ in range(2):
            with self.assertRaises((ssl.SSLError, ConnectionError)):
                with client(False) as s:
                    s.sendall(b"<13>never\n")
                    if s.recv(1) == b"":
                        raise ConnectionError("closed without a word")
        with self.assertRaises(ssl.SSLError), warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            client(True, "127.0.0.2", ssl.TLSVersion.TLSv1_1)
        connect(tls, source="127.0.0.3").close()  # a port probe
        failed = sjis("TLS のハンドシェイクに失敗しました (送信元ごとに 1 分に 1 行まで) : ")
        reasons = [b"127.0.0.1 " + failed + b"no client certificate", b"127.0.0.2 " + failed + b"unsupported protocol",
                   b"127.0.0.3 " + failed + b"connection closed during the handshake"]
        self.assertTrue(wait_until(lambda: reasons[2] in q.log()), q.log())
        self.assertEqual(q.stop(), 0)
        self.assertIn("; tcp 0, tls 2; connections 0 open, 5 accepted, 0 refused, 4 failed", stop_line(q))
        self.assertEqual([l for l in q.log() if failed in l], reasons, "once a minute per peer")
        self.assertEqual(q.log("recv.log"), [b"127.0.0.1 " + message] * 3)
