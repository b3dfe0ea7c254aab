"""Syslog over TLS into quorvel.exe under Wine. At start the PEM files become a Schannel
credential (the key imported through CryptoAPI, in either PEM form) or the start fails with the
reason. Wine's Schannel has no server side (AcceptSecurityContext is missing): there a client's
handshake fails, with the reason in the operation log, while UDP is served on; on a Schannel
that has one, the message arrives."""

import os
import socket
import ssl
import subprocess
import tempfile
import unittest

import winehost
from quorvel_e2e import free_port, send, sjis, wait_until

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
WORK = winehost.work_dir("e2e-windows-tls-server")
LISTENING = sjis("待ち受けを開始しました : TLS 127.0.0.1 port ")
FAILED = sjis("TLS のハンドシェイクに失敗しました")


class WindowsTlsServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.tmp.cleanup)
        cls.certs = os.path.join(cls.tmp.name, "certs")
        subprocess.run(["sh", os.path.join(ROOT, "tests", "platform", "make-tls-certs.sh"), cls.certs, "rsa"], check=True)
        cls.wine = winehost.started_prefix(cls, os.path.join(WORK, "wine"))

    def start(self, app, key):
        udp, tls = free_port(), free_port()
        cert = lambda name: self.wine.windows_path(os.path.join(self.certs, name))  # noqa: E731
        exe = winehost.make_app(app, ["SYSLOGPORT=%d" % udp, "SERVERIPADDRESS=127.0.0.1", "RECVLOGNAME=recv.log",
                                      "SYSLOGTLSPORT=%d" % tls, "TLSCERTFILE=" + cert("server.pem"),
                                      "TLSKEYFILE=" + cert(key), "TLSCLIENTCAFILE=" + cert("ca.pem")])
        out = open(os.path.join(app, "out"), "wb")
        self.addCleanup(out.close)
        proc = subprocess.Popen([winehost.WINE, exe, "-RUN"], cwd=app, stdout=out, stderr=subprocess.STDOUT,
                                env=dict(self.wine.env, WINEDEBUG="-all"), stdin=subprocess.DEVNULL)
        self.addCleanup(lambda: (proc.kill(), proc.wait()))
        return proc, udp, tls

    def test_keys_at_start(self):
        for key, refusal in (("server-pkcs1.key", None), ("client.key", b"does not belong to the certificate"),
                             ("ec.key", b"on Windows the key must be an RSA key")):
            with self.subTest(key):
                app = os.path.join(WORK, key)
                proc, _, _ = self.start(app, key)
                if refusal is None:
                    log = os.path.join(app, "logs", "Quorvel.log")
                    self.assertTrue(wait_until(lambda: any(LISTENING in l for l in winehost.log_lines(log)), 60))
                    continue
                proc.wait(timeout=60)
                with open(os.path.join(app, "out"), "rb") as f:
                    self.assertIn(refusal, f.read())

    def test_handshake(self):
        app = os.path.join(WORK, "app")
        _, udp, tls = self.start(app, "server.key")
        log, recv = os.path.join(app, "logs", "Quorvel.log"), os.path.join(app, "logs", "recv.log")
        self.assertTrue(wait_until(lambda: any(LISTENING in l for l in winehost.log_lines(log)), 60), winehost.log_lines(log))
        context = ssl.create_default_context(cafile=os.path.join(self.certs, "ca.pem"))
        context.load_cert_chain(os.path.join(self.certs, "client.pem"), os.path.join(self.certs, "client.key"))
        try:
            with socket.create_connection(("127.0.0.1", tls), timeout=30) as raw, \
                    context.wrap_socket(raw, server_hostname="127.0.0.1") as s:
                s.sendall(b"<134>over TLS\n")
        except (ssl.SSLError, OSError):
            self.assertTrue(wait_until(lambda: any(FAILED in l for l in winehost.log_lines(log)), 30))
            self.assertIn(b"handshake failed 0x80090302", [l for l in winehost.log_lines(log) if FAILED in l][0])
            send([b"<134>still served"], udp)
            self.assertTrue(wait_until(lambda: any(l.endswith(b"still served") for l in winehost.log_lines(recv)), 30))
            return
        self.assertTrue(wait_until(lambda: any(l.endswith(b"over TLS") for l in winehost.log_lines(recv)), 30))


if __name__ == "__main__":
    unittest.main()
