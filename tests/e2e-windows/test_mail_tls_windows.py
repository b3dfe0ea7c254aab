"""Alert mail over TLS from quorvel.exe under Wine: the Schannel backend
against the same real SMTP server (aiosmtpd on Linux, private authority made
by the openssl command) as the Linux scenarios. Wine's Schannel is GnuTLS
underneath and its certificate checks are Wine's crypt32, so this proves
the backend's handshake, record layer and checks as far as Wine implements
them, not Windows' own TLS stack."""

import os
import shutil
import subprocess
import sys
import time
import unittest

import winehost

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from quorvel_e2e import entries, free_port, send, sjis, wait_until  # noqa: E402
import test_mail_tls as linux  # noqa: E402
from test_mail_tls import (ACCOUNT, FAILED, NO_STARTTLS, PASSWORD, SENT, TLS_FAILED, Certificates,  # noqa: E402
                           Relay, Sink, check_login)

EXE = os.environ.get("QUORVEL_EXE", "quorvel.exe")
WORK = os.environ.get("QUORVEL_E2E_DIR", os.path.join(os.path.dirname(os.path.abspath(EXE)), "e2e-windows-tls"))


class WindowsMailTlsTest(unittest.TestCase):
    smtp = linux.MailTlsTest.smtp
    mail_lines = staticmethod(linux.MailTlsTest.mail_lines)

    @classmethod
    def setUpClass(cls):
        cls.certs = Certificates()
        cls.wine = winehost.WinePrefix(os.path.join(WORK, "wine"))
        cls.wine.start()
        cls.runs = 0

    @classmethod
    def tearDownClass(cls):
        cls.wine.stop()
        cls.certs.tmp.cleanup()

    def run_alert(self, mail_port, settings, mails=1):
        """quorvel.exe -RUN in a folder of its own, one datagram with the
        keyword, and the operation-log lines once the mail's outcome is
        written. The process is ended with the Wine server at the close."""
        type(self).runs += 1
        app = os.path.join(WORK, "app%d" % self.runs)
        shutil.rmtree(app, ignore_errors=True)
        os.makedirs(app)
        shutil.copy(EXE, os.path.join(app, "quorvel.exe"))
        ca = self.wine.windows_path(os.path.join(app, "ca.pem"))
        shutil.copy(self.certs.ca, os.path.join(app, "ca.pem"))
        syslog_port = free_port()
        with open(os.path.join(app, "Quorvel.ini"), "wb") as f:
            f.write(b"".join(sjis(l) + b"\r\n" for l in [
                "SYSLOGPORT=%d" % syslog_port, "MAILSERVER=127.0.0.1", "MAILSERVERPORT=%d" % mail_port,
                "MAILFROM=quorvel@example.org", "MAILTO=ops@example.org"] +
                [s.replace("{CA}", ca) for s in settings] + ["KEYWORDLISTSTART", "error", "KEYWORDLISTEND"]))
        log = os.path.join(app, "logs", "Quorvel.log")
        with open(os.path.join(app, "out"), "wb") as out:
            proc = subprocess.Popen([winehost.WINE, os.path.join(app, "quorvel.exe"), "-RUN"],
                                    env=dict(self.wine.env, WINEDEBUG="-all", QUORVEL_HOSTNAME="quorvel.test"), cwd=app,
                                    stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        try:
            def lines():
                if not os.path.exists(log):
                    return []
                with open(log, "rb") as f:
                    return entries(f.read())
            self.assertTrue(wait_until(lambda: len(lines()) >= 2, 60), "quorvel.exe did not start")
            time.sleep(1)  # the rest of the start lines
            before = len(lines())
            send([b"<11>an error"], syslog_port)
            self.assertTrue(wait_until(lambda: len(lines()) >= before + mails, 60), lines())
            return lines()
        finally:
            proc.kill()
            proc.wait()

    def test_schannel_delivers_and_refuses_as_the_openssl_build(self):
        cases = [
            ("STARTTLS, private authority, AUTH LOGIN", dict(), True,
             ["SMTPTLS=STARTTLS", "SMTPTLSCAFILE={CA}", "SMTPAUTH=LOGIN", "SMTPAUTHID=alerts",
              "SMTPAUTHPASS=" + PASSWORD.decode()], None),
            ("implicit TLS, private authority, CRAM-MD5", dict(implicit=True), True,
             ["SMTPTLS=TLS", "SMTPTLSCAFILE={CA}", "SMTPAUTH=CRAM-MD5", "SMTPAUTHID=alerts",
              "SMTPAUTHPASS=" + PASSWORD.decode()], None),
            ("the server asks for a client certificate", dict(implicit=True, ask_client_cert=True), True,
             ["SMTPTLS=TLS", "SMTPTLSCAFILE={CA}"], None),
            ("certificate for other names", dict(cert="wrongname"), False,
             ["SMTPTLS=STARTTLS", "SMTPTLSCAFILE={CA}"], TLS_FAILED),
            ("certificate of an authority not trusted", dict(cert="stranger", implicit=True), False,
             ["SMTPTLS=TLS", "SMTPTLSCAFILE={CA}"], TLS_FAILED),
            ("private authority, system trust store only", dict(implicit=True), False,
             ["SMTPTLS=TLS"], TLS_FAILED),
            ("verification off accepts it", dict(cert="stranger", implicit=True), True,
             ["SMTPTLS=TLS", "SMTPTLSVERIFY=0"], None),
            ("STARTTLS required but not offered", dict(starttls=False), False,
             ["SMTPTLS=STARTTLS", "SMTPAUTH=LOGIN", "SMTPAUTHID=alerts", "SMTPAUTHPASS=x"], NO_STARTTLS),
        ]
        for name, server_kind, delivered, settings, reason in cases:
            with self.subTest(name):
                sink = Sink()
                server = self.smtp(sink, authenticator=check_login(sink), **server_kind)
                relay = Relay(server.port)
                self.addCleanup(relay.close)
                lines = self.run_alert(relay.port, settings, mails=1 if delivered else 2)
                mail = self.mail_lines(lines)
                if delivered:
                    self.assertEqual(mail, [b" 127.0.0.1 " + sjis("へ ops@example.org ") + SENT])
                    self.assertEqual([m[:2] for m in sink.mails], [(["ops@example.org"], True)])
                    self.assertIn(sink.versions[0], ("TLSv1.2", "TLSv1.3"))
                    if "SMTPAUTH=" in " ".join(settings):
                        self.assertEqual(sink.mails[0][2].login, ACCOUNT)
                        self.assertEqual(sink.auth_over_tls, [True])
                else:
                    self.assertEqual(mail[0], b" 127.0.0.1 " + sjis("へ ops@example.org ") + FAILED)
                    self.assertTrue(mail[1].startswith(b" " + reason), mail[1])
                    self.assertEqual(sink.mails, [])
                self.assertNotIn(PASSWORD, relay.client_bytes())


if __name__ == "__main__":
    unittest.main()
