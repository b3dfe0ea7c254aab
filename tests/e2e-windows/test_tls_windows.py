"""Syslog over TLS into quorvel.exe under Wine: the PEM files become a Schannel credential at
start and the TLS port listens; an EC key fails the start with the reason. Wine's Schannel has
no server side (AcceptSecurityContext is missing), so there a client's handshake must fail
with the reason in the operation log while UDP goes on being served; on a Schannel that has
one, the message must arrive."""

import os
import socket
import ssl
import subprocess
import tempfile
import unittest

import winehost
from quorvel_e2e import free_port, send, sjis, wait_until

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
WORK = os.environ.get("QUORVEL_E2E_DIR", os.path.join(os.path.dirname(os.path.abspath(winehost.EXE)), "e2e-windows-tls-server"))
LISTENING = sjis("待ち受けを開始しました : TLS 127.0.0.1 port ")
FAILED = sjis("TLS のハンドシェイクに失敗しました")
WINE_NO_SERVER = b"0x80090302"


class WindowsTlsServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.tmp.cleanup)
        cls.certs = os.path.join(cls.tmp.name, "certs")
        subprocess.run(["sh", os.path.join(ROOT, "tests", "platform", "make-tls-certs.sh"), cls.certs, "rsa"], check=True)
        cls.wine = winehost.WinePrefix(os.path.join(WORK, "wine"))
        cls.wine.start()

    @classmethod
    def tearDownClass(cls):
        cls.wine.stop()

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

    def test_pem_files_listener_and_handshake(self):
        app = os.path.join(WORK, "app")
        proc, udp, tls = self.start(app, "server.key")
        log = os.path.join(app, "logs", "Quorvel.log")
        self.assertTrue(wait_until(lambda: any(LISTENING in l for l in winehost.log_lines(log)), 60),
                        winehost.log_lines(log))
        context = ssl.create_default_context(cafile=os.path.join(self.certs, "ca.pem"))
        context.load_cert_chain(os.path.join(self.certs, "client.pem"), os.path.join(self.certs, "client.key"))
        try:
            with socket.create_connection(("127.0.0.1", tls), timeout=30) as raw, \
                    context.wrap_socket(raw, server_hostname="127.0.0.1") as s:
                s.sendall(b"<134>over TLS\n")
            shaken = True
        except (ssl.SSLError, OSError):
            shaken = False
        recv = os.path.join(app, "logs", "recv.log")
        if shaken:
            self.assertTrue(wait_until(lambda: any(l.endswith(b"over TLS") for l in winehost.log_lines(recv)), 30))
            return
        self.assertTrue(wait_until(lambda: any(FAILED in l for l in winehost.log_lines(log)), 30), winehost.log_lines(log))
        failure = [l for l in winehost.log_lines(log) if FAILED in l][0]
        self.assertIn(WINE_NO_SERVER, failure)
        send([b"<134>still served"], udp)
        self.assertTrue(wait_until(lambda: any(l.endswith(b"still served") for l in winehost.log_lines(recv)), 30))

    def test_an_ec_key_fails_the_start_with_the_reason(self):
        app = os.path.join(WORK, "app-ec")
        proc, _, _ = self.start(app, "ec.key")
        proc.wait(timeout=60)
        self.assertNotEqual(proc.returncode, 0)
        with open(os.path.join(app, "out"), "rb") as f:
            self.assertIn(b"on Windows the key must be an RSA key", f.read())


if __name__ == "__main__":
    unittest.main()
