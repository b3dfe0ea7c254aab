"""Keyword alerts end to end: a datagram with a keyword, the server's mail to
a small SMTP responder, and the outcome of every mail in the operation log."""

import socketserver
import threading
import unittest

from quorvel_e2e import Quorvel, entries, free_port, send, sjis


class SmtpSink(socketserver.ThreadingTCPServer):
    """Accepts every recipient but REFUSED; at each MAIL FROM records whether
    the received-message log already holds the message line."""

    allow_reuse_address = True
    daemon_threads = True
    REFUSED = b"refused@example.org"

    def __init__(self, log_path, logged_line):
        super().__init__(("127.0.0.1", 0), SmtpSession)
        self.log_path, self.logged_line = log_path, logged_line
        self.mails = []  # (recipients, data, logged before the mail)
        self.lock = threading.Lock()


class SmtpSession(socketserver.StreamRequestHandler):
    def reply(self, text):
        self.wfile.write(text + b"\r\n")

    def handle(self):
        sink = self.server
        recipients, logged = [], False
        self.reply(b"220 sink ready")
        while True:
            line = self.rfile.readline()
            if not line:
                return
            verb = line[:4].upper()
            if verb == b"MAIL":
                try:
                    with open(sink.log_path, "rb") as f:
                        logged = sink.logged_line in f.read()
                except FileNotFoundError:
                    logged = False
                self.reply(b"250 ok")
            elif verb == b"RCPT":
                address = line.split(b"<", 1)[1].split(b">", 1)[0]
                if address == sink.REFUSED:
                    self.reply(b"550 no such user")
                else:
                    recipients.append(address)
                    self.reply(b"250 ok")
            elif verb == b"DATA":
                self.reply(b"354 go ahead")
                data = b""
                while not data.endswith(b"\r\n.\r\n"):
                    chunk = self.rfile.readline()
                    if not chunk:
                        return
                    data += chunk
                with sink.lock:
                    sink.mails.append((recipients, data, logged))
                self.reply(b"250 queued")
            elif verb == b"QUIT":
                self.reply(b"221 bye")
                return
            else:
                self.reply(b"250 sink")


class KeywordAlertTest(unittest.TestCase):
    def test_first_matching_keyword_mails_each_address_and_logs_each_outcome(self):
        port = free_port()
        message = b"<11>disk full on /var, error"
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log"]) as q:
            sink = SmtpSink(q.path("recv.log"), b"127.0.0.1 " + message)
            threading.Thread(target=sink.serve_forever, daemon=True).start()
            try:
                with open(q.dir + "/Quorvel.ini", "ab") as ini:
                    ini.write(b"\r\n".join(sjis(l) for l in [
                        "MAILSERVER=127.0.0.1", "MAILSERVERPORT=%d" % sink.server_address[1],
                        "MAILFROM=quorvel@example.org", "MAILTO=ops@example.org",
                        "KEYWORDLISTSTART",
                        '"disk full" a@example.org refused@example.org b@example.org',
                        "error",
                        "KEYWORDLISTEND", ""]))
                self.assertTrue(q.start().wait_started(), q.stderr)
                send([message, b"<11>an error"], port)
                q.wait_for_lines("Quorvel.log", 6 + 4)
                self.assertEqual(q.stop(), 0)
            finally:
                sink.shutdown()
                sink.server_close()

            mail_lines = [l for l in entries(q.read("Quorvel.log")) if sjis("宛のメール送信") in l]
            self.assertEqual(mail_lines, [
                b" 127.0.0.1 " + sjis("へ a@example.org 宛のメール送信を行いました。(disk full)"),
                b" 127.0.0.1 " + sjis("へ refused@example.org 宛のメール送信に失敗しました。"),
                b" 127.0.0.1 " + sjis("へ b@example.org 宛のメール送信を行いました。(disk full)"),
                b" 127.0.0.1 " + sjis("へ ops@example.org 宛のメール送信を行いました。(error)"),
            ])
            self.assertEqual([m[0] for m in sink.mails],
                             [[b"a@example.org"], [b"b@example.org"], [b"ops@example.org"]])
            self.assertTrue(all(m[2] for m in sink.mails[:2]), "the log line is written before the mail")
            for recipients, data, _ in sink.mails[:2]:
                self.assertIn(b"\r\n127.0.0.1 said\r\n" + message + b"\r\n", data)


if __name__ == "__main__":
    unittest.main()
