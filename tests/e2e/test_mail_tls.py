"""Alert mail over TLS end to end: a real SMTP server (aiosmtpd) with STARTTLS
and with implicit TLS, certificates of a private authority made here with the
openssl command, the password checked by the server inside the tunnel, the
plain-text part of the connection captured by a relay, and the refusals a
user meets (wrong name, untrusted certificate, STARTTLS missing)."""

import base64
import os
import ssl
import subprocess
import tempfile
import time
import unittest

from quorvel_e2e import ACCOUNT, PASSWORD, Quorvel, Relay, Sink, free_port, mail_ini, mail_line, send, sjis, smtp_server

OPS = "ops@example.org"
AUTH = ["SMTPAUTH=LOGIN", "SMTPAUTHID=alerts", "SMTPAUTHPASS=" + PASSWORD.decode()]
TLS_FAILED = sjis("メールサーバーとの TLS 接続に失敗しました : ")
NO_STARTTLS = sjis("メールサーバーが STARTTLS を提供していないため")
TIMED_OUT = b" " + sjis("メール送信が制限時間内に終わりませんでした : ") + b"mail deadline reached"
PLAIN_PASSWORD = sjis("警告 : SMTPTLS=NONE のため")


class Certificates:
    """A private authority with two server certificates (one for 127.0.0.1
    and a name, one for other names only) and a stranger's self-signed one."""

    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="quorvel-tls-")
        d = self.dir = self.tmp.name

        def openssl(*args):
            subprocess.run(["openssl", *args], cwd=d, check=True, capture_output=True)
        key = ["-newkey", "rsa:2048", "-nodes", "-days", "2"]
        openssl("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=Quorvel Test CA",
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        for name, san in (("server", "IP:127.0.0.1,DNS:mail.quorvel.test"),
                          ("wrongname", "IP:127.0.0.9,DNS:other.quorvel.test")):
            openssl("req", *key[:3], "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name)
            with open(os.path.join(d, name + ".ext"), "w") as f:
                f.write("subjectAltName=%s\nextendedKeyUsage=serverAuth\n" % san)
            openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                    "-out", name + ".pem", "-days", "2", "-extfile", name + ".ext")
        openssl("req", "-x509", *key, "-keyout", "stranger.key", "-out", "stranger.pem", "-subj", "/CN=127.0.0.1",
                "-addext", "subjectAltName=IP:127.0.0.1")
        self.ca = os.path.join(d, "ca.pem")

    def context(self, name="server", ask_client_cert=False):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(os.path.join(self.dir, name + ".pem"), os.path.join(self.dir, name + ".key"))
        if ask_client_cert:
            # Asked for, not required: the client goes on without one.
            ctx.load_verify_locations(self.ca)
            ctx.verify_mode = ssl.CERT_OPTIONAL
        return ctx


def mail_lines(lines):
    return [l for l in lines if any(sjis(t) in l for t in ("宛のメール送信", "メールサーバー", "メール送信が制限"))]


class MailTlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = Certificates()

    @classmethod
    def tearDownClass(cls):
        cls.certs.tmp.cleanup()

    def server(self, cert="server", implicit=False, starttls=True):
        sink = Sink()
        return sink, smtp_server(self, sink, self.certs.context(cert) if starttls else None, implicit)

    def run_alert(self, mail_port, settings, addresses=(OPS,), mails=1):
        """Quorvel with the settings, one datagram holding the keyword, and
        the operation-log lines about mail."""
        syslog_port = free_port()
        with Quorvel(mail_ini(syslog_port, mail_port, " ".join(("error",) + addresses), extra=settings)) as q:
            self.assertTrue(q.start().wait_started(), q.stderr)
            send([b"<11>an error"], syslog_port)
            q.wait_for_lines("Quorvel.log", 7 + mails, timeout=30)
            self.assertEqual(q.stop(), 0)
            return mail_lines(q.log())

    def test_starttls_and_implicit_tls_deliver_with_no_secret_in_clear(self):
        cases = [("STARTTLS, AUTH LOGIN", False, ["SMTPTLS=STARTTLS"] + AUTH),
                 ("implicit TLS, CRAM-MD5", True, ["SMTPTLS=TLS", "SMTPTLSVERIFY=1", "SMTPAUTH=CRAM-MD5"] + AUTH[1:])]
        for name, implicit, settings in cases:
            with self.subTest(name):
                sink, server = self.server(implicit=implicit)
                relay = Relay(self, server.port)
                lines = self.run_alert(relay.port, settings + ["SMTPTLSCAFILE=" + self.certs.ca])
                self.assertEqual(lines, [mail_line(OPS, "error")])
                self.assertEqual([(m["to"], m["tls"], m["auth"].login) for m in sink.mails], [([OPS], True, ACCOUNT)])
                self.assertEqual(sink.auth_over_tls, [True])
                self.assertIn(sink.mails[0]["version"], ("TLSv1.2", "TLSv1.3"))
                wire = relay.client_bytes()
                plain, _, tunnel = wire.partition(b"STARTTLS\r\n")
                if implicit:
                    self.assertEqual(wire[:1], b"\x16", "TLS from the first byte")
                else:
                    self.assertRegex(plain, rb"^EHLO [^\r\n]+\r\n$", "nothing but EHLO before STARTTLS")
                    self.assertEqual(tunnel[:1], b"\x16", "a TLS handshake record follows STARTTLS at once")
                for secret in (PASSWORD, base64.b64encode(PASSWORD), base64.b64encode(ACCOUNT), b"AUTH"):
                    self.assertNotIn(secret, wire)

    def test_refusals_leave_no_mail_and_say_why(self):
        ca = "SMTPTLSCAFILE=" + self.certs.ca
        cases = [("certificate for other names", dict(cert="wrongname"), ["SMTPTLS=STARTTLS", ca], TLS_FAILED),
                 ("certificate of an authority not trusted", dict(cert="stranger", implicit=True),
                  ["SMTPTLS=TLS", ca], TLS_FAILED),
                 ("private authority without the CA file", dict(implicit=True), ["SMTPTLS=TLS"], TLS_FAILED),
                 ("STARTTLS required but not offered", dict(starttls=False), ["SMTPTLS=STARTTLS", ca], NO_STARTTLS)]
        for name, server_kind, settings, reason in cases:
            with self.subTest(name):
                sink, server = self.server(**server_kind)
                relay = Relay(self, server.port)
                lines = self.run_alert(relay.port, settings + AUTH, mails=2)
                self.assertEqual(len(lines), 2)
                self.assertEqual(lines[0], mail_line(OPS))
                self.assertTrue(lines[1].startswith(b" " + reason), lines[1])
                self.assertEqual((sink.mails, sink.auth_over_tls), ([], []))
                for secret in (PASSWORD, base64.b64encode(PASSWORD), b"AUTH"):
                    self.assertNotIn(secret, relay.client_bytes())

    def test_verification_off_accepts_a_stranger_certificate(self):
        sink, server = self.server(cert="stranger", implicit=True)
        self.assertEqual(self.run_alert(server.port, ["SMTPTLS=TLS", "SMTPTLSVERIFY=0"]), [mail_line(OPS, "error")])
        self.assertEqual(len(sink.mails), 1)

    def test_silent_and_trickling_servers_cost_one_deadline_and_later_addresses_get_their_mail(self):
        sink, server = self.server(starttls=False)
        relay = Relay(self, server.port, silent=1, trickle=1)
        started = time.monotonic()
        lines = self.run_alert(relay.port, ["MAILTIMEOUT=2"], addresses=("a@example.org", "b@example.org",
                                                                          "c@example.org"), mails=5)
        self.assertEqual(lines, [mail_line("a@example.org"), TIMED_OUT, mail_line("b@example.org"), TIMED_OUT,
                                 mail_line("c@example.org", "error")])
        self.assertEqual([m["to"] for m in sink.mails], [["c@example.org"]])
        # Two deadlines of 2 seconds, not the trickle's 30.
        self.assertLess(time.monotonic() - started, 20)

    def test_password_in_clear_is_warned_about_once_at_start(self):
        cases = [("remote server, AUTH, no TLS", ["MAILSERVER=192.0.2.25", "SMTPAUTH=LOGIN"], 1),
                 ("remote name, AUTH, no TLS", ["MAILSERVER=mail.example.org", "SMTPAUTH=LOGIN"], 1),
                 ("remote server, AUTH, STARTTLS", ["MAILSERVER=192.0.2.25", "SMTPAUTH=LOGIN", "SMTPTLS=STARTTLS"], 0),
                 ("loopback server, AUTH, no TLS", ["MAILSERVER=127.0.0.1", "SMTPAUTH=CRAM-MD5"], 0),
                 ("loopback name, AUTH, no TLS", ["MAILSERVER=LocalHost", "SMTPAUTH=LOGIN"], 0),
                 ("remote server, no AUTH", ["MAILSERVER=192.0.2.25"], 0)]
        for name, settings, warnings in cases:
            with self.subTest(name):
                # No datagram is sent: nothing is mailed, nothing leaves this machine.
                with Quorvel(["SYSLOGPORT=%d" % free_port(), "MAILTO=ops@example.org", "SMTPAUTHID=alerts",
                              "SMTPAUTHPASS=x"] + settings + ["KEYWORDLISTSTART", "error", "KEYWORDLISTEND"]) as q:
                    self.assertTrue(q.start().wait_started(), q.stderr)
                    self.assertEqual(q.stop(), 0)
                    self.assertEqual(sum(PLAIN_PASSWORD in l for l in q.log()), warnings)


if __name__ == "__main__":
    unittest.main()
