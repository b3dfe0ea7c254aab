"""Keyword alerts end to end: a datagram with a keyword, the server's mail to
a real SMTP server (aiosmtpd) that checks CRAM-MD5 with Python's own HMAC,
the mail read back as a mail client reads it, and the outcome of every mail
in the operation log."""

import email
import email.policy
import email.utils
import logging
import re
import socket
import time
import unittest

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

from quorvel_e2e import Quorvel, cram_md5_auth, entries, free_port, send, sjis

REFUSED = "refused@example.org"
ACCOUNT, PASSWORD = b"alerts", b"s3cret-pass"
SUBJECT = "【警告】キーワードを検出しました：ディスク容量が不足しています"


class Sink:
    """Refuses one recipient; at each MAIL FROM notes whether the received-
    message log already holds the message line."""

    def __init__(self, logged_line):
        self.log_path, self.logged_line, self.mails = None, logged_line, []

    async def auth_CRAM__MD5(self, server, args):
        return await cram_md5_auth(server, len(self.mails), ACCOUNT, PASSWORD)

    async def handle_MAIL(self, server, session, envelope, address, options):
        with open(self.log_path, "rb") as f:
            envelope.logged = self.logged_line in f.read()
        envelope.mail_from = address
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address == REFUSED:
            return "550 no such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.mails.append((envelope.rcpt_tos, email.message_from_bytes(envelope.original_content,
                                                                       policy=email.policy.default),
                           envelope.logged, session.auth_data.login, session.host_name))
        return "250 queued"


def start_smtp(test, sink, authenticator):
    """A running aiosmtpd on a free TCP port. Tests running side by side may
    take a port between the probe and the bind, so a taken port means another
    try, not a failed test."""
    for _ in range(20):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        # server_hostname: without it aiosmtpd asks the name service for
        # this machine's name (socket.getfqdn).
        smtp = Controller(sink, hostname="127.0.0.1", port=port, server_hostname="sink.test",
                          auth_require_tls=False, authenticator=authenticator)
        try:
            smtp.start()
        except OSError:
            continue
        test.addCleanup(smtp.stop)
        return smtp
    test.fail("no free TCP port for the SMTP server")


class KeywordAlertTest(unittest.TestCase):
    def test_first_matching_keyword_mails_each_address_and_logs_each_outcome(self):
        logging.getLogger("mail.log").setLevel(logging.ERROR)
        port = free_port()
        message = sjis("<11>ディスク障害 disk full on /var, error")
        sink = Sink(b"127.0.0.1 " + message)
        smtp = start_smtp(self, sink, lambda *args: AuthResult(success=False))
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log",
                      "MAILSERVER=127.0.0.1", "MAILSERVERPORT=%d" % smtp.port,
                      "MAILFROM=quorvel@example.org", "MAILTO=ops@example.org", "MAILSUBJECT=" + SUBJECT,
                      "SMTPAUTH=CRAM-MD5", "SMTPAUTHID=alerts", "SMTPAUTHPASS=s3cret-pass",
                      "KEYWORDLISTSTART",
                      '"disk full" a@example.org refused@example.org b@example.org',
                      "error",
                      "KEYWORDLISTEND"]) as q:
            sink.log_path = q.path("recv.log")
            # A zone with a half-hour offset: the Date header must carry it.
            self.assertTrue(q.start(TZ="IST-5:30", QUORVEL_HOSTNAME="alerts.quorvel.test").wait_started(), q.stderr)
            sent = time.time()
            send([message, b"<11>an error"], port)
            q.wait_for_lines("Quorvel.log", 7 + 4)
            self.assertEqual(q.stop(), 0)

            mail_lines = [l for l in entries(q.read("Quorvel.log")) if sjis("宛のメール送信") in l]
            self.assertEqual(mail_lines, [
                b" 127.0.0.1 " + sjis("へ a@example.org 宛のメール送信を行いました。(disk full)"),
                b" 127.0.0.1 " + sjis("へ refused@example.org 宛のメール送信に失敗しました。"),
                b" 127.0.0.1 " + sjis("へ b@example.org 宛のメール送信を行いました。(disk full)"),
                b" 127.0.0.1 " + sjis("へ ops@example.org 宛のメール送信を行いました。(error)"),
            ])
            self.assertEqual([m[0] for m in sink.mails],
                             [["a@example.org"], ["b@example.org"], ["ops@example.org"]])
            self.assertTrue(all(m[2] for m in sink.mails[:2]), "the log line is written before the mail")
            self.assertEqual([m[3] for m in sink.mails], [ACCOUNT] * 3)
            # The greeting names the host as the environment says, without a lookup.
            self.assertEqual([m[4] for m in sink.mails], ["alerts.quorvel.test"] * 3)
            for _, mail, _, _, _ in sink.mails[:2]:
                self.assertEqual(list(mail.keys()), ["From", "To", "Date", "Subject", "Mime-Version", "Message-ID",
                                                     "Content-Type", "Content-Transfer-Encoding", "Priority",
                                                     "X-Mailer"])
                self.assertEqual(str(mail["Subject"]), SUBJECT)
                self.assertEqual(mail.get_content_charset(), "iso-2022-jp")
                self.assertEqual(mail.get_content(), "\r\n127.0.0.1 said\r\n" + message.decode("cp932") + "\r\n\r\n")
                self.assertRegex(str(mail["Message-ID"]), r"^<[0-9a-f]{40}@example\.org>$")
                date = email.utils.parsedate_to_datetime(str(mail["Date"]))
                self.assertEqual(date.strftime("%z"), "+0530")
                self.assertLess(abs(date.timestamp() - sent), 5, "the Date header names a wrong instant")

    def test_auth_login_delivers_with_the_right_password_and_fails_with_a_wrong_one(self):
        logging.getLogger("mail.log").setLevel(logging.ERROR)
        outcomes = {}
        for password in ("s3cret-pass", "wrong"):
            sink = Sink(b"")
            smtp = start_smtp(self, sink, lambda server, session, envelope, mechanism, data: AuthResult(
                success=mechanism == "LOGIN" and data.login == ACCOUNT and data.password == PASSWORD,
                handled=False, auth_data=data))
            port = free_port()
            with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log",
                          "MAILSERVER=127.0.0.1", "MAILSERVERPORT=%d" % smtp.port,
                          "MAILFROM=quorvel@example.org", "MAILTO=ops@example.org",
                          "SMTPAUTH=login", "SMTPAUTHID=alerts", "SMTPAUTHPASS=" + password,
                          "KEYWORDLISTSTART", "error", "KEYWORDLISTEND"]) as q:
                sink.log_path = q.path("recv.log")
                self.assertTrue(q.start().wait_started(), q.stderr)
                send([b"<11>an error"], port)
                q.wait_for_lines("Quorvel.log", 7 + 1)
                self.assertEqual(q.stop(), 0)
                outcomes[password] = ([l for l in entries(q.read("Quorvel.log")) if sjis("宛のメール送信") in l],
                                      [m[0] for m in sink.mails])
        self.assertEqual(outcomes["s3cret-pass"], (
            [b" 127.0.0.1 " + sjis("へ ops@example.org 宛のメール送信を行いました。(error)")], [["ops@example.org"]]))
        self.assertEqual(outcomes["wrong"], (
            [b" 127.0.0.1 " + sjis("へ ops@example.org 宛のメール送信に失敗しました。")], []))


if __name__ == "__main__":
    unittest.main()
