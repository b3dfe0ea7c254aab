"""Alert mail over STARTTLS and implicit TLS to aiosmtpd, certificates of a private authority made
with openssl, the client's bytes captured by a relay, and the refusals a user meets."""

import base64
import os
import ssl
import subprocess
import tempfile
import time
import unittest

from quorvel_e2e import ACCOUNT, PASSWORD, Quorvel, Relay, Sink, free_port, mail_ini, mail_line, mail_sink, send, sjis, smtp_server

OPS = "ops@example.org"
AUTH = ["SMTPAUTHID=alerts", "SMTPAUTHPASS=" + PASSWORD.decode()]
LOGIN, CA = ["SMTPAUTH=LOGIN"] + AUTH, "SMTPTLSCAFILE={CA}"
TLS_FAILED = sjis("メールサーバーとの TLS 接続に失敗しました : ")
NO_STARTTLS = sjis("メールサーバーが STARTTLS を提供していないため")
TIMED_OUT = b" " + sjis("メール送信が制限時間内に終わりませんでした : ") + b"mail deadline reached"
PLAIN_PASSWORD = sjis("警告 : SMTPTLS=NONE のため")
# Name; the server's certificate, implicit TLS or STARTTLS, whether it asks for
# a client certificate (None: plain text without STARTTLS); the settings; the
# reason given for a refusal. Shared with the Windows build's TLS backend.
CASES = [("STARTTLS, AUTH LOGIN", ("server", False, False), ["SMTPTLS=STARTTLS", CA] + LOGIN, None),
    ("implicit TLS, CRAM-MD5", ("server", True, False), ["SMTPTLS=TLS", "SMTPTLSVERIFY=1", CA, "SMTPAUTH=CRAM-MD5"] + AUTH,
     None), ("the server asks for a client certificate", ("server", True, True), ["SMTPTLS=TLS", CA], None),
    ("verification off accepts a stranger's certificate", ("stranger", True, False), ["SMTPTLS=TLS", "SMTPTLSVERIFY=0"],
     None), ("certificate for other names", ("wrongname", False, False), ["SMTPTLS=STARTTLS", CA] + LOGIN, TLS_FAILED),
    ("certificate of an authority not trusted", ("stranger", True, False), ["SMTPTLS=TLS", CA] + LOGIN, TLS_FAILED),
    ("private authority without the CA file", ("server", True, False), ["SMTPTLS=TLS"] + LOGIN, TLS_FAILED),
    ("STARTTLS required but not offered", None, ["SMTPTLS=STARTTLS", CA] + LOGIN, NO_STARTTLS)]


class Certificates:
    """The test authority's certificates (tests/platform/make-tls-certs.sh, RSA for Windows) in a folder."""

    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="quorvel-tls-")
        self.dir = self.tmp.name
        subprocess.run(["sh", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "platform",
                                           "make-tls-certs.sh"), self.dir, "rsa"], check=True)
        self.ca = os.path.join(self.dir, "ca.pem")

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


def serve(test, certs, server):
    """The SMTP server of a case behind a relay that records the client's bytes."""
    sink = Sink()
    tls = certs.context(server[0], server[2]) if server else None
    return sink, Relay(test, smtp_server(test, sink, tls, bool(server and server[1])).port)


def check(test, case, sink, relay, lines):
    """The outcome of a case: the mail over TLS or a refusal that says why, and never a secret in clear."""
    name, server, settings, reason = case
    wire = relay.client_bytes()
    for secret in (PASSWORD, base64.b64encode(PASSWORD), base64.b64encode(ACCOUNT), b"AUTH"):
        test.assertNotIn(secret, wire)
    if reason:
        cause = "TLS failed" if reason == TLS_FAILED else "STARTTLS not offered"
        test.assertEqual([lines[0], lines[1][:len(reason) + 1]], [mail_line(OPS, "error", cause), b" " + reason])
        test.assertEqual((len(lines), sink.mails, sink.auth_over_tls), (2, [], []))
        return
    test.assertEqual(lines, [mail_line(OPS, "error")])
    test.assertEqual([(m["to"], m["tls"]) for m in sink.mails], [([OPS], True)])
    test.assertIn(sink.mails[0]["version"], ("TLSv1.2", "TLSv1.3"))
    if "SMTPAUTHID=alerts" in settings:
        test.assertEqual((sink.mails[0]["auth"].login, sink.auth_over_tls), (ACCOUNT, [True]))
    plain, _, tunnel = wire.partition(b"STARTTLS\r\n")
    if server[1]:
        test.assertEqual(wire[:1], b"\x16", "TLS from the first byte")
    else:
        test.assertRegex(plain, rb"^EHLO [^\r\n]+\r\n$", "nothing but EHLO before STARTTLS")
        test.assertEqual(tunnel[:1], b"\x16", "a TLS handshake record follows STARTTLS at once")


class MailTlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = Certificates()
        cls.addClassCleanup(cls.certs.tmp.cleanup)

    def run_alert(self, mail_port, settings, addresses=(OPS,), mails=1):
        """One datagram holding the keyword; the operation-log lines about mail."""
        syslog_port = free_port()
        with Quorvel(mail_ini(syslog_port, mail_port, " ".join(("error",) + addresses), extra=settings)).up() as q:
            send([b"<11>an error"], syslog_port)
            q.wait_for_lines("Quorvel.log", 7 + mails, timeout=30)
            self.assertEqual(q.stop(), 0)
            return mail_lines(q.log())

    def test_tls_delivers_or_refuses_with_no_secret_in_clear(self):
        for case in CASES:
            with self.subTest(case[0]):
                sink, relay = serve(self, self.certs, case[1])
                settings = [s.replace("{CA}", self.certs.ca) for s in case[2]]
                check(self, case, sink, relay, self.run_alert(relay.port, settings, mails=2 if case[3] else 1))

    def test_silent_and_trickling_servers_cost_one_deadline_and_later_addresses_get_their_mail(self):
        sink, relay = mail_sink(self, silent=1, trickle=1)
        started = time.monotonic()
        lines = self.run_alert(relay.port, ["MAILTIMEOUT=2"], addresses=("a@example.org", "b@example.org",
                                                                          "c@example.org"), mails=5)
        late = "mail deadline reached"
        self.assertEqual(lines, [mail_line("a@example.org", "error", late), TIMED_OUT,
                                 mail_line("b@example.org", "error", late), TIMED_OUT,
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
                              "SMTPAUTHPASS=x"] + settings + ["KEYWORDLISTSTART", "error", "KEYWORDLISTEND"]).up() as q:
                    self.assertEqual(q.stop(), 0)
                    self.assertEqual(sum(PLAIN_PASSWORD in l for l in q.log()), warnings)
                    self.assertEqual(sum("instance 1: warning: SMTPTLS=NONE: the SMTPAUTH password" in l
                                         for l in q.stderr), warnings)
