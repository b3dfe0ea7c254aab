"""Keyword alerts end to end: a datagram with a keyword, the server's mail to
a small SMTP responder, and the outcome of every mail in the operation log."""

import logging
import unittest

from aiosmtpd.controller import Controller

from quorvel_e2e import Quorvel, entries, free_port, send, sjis

REFUSED = "refused@example.org"


class Sink:
    """Refuses one recipient; at each MAIL FROM notes whether the received-
    message log already holds the message line."""

    def __init__(self, logged_line):
        self.log_path, self.logged_line, self.mails = None, logged_line, []

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
        self.mails.append((envelope.rcpt_tos, envelope.original_content, envelope.logged))
        return "250 queued"


class KeywordAlertTest(unittest.TestCase):
    def test_first_matching_keyword_mails_each_address_and_logs_each_outcome(self):
        logging.getLogger("mail.log").setLevel(logging.ERROR)
        port = free_port()
        message = b"<11>disk full on /var, error"
        sink = Sink(b"127.0.0.1 " + message)
        smtp = Controller(sink, hostname="127.0.0.1", port=free_port())
        smtp.start()
        self.addCleanup(smtp.stop)
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log",
                      "MAILSERVER=127.0.0.1", "MAILSERVERPORT=%d" % smtp.port,
                      "MAILFROM=quorvel@example.org", "MAILTO=ops@example.org",
                      "KEYWORDLISTSTART",
                      '"disk full" a@example.org refused@example.org b@example.org',
                      "error",
                      "KEYWORDLISTEND"]) as q:
            sink.log_path = q.path("recv.log")
            self.assertTrue(q.start().wait_started(), q.stderr)
            send([message, b"<11>an error"], port)
            q.wait_for_lines("Quorvel.log", 6 + 4)
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
            for recipients, data, _ in sink.mails[:2]:
                self.assertIn(b"\r\n127.0.0.1 said\r\n" + message + b"\r\n", data)


if __name__ == "__main__":
    unittest.main()
