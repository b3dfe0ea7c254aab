"""Alert mail over TLS end to end: a real SMTP server (aiosmtpd) with STARTTLS
and with implicit TLS, certificates of a private authority made here with the
openssl command, the password checked by the server inside the tunnel, the
plain-text part of the connection captured by a relay, and the refusals a
user meets (wrong name, untrusted certificate, STARTTLS missing)."""

import base64
import logging
import os
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

from quorvel_e2e import Quorvel, cram_md5_auth, entries, free_port, send, sjis

ACCOUNT, PASSWORD = b"alerts", b"tunnel-only-pw"
SENT = sjis("宛のメール送信を行いました。(error)")
FAILED = sjis("宛のメール送信に失敗しました。")
TLS_FAILED = sjis("メールサーバーとの TLS 接続に失敗しました : ")
NO_STARTTLS = sjis("メールサーバーが STARTTLS を提供していないため")
TIMED_OUT = sjis("メール送信が制限時間内に終わりませんでした : ")
PLAIN_PASSWORD = sjis("警告 : SMTPTLS=NONE のため")


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


class Certificates:
    """A private authority with two server certificates (one for 127.0.0.1
    and a name, one for other names only) and a stranger's self-signed one."""

    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="quorvel-tls-")
        d = self.dir = self.tmp.name
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
                "-days", "2", "-subj", "/CN=Quorvel Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=d)
        for name, san in (("server", "IP:127.0.0.1,DNS:mail.quorvel.test"),
                          ("wrongname", "IP:127.0.0.9,DNS:other.quorvel.test")):
            openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
                    "-subj", "/CN=" + name, cwd=d)
            with open(os.path.join(d, name + ".ext"), "w") as f:
                f.write("subjectAltName=%s\nextendedKeyUsage=serverAuth\n" % san)
            openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                    "-out", name + ".pem", "-days", "2", "-extfile", name + ".ext", cwd=d)
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "stranger.key", "-out", "stranger.pem",
                "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", cwd=d)
        self.ca = os.path.join(d, "ca.pem")

    def context(self, name, ask_client_cert=False):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(os.path.join(self.dir, name + ".pem"), os.path.join(self.dir, name + ".key"))
        if ask_client_cert:
            # Asked for, not required: the client goes on without one.
            ctx.load_verify_locations(self.ca)
            ctx.verify_mode = ssl.CERT_OPTIONAL
        return ctx


def over_tls(server):
    """aiosmtpd marks a STARTTLS session only; implicit TLS shows on the transport."""
    return server.session.ssl is not None or server.transport.get_extra_info("ssl_object") is not None


class Sink:
    """Takes the mails; checks CRAM-MD5 against Python's own HMAC and AUTH
    LOGIN against the password, and notes whether each AUTH came over TLS."""

    def __init__(self):
        self.mails, self.auth_over_tls, self.versions = [], [], []

    async def auth_CRAM__MD5(self, server, args):
        self.auth_over_tls.append(over_tls(server))
        return await cram_md5_auth(server, len(self.mails), ACCOUNT, PASSWORD)

    async def handle_DATA(self, server, session, envelope):
        self.mails.append((envelope.rcpt_tos, over_tls(server), session.auth_data))
        tls = server.transport.get_extra_info("ssl_object")
        self.versions.append(tls.version() if tls else None)
        return "250 queued"


def check_login(sink):
    def authenticator(server, session, envelope, mechanism, data):
        sink.auth_over_tls.append(over_tls(server))
        return AuthResult(success=mechanism == "LOGIN" and data.login == ACCOUNT and data.password == PASSWORD,
                          handled=False, auth_data=data)
    return authenticator


class Relay:
    """A TCP relay in front of the SMTP server that records what the client
    sends. The first `silent` connections are accepted and never answered."""

    def __init__(self, target_port, silent=0, trickle=0):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.target_port, self.silent, self.trickle = target_port, silent, trickle
        self.captured, self.connections, self.open = [], 0, []
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            self.open.append(client)
            if self.connections <= self.silent:
                continue
            if self.connections <= self.silent + self.trickle:
                threading.Thread(target=self.trickle_to, args=(client,), daemon=True).start()
                continue
            upstream = socket.create_connection(("127.0.0.1", self.target_port))
            self.open.append(upstream)
            record = []
            self.captured.append(record)
            threading.Thread(target=self.pump, args=(client, upstream, record), daemon=True).start()
            threading.Thread(target=self.pump, args=(upstream, client, None), daemon=True).start()

    @staticmethod
    def trickle_to(client):
        """One byte of a greeting that never ends, every half second."""
        try:
            for _ in range(60):
                client.sendall(b"2")
                time.sleep(0.5)
        except OSError:
            pass

    @staticmethod
    def pump(src, dst, record):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                if record is not None:
                    record.append(data)
                dst.sendall(data)
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def client_bytes(self, index=0):
        return b"".join(self.captured[index])

    def close(self):
        self.listener.close()
        for s in self.open:
            s.close()


class MailTlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        logging.getLogger("mail.log").setLevel(logging.CRITICAL)
        cls.certs = Certificates()

    @classmethod
    def tearDownClass(cls):
        cls.certs.tmp.cleanup()

    def smtp(self, sink, cert="server", implicit=False, starttls=True, authenticator=None, ask_client_cert=False):
        """A running aiosmtpd on a free port: implicit TLS, STARTTLS required
        (no command but EHLO, STARTTLS and QUIT before the handshake), or
        plain text without the STARTTLS offer."""
        kwargs = dict(authenticator=authenticator or (lambda *a: AuthResult(success=False)))
        if implicit:
            # aiosmtpd counts only STARTTLS as encryption for AUTH; the sink
            # checks the transport itself.
            kwargs.update(ssl_context=self.certs.context(cert, ask_client_cert), auth_require_tls=False)
        elif starttls:
            kwargs.update(tls_context=self.certs.context(cert, ask_client_cert), require_starttls=True)
        else:
            kwargs["auth_require_tls"] = False
        for _ in range(20):
            with socket.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                port = probe.getsockname()[1]
            # server_hostname: without it aiosmtpd asks the name service for
            # this machine's name.
            server = Controller(sink, hostname="127.0.0.1", port=port, server_hostname="sink.test", **kwargs)
            try:
                server.start()
            except (OSError, RuntimeError):
                continue
            self.addCleanup(server.stop)
            return server
        self.fail("no free TCP port for the SMTP server")

    def relay(self, port, **kwargs):
        relay = Relay(port, **kwargs)
        self.addCleanup(relay.close)
        return relay

    def run_alert(self, mail_port, settings, addresses=("ops@example.org",), mails=1, timeout=20):
        """Quorvel with the TLS settings, one datagram holding the keyword,
        and the operation-log lines about mail."""
        syslog_port = free_port()
        with Quorvel(["SYSLOGPORT=%d" % syslog_port, "RECVLOGNAME=recv.log",
                      "MAILSERVER=127.0.0.1", "MAILSERVERPORT=%d" % mail_port,
                      "MAILFROM=quorvel@example.org", "MAILTO=ops@example.org"] + settings +
                     ["KEYWORDLISTSTART", " ".join(["error"] + list(addresses)), "KEYWORDLISTEND"]) as q:
            self.assertTrue(q.start().wait_started(), q.stderr)
            started = time.monotonic()
            send([b"<11>an error"], syslog_port)
            q.wait_for_lines("Quorvel.log", 7 + mails, timeout=timeout)
            elapsed = time.monotonic() - started
            self.assertEqual(q.stop(), 0)
            lines = [l for l in entries(q.read("Quorvel.log"))]
        return lines, elapsed

    @staticmethod
    def mail_lines(lines):
        return [l for l in lines if sjis("宛のメール送信") in l or sjis("メールサーバー") in l
                or sjis("メール送信が制限") in l]

    def test_starttls_login_verified_against_the_private_ca_with_no_secret_before_the_handshake(self):
        sink = Sink()
        server = self.smtp(sink, authenticator=check_login(sink))
        relay = self.relay(server.port)
        lines, _ = self.run_alert(relay.port, ["SMTPTLS=STARTTLS", "SMTPTLSCAFILE=" + self.certs.ca,
                                               "SMTPAUTH=LOGIN", "SMTPAUTHID=alerts",
                                               "SMTPAUTHPASS=" + PASSWORD.decode()])
        self.assertEqual(self.mail_lines(lines), [b" 127.0.0.1 " + sjis("へ ops@example.org ") + SENT])
        self.assertEqual(sink.mails, [(["ops@example.org"], True, LoginPassword(ACCOUNT, PASSWORD))])
        self.assertEqual(sink.auth_over_tls, [True])
        self.assertIn(sink.versions[0], ("TLSv1.2", "TLSv1.3"))
        wire = relay.client_bytes()
        plain, _, tunnel = wire.partition(b"STARTTLS\r\n")
        self.assertRegex(plain, rb"^EHLO [^\r\n]+\r\n$", "nothing but EHLO before STARTTLS")
        self.assertEqual(tunnel[:1], b"\x16", "a TLS handshake record follows STARTTLS at once")
        for secret in (PASSWORD, base64.b64encode(PASSWORD), base64.b64encode(ACCOUNT), b"AUTH"):
            self.assertNotIn(secret, wire)
        self.assertFalse(any(PLAIN_PASSWORD in l for l in lines))

    def test_implicit_tls_cram_md5_verified_by_the_server(self):
        sink = Sink()
        server = self.smtp(sink, implicit=True)
        relay = self.relay(server.port)
        lines, _ = self.run_alert(relay.port, ["SMTPTLS=TLS", "SMTPTLSVERIFY=1", "SMTPTLSCAFILE=" + self.certs.ca,
                                               "SMTPAUTH=CRAM-MD5", "SMTPAUTHID=alerts",
                                               "SMTPAUTHPASS=" + PASSWORD.decode()])
        self.assertEqual(self.mail_lines(lines), [b" 127.0.0.1 " + sjis("へ ops@example.org ") + SENT])
        self.assertEqual([m[:2] for m in sink.mails], [(["ops@example.org"], True)])
        self.assertEqual(sink.mails[0][2].login, ACCOUNT)
        self.assertEqual(sink.auth_over_tls, [True])
        self.assertEqual(relay.client_bytes()[:1], b"\x16", "TLS from the first byte")

    def test_refusals_leave_no_mail_and_say_why(self):
        """Each case: the server's setup, the settings, and the start of the
        reason line that follows the failure line."""
        cases = [
            ("certificate for other names", dict(cert="wrongname"),
             ["SMTPTLS=STARTTLS", "SMTPTLSCAFILE=" + self.certs.ca], TLS_FAILED),
            ("certificate of an authority not trusted", dict(cert="stranger", implicit=True),
             ["SMTPTLS=TLS", "SMTPTLSCAFILE=" + self.certs.ca], TLS_FAILED),
            ("private authority without the CA file", dict(implicit=True), ["SMTPTLS=TLS"], TLS_FAILED),
            ("STARTTLS required but not offered", dict(starttls=False),
             ["SMTPTLS=STARTTLS", "SMTPTLSCAFILE=" + self.certs.ca], NO_STARTTLS),
        ]
        for name, server_kind, settings, reason in cases:
            with self.subTest(name):
                sink = Sink()
                server = self.smtp(sink, authenticator=check_login(sink), **server_kind)
                relay = self.relay(server.port)
                lines, _ = self.run_alert(relay.port, settings + ["SMTPAUTH=LOGIN", "SMTPAUTHID=alerts",
                                                                  "SMTPAUTHPASS=" + PASSWORD.decode()], mails=2)
                mail = self.mail_lines(lines)
                self.assertEqual(mail[0], b" 127.0.0.1 " + sjis("へ ops@example.org ") + FAILED)
                self.assertTrue(mail[1].startswith(b" " + reason), mail[1])
                self.assertEqual(len(mail), 2)
                self.assertEqual(sink.mails, [])
                self.assertEqual(sink.auth_over_tls, [])
                for secret in (PASSWORD, base64.b64encode(PASSWORD), b"AUTH"):
                    self.assertNotIn(secret, relay.client_bytes())

    def test_verification_off_accepts_a_stranger_certificate(self):
        sink = Sink()
        server = self.smtp(sink, cert="stranger", implicit=True)
        lines, _ = self.run_alert(server.port, ["SMTPTLS=TLS", "SMTPTLSVERIFY=0"])
        self.assertEqual(self.mail_lines(lines), [b" 127.0.0.1 " + sjis("へ ops@example.org ") + SENT])
        self.assertEqual(len(sink.mails), 1)

    def test_silent_and_trickling_servers_cost_one_deadline_and_later_addresses_get_their_mail(self):
        sink = Sink()
        server = self.smtp(sink, starttls=False)
        relay = self.relay(server.port, silent=1, trickle=1)
        lines, elapsed = self.run_alert(relay.port, ["MAILTIMEOUT=2"],
                                        addresses=("a@example.org", "b@example.org", "c@example.org"), mails=5)
        self.assertEqual(self.mail_lines(lines), [
            b" 127.0.0.1 " + sjis("へ a@example.org ") + FAILED,
            b" " + TIMED_OUT + b"mail deadline reached",
            b" 127.0.0.1 " + sjis("へ b@example.org ") + FAILED,
            b" " + TIMED_OUT + b"mail deadline reached",
            b" 127.0.0.1 " + sjis("へ c@example.org ") + SENT,
        ])
        self.assertEqual([m[0] for m in sink.mails], [["c@example.org"]])
        self.assertLess(elapsed, 2 * 2 + 3)

    def test_password_in_clear_is_warned_about_once_at_start(self):
        cases = [
            ("remote server, AUTH, no TLS", ["MAILSERVER=192.0.2.25", "SMTPAUTH=LOGIN"], 1),
            ("remote server, AUTH, STARTTLS", ["MAILSERVER=192.0.2.25", "SMTPAUTH=LOGIN", "SMTPTLS=STARTTLS"], 0),
            ("loopback server, AUTH, no TLS", ["MAILSERVER=127.0.0.1", "SMTPAUTH=CRAM-MD5"], 0),
            ("remote server, no AUTH", ["MAILSERVER=192.0.2.25"], 0),
        ]
        for name, settings, warnings in cases:
            with self.subTest(name):
                # No datagram is sent: nothing is mailed, nothing leaves this machine.
                with Quorvel(["SYSLOGPORT=%d" % free_port(), "MAILTO=ops@example.org",
                              "SMTPAUTHID=alerts", "SMTPAUTHPASS=x"] + settings +
                             ["KEYWORDLISTSTART", "error", "KEYWORDLISTEND"]) as q:
                    self.assertTrue(q.start().wait_started(), q.stderr)
                    self.assertEqual(q.stop(), 0)
                    log = entries(q.read("Quorvel.log"))
                self.assertEqual(sum(PLAIN_PASSWORD in l for l in log), warnings)


if __name__ == "__main__":
    unittest.main()
