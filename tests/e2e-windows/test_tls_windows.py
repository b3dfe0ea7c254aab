"""TLS in quorvel.exe under Wine, on Schannel (GnuTLS and crypt32 underneath in Wine).

Alert mail goes to the Linux scenarios' servers, with their cases and checks. For syslog over
TLS the PEM files become a Schannel credential at start (the key imported through CryptoAPI, in
either PEM form) or the start fails with the reason. Wine's Schannel has no server side
(AcceptSecurityContext is missing): there a client's handshake fails, with the reason in the
operation log, while UDP is served on; on a Schannel that has one, the message arrives."""

import os
import socket
import ssl
import unittest

import winehost
from quorvel_e2e import free_port, mail_ini, send, sjis, wait_until
from test_mail_tls import CASES, Certificates, check, mail_lines, serve

LISTENING = sjis("待ち受けを開始しました : TLS 127.0.0.1 port ")
FAILED = sjis("TLS のハンドシェイクに失敗しました")


class WindowsTlsTest(winehost.WineTestCase):
    WORK = winehost.work_dir("e2e-windows-tls")

    @classmethod
    def setUpClass(cls):
        cls.certs = Certificates()
        cls.addClassCleanup(cls.certs.tmp.cleanup)
        super().setUpClass()

    def cert(self, name):
        return self.wine.windows_path(os.path.join(self.certs.dir, name))

    def test_schannel_mail_delivers_and_refuses_as_the_openssl_build(self):
        for n, case in enumerate(CASES):
            with self.subTest(case[0]):
                sink, relay = serve(self, self.certs, case[1])
                syslog_port, app = free_port(), os.path.join(self.WORK, "mail%d" % n)
                proc = self.console(app, mail_ini(syslog_port, relay.port, extra=[
                    s.replace("{CA}", self.cert("ca.pem")) for s in case[2]]), QUORVEL_HOSTNAME="quorvel.test")
                log = os.path.join(app, "logs", "Quorvel.log")
                self.assertTrue(wait_until(lambda: len(winehost.log_lines(log)) >= 7, 60), "quorvel.exe did not start")
                send([b"<11>an error"], syslog_port)
                lines = lambda: mail_lines(winehost.log_lines(log))  # noqa: E731
                self.assertTrue(wait_until(lambda: len(lines()) >= (2 if case[3] else 1), 60), winehost.log_lines(log))
                check(self, case, sink, relay, lines())
                proc.kill()

    def start_server(self, app, key):
        udp, tls = free_port(), free_port()
        proc = self.console(app, ["SYSLOGPORT=%d" % udp, "SERVERIPADDRESS=127.0.0.1", "RECVLOGNAME=recv.log",
                                  "SYSLOGTLSPORT=%d" % tls, "TLSCERTFILE=" + self.cert("server.pem"),
                                  "TLSKEYFILE=" + self.cert(key), "TLSCLIENTCAFILE=" + self.cert("ca.pem")])
        return proc, udp, tls, os.path.join(app, "logs", "Quorvel.log")

    def test_server_keys_at_start(self):
        for key, refusal in (("server-pkcs1.key", None), ("client.key", b"does not belong to the certificate"),
                             ("ec.key", b"on Windows the key must be an RSA key")):
            with self.subTest(key):
                app = os.path.join(self.WORK, key)
                proc, _, _, log = self.start_server(app, key)
                if refusal is None:
                    self.wait_log(log, LISTENING)
                    continue
                proc.wait(timeout=60)
                with open(os.path.join(app, "out"), "rb") as f:
                    self.assertIn(refusal, f.read())

    def test_server_handshake(self):
        app = os.path.join(self.WORK, "app")
        _, udp, tls, log = self.start_server(app, "server.key")
        recv = os.path.join(app, "logs", "recv.log")
        self.wait_log(log, LISTENING)
        context = ssl.create_default_context(cafile=self.certs.ca)
        context.load_cert_chain(os.path.join(self.certs.dir, "client.pem"), os.path.join(self.certs.dir, "client.key"))
        try:
            with socket.create_connection(("127.0.0.1", tls), timeout=30) as raw, \
                    context.wrap_socket(raw, server_hostname="127.0.0.1") as s:
                s.sendall(b"<134>over TLS\n")
        except (ssl.SSLError, OSError):
            self.wait_log(log, FAILED, timeout=30)
            self.assertIn(b"handshake failed 0x80090302", [l for l in winehost.log_lines(log) if FAILED in l][0])
            send([b"<134>still served"], udp)
            self.assertTrue(wait_until(lambda: any(l.endswith(b"still served") for l in winehost.log_lines(recv)), 30))
            return
        self.assertTrue(wait_until(lambda: any(l.endswith(b"over TLS") for l in winehost.log_lines(recv)), 30))


if __name__ == "__main__":
    unittest.main()
