"""Alert mail over TLS from quorvel.exe under Wine: the Schannel backend (GnuTLS and crypt32
underneath in Wine) against the Linux scenarios' servers, cases and checks."""

import os
import shutil
import subprocess
import unittest

import winehost
from quorvel_e2e import free_port, mail_ini, send, wait_until
from test_mail_tls import CASES, Certificates, check, mail_lines, serve

WORK = winehost.work_dir("e2e-windows-tls")


class WindowsMailTlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = Certificates()
        cls.addClassCleanup(cls.certs.tmp.cleanup)
        cls.wine = winehost.started_prefix(cls, os.path.join(WORK, "wine"))

    def run_alert(self, app, mail_port, settings, mails):
        """quorvel.exe -RUN, one datagram with the keyword; the mail lines once written."""
        syslog_port = free_port()
        exe = winehost.make_app(app, mail_ini(syslog_port, mail_port, extra=[
            s.replace("{CA}", self.wine.windows_path(os.path.join(app, "ca.pem"))) for s in settings]))
        shutil.copy(self.certs.ca, os.path.join(app, "ca.pem"))
        log = os.path.join(app, "logs", "Quorvel.log")
        with open(os.path.join(app, "out"), "wb") as out:
            proc = subprocess.Popen([winehost.WINE, exe, "-RUN"], cwd=app, stdout=out, stderr=subprocess.STDOUT,
                                    env=dict(self.wine.env, WINEDEBUG="-all", QUORVEL_HOSTNAME="quorvel.test"),
                                    stdin=subprocess.DEVNULL)
        try:
            self.assertTrue(wait_until(lambda: len(winehost.log_lines(log)) >= 7, 60), "quorvel.exe did not start")
            send([b"<11>an error"], syslog_port)
            self.assertTrue(wait_until(lambda: len(mail_lines(winehost.log_lines(log))) >= mails, 60), winehost.log_lines(log))
            return mail_lines(winehost.log_lines(log))
        finally:
            proc.kill()
            proc.wait()

    def test_schannel_delivers_and_refuses_as_the_openssl_build(self):
        for n, case in enumerate(CASES):
            with self.subTest(case[0]):
                sink, relay = serve(self, self.certs, case[1])
                lines = self.run_alert(os.path.join(WORK, "app%d" % n), relay.port, case[2], 2 if case[3] else 1)
                check(self, case, sink, relay, lines)


if __name__ == "__main__":
    unittest.main()
