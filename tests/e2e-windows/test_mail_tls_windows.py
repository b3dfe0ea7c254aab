"""Alert mail over TLS from quorvel.exe under Wine: the Schannel backend
against the same real SMTP server and private authority as the Linux
scenarios. Wine's Schannel is GnuTLS underneath and its certificate checks are
Wine's crypt32, so this proves the backend's handshake, record layer and
checks as far as Wine implements them, not Windows' own TLS stack."""

import os
import shutil
import subprocess
import unittest

import winehost
from quorvel_e2e import ACCOUNT, PASSWORD, Relay, Sink, entries, free_port, mail_ini, mail_line, send, smtp_server, wait_until
from test_mail_tls import NO_STARTTLS, TLS_FAILED, Certificates, mail_lines

WORK = os.environ.get("QUORVEL_E2E_DIR", os.path.join(os.path.dirname(os.path.abspath(winehost.EXE)), "e2e-windows-tls"))
AUTH = ["SMTPAUTHID=alerts", "SMTPAUTHPASS=" + PASSWORD.decode()]


class WindowsMailTlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = Certificates()
        cls.wine = winehost.WinePrefix(os.path.join(WORK, "wine"))
        cls.wine.start()

    @classmethod
    def tearDownClass(cls):
        cls.wine.stop()
        cls.certs.tmp.cleanup()

    def run_alert(self, app, mail_port, settings, mails):
        """quorvel.exe -RUN with one datagram holding the keyword; the
        operation-log lines once the mail's outcome is written."""
        syslog_port = free_port()
        exe = winehost.make_app(app, mail_ini(syslog_port, mail_port, extra=[
            s.replace("{CA}", self.wine.windows_path(os.path.join(app, "ca.pem"))) for s in settings]))
        shutil.copy(self.certs.ca, os.path.join(app, "ca.pem"))
        log = os.path.join(app, "logs", "Quorvel.log")

        def lines():
            if not os.path.exists(log):
                return []
            with open(log, "rb") as f:
                return entries(f.read())
        with open(os.path.join(app, "out"), "wb") as out:
            proc = subprocess.Popen([winehost.WINE, exe, "-RUN"], cwd=app, stdout=out, stderr=subprocess.STDOUT,
                                    env=dict(self.wine.env, WINEDEBUG="-all", QUORVEL_HOSTNAME="quorvel.test"),
                                    stdin=subprocess.DEVNULL)
        try:
            self.assertTrue(wait_until(lambda: len(lines()) >= 7, 60), "quorvel.exe did not start")
            send([b"<11>an error"], syslog_port)
            self.assertTrue(wait_until(lambda: len(mail_lines(lines())) >= mails, 60), lines())
            return mail_lines(lines())
        finally:
            proc.kill()
            proc.wait()

    def test_schannel_delivers_and_refuses_as_the_openssl_build(self):
        cases = [
            # name, server kind, settings, reason of a refusal
            ("STARTTLS, private authority, AUTH LOGIN", {}, ["SMTPTLS=STARTTLS", "SMTPTLSCAFILE={CA}", "SMTPAUTH=LOGIN"]
             + AUTH, None),
            ("implicit TLS, private authority, CRAM-MD5", dict(implicit=True),
             ["SMTPTLS=TLS", "SMTPTLSCAFILE={CA}", "SMTPAUTH=CRAM-MD5"] + AUTH, None),
            ("the server asks for a client certificate", dict(implicit=True, ask=True),
             ["SMTPTLS=TLS", "SMTPTLSCAFILE={CA}"], None),
            ("certificate for other names", dict(cert="wrongname"), ["SMTPTLS=STARTTLS", "SMTPTLSCAFILE={CA}"],
             TLS_FAILED),
            ("certificate of an authority not trusted", dict(cert="stranger", implicit=True),
             ["SMTPTLS=TLS", "SMTPTLSCAFILE={CA}"], TLS_FAILED),
            ("private authority, system trust store only", dict(implicit=True), ["SMTPTLS=TLS"], TLS_FAILED),
            ("verification off accepts it", dict(cert="stranger", implicit=True), ["SMTPTLS=TLS", "SMTPTLSVERIFY=0"],
             None),
            ("STARTTLS required but not offered", dict(plain=True), ["SMTPTLS=STARTTLS", "SMTPAUTH=LOGIN"] + AUTH,
             NO_STARTTLS),
        ]
        for n, (name, kind, settings, reason) in enumerate(cases):
            with self.subTest(name):
                sink = Sink()
                tls = None if kind.get("plain") else self.certs.context(kind.get("cert", "server"), kind.get("ask"))
                relay = Relay(self, smtp_server(self, sink, tls, kind.get("implicit", False)).port)
                mail = self.run_alert(os.path.join(WORK, "app%d" % n), relay.port, settings, 2 if reason else 1)
                if reason:
                    self.assertEqual(mail[0], mail_line("ops@example.org"))
                    self.assertTrue(mail[1].startswith(b" " + reason), mail[1])
                    self.assertEqual(sink.mails, [])
                else:
                    self.assertEqual(mail, [mail_line("ops@example.org", "error")])
                    self.assertEqual([(m["to"], m["tls"]) for m in sink.mails], [(["ops@example.org"], True)])
                    self.assertIn(sink.mails[0]["version"], ("TLSv1.2", "TLSv1.3"))
                    if "SMTPAUTHID=alerts" in settings:
                        self.assertEqual(sink.mails[0]["auth"].login, ACCOUNT)
                        self.assertEqual(sink.auth_over_tls, [True])
                self.assertNotIn(PASSWORD, relay.client_bytes())


if __name__ == "__main__":
    unittest.main()
