"""Alert mails for hostile messages and for a flood, end to end through a real
SMTP server (aiosmtpd, which refuses a DATA line over 1,000 bytes as strict
servers do): every mail is 7-bit ISO-2022-JP with short lines and no bare CR or
LF while the received-message log keeps the message as it came, and with
MAILINTERVAL a flood gives one mail per keyword and address, the next one
telling how many were held back."""

import email
import email.policy
import logging
import re
import socket
import time
import unittest

from quorvel_e2e import Quorvel, entries, free_port, send, sjis, wait_until
from test_keyword_alert import start_smtp

GETA = "\u3013"


class Sink:
    def __init__(self):
        self.mails = []

    async def handle_DATA(self, server, session, envelope):
        self.mails.append((envelope.rcpt_tos[0], envelope.original_content))
        return "250 queued"


def read_iso2022jp(data):
    """The text of an ISO-2022-JP body as Japanese mailers read it: JIS X 0208
    plus the rows code page 932 adds (Python's own codec knows JIS X 0208
    only). Fails on anything else: an unknown escape, a byte of a broken pair,
    a line that ends in kanji mode."""
    out, kanji, i = [], False, 0
    while i < len(data):
        if data[i:i + 3] in (b"\x1b$B", b"\x1b(B"):
            kanji = data[i + 1] == ord("$")
            i += 3
        elif data[i] == 0x1b:
            raise AssertionError("stray escape at %d" % i)
        elif data[i:i + 2] == b"\r\n":
            if kanji:
                raise AssertionError("line ends in kanji mode at %d" % i)
            out.append("\r\n")
            i += 2
        elif kanji:
            row, cell = data[i], data[i + 1]
            lead = (row + 1) // 2 + (0x70 if row <= 0x5e else 0xb0)
            trail = cell + (0x1f if cell <= 0x5f else 0x20) if row % 2 else cell + 0x7e
            out.append(bytes([lead, trail]).decode("cp932"))
            i += 2
        else:
            out.append(chr(data[i]))
            i += 1
    return "".join(out)


def check_wire_form(test, raw):
    """RFC 5322 and RFC 2045 7bit: lines of at most 998 bytes, 7-bit, CR and
    LF only as pairs. Returns the parsed mail."""
    test.assertTrue(raw.endswith(b"\r\n"))
    for line in raw.split(b"\r\n"):
        test.assertLessEqual(len(line), 998)
        test.assertNotIn(b"\r", line)
        test.assertNotIn(b"\n", line)
        test.assertTrue(all(0 < b < 0x80 for b in line), line[:80])
    mail = email.message_from_bytes(raw, policy=email.policy.default)
    test.assertEqual(mail["Content-Transfer-Encoding"], "7bit")
    test.assertEqual(mail.get_content_charset(), "iso-2022-jp")
    return mail


def mail_server(test, port_holder):
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    sink = Sink()
    smtp = start_smtp(test, sink, lambda *args: None)
    return sink, smtp


class HostileBodyTest(unittest.TestCase):
    def test_every_hostile_message_gives_a_valid_mail_and_an_unchanged_log_line(self):
        sink, smtp = mail_server(self, None)
        port = free_port()
        every_byte = bytes(range(256))
        messages = {
            # UTF-8 from a sender: read as Shift_JIS, "あ," and "あ)" end in a
            # broken pair whose trail byte once became a bare CR and LF.
            "utf-8": "<11>error ディスク障害 あ, あ) です".encode("utf-8"),
            "broken pairs": b"<11>error \x82, \x85\x40 \xf0\x40 \x80\xa0\xfd\xfe\xff end",
            "lone lead byte": b"<11>error disk full \x82",
            "32 KB line": b"<11>error " + b"A" * 31996,
            "half-width katakana": b"<11>error \xb6\xde\xb2\xbd\xb8 \xca\xdf\xdd",
            "every byte": b"<11>error " + every_byte,
            "dot lines": b"<11>error\r\n.\r\n.\r\nQUIT",
        }
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log",
                      "MAILSERVER=127.0.0.1", "MAILSERVERPORT=%d" % smtp.port,
                      "MAILFROM=quorvel@example.org", "MAILTO=ops@example.org",
                      # Control bytes reach the mail as this text.
                      "CNVCTRLCODE=^",
                      "KEYWORDLISTSTART", "error", "KEYWORDLISTEND"]) as q:
            self.assertTrue(q.start().wait_started(), q.stderr)
            for payload in messages.values():
                send([payload], port)
                # One at a time, so that each mail is known by its order.
                wait_until(lambda: len(sink.mails) == list(messages.values()).index(payload) + 1)
            self.assertTrue(wait_until(lambda: len(sink.mails) == len(messages)),
                            [l for l in entries(q.read("Quorvel.log"))])
            self.assertEqual(q.stop(), 0)
            recv = q.read("recv.log")

        texts = {}
        for (name, payload), (_, raw) in zip(messages.items(), sink.mails):
            with self.subTest(name):
                mail = check_wire_form(self, raw)
                body = raw.split(b"\r\n\r\n", 1)[1]
                texts[name] = read_iso2022jp(body)
                self.assertTrue(texts[name].startswith("\r\n127.0.0.1 said\r\n<11>error"), texts[name][:60])
                # The received-message log keeps the bytes as they came (its
                # layout turns control bytes into CNVCTRLCODE as before).
                converted = bytes(b if b >= 0x20 else ord("^") for b in payload if b != 0)
                self.assertIn(b"127.0.0.1 " + converted + b"\r\n", recv)
                del mail

        # Read as Shift_JIS, UTF-8 is garbled but whole: the comma and the
        # parenthesis stay on their line after the geta of the broken pair.
        lines = texts["utf-8"].split("\r\n")
        self.assertIn(GETA + ", ", lines[2])
        self.assertIn(GETA + ") ", lines[2])
        self.assertEqual(lines[3:], ["", ""], "the message is one line")
        line = {name: text.split("\r\n")[2] for name, text in texts.items()}
        self.assertEqual(line["broken pairs"], "<11>error " + GETA + ", " + GETA + " " + GETA + " " + GETA * 5 + " end")
        self.assertEqual(line["lone lead byte"], "<11>error disk full " + GETA)
        self.assertEqual(line["half-width katakana"], "<11>error ガイスク パン")
        self.assertEqual(line["dot lines"], "<11>error^^.^^.^^QUIT")
        self.assertIn("A" * 31996, texts["32 KB line"].replace("\r\n", ""))
        self.assertGreaterEqual(texts["32 KB line"].count("\r\n"), 33)


class StormGuardTest(unittest.TestCase):
    INTERVAL = 4

    def test_flood_gives_one_mail_per_keyword_and_address_and_the_next_mail_the_count(self):
        sink, smtp = mail_server(self, None)
        port = free_port()
        with Quorvel(["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log",
                      "MAILSERVER=127.0.0.1", "MAILSERVERPORT=%d" % smtp.port,
                      "MAILFROM=quorvel@example.org", "MAILTO=ops@example.org",
                      "MAILINTERVAL=%d" % self.INTERVAL, "STATSINTERVAL=3600",
                      "KEYWORDLISTSTART", "error a@example.org b@example.org", "disk", "KEYWORDLISTEND"]) as q:
            self.assertTrue(q.start().wait_started(), q.stderr)
            start = time.monotonic()
            flood = 2000
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                # About 5,000 a second, paced so as not to starve the tests
                # that run beside this one.
                for i in range(0, flood, 25):
                    for j in range(i, i + 25):
                        s.sendto(b"<11>error %d" % j, ("127.0.0.1", port))
                        s.sendto(b"<11>disk %d" % j, ("127.0.0.1", port))
                    time.sleep(0.01)
            # The kernel may drop some of a burst; the received-message log
            # tells what reached the server once it stops growing.
            recv_lines = -1
            while recv_lines != q.read("recv.log").count(b"\r\n"):
                recv_lines = q.read("recv.log").count(b"\r\n")
                time.sleep(0.3)
            recv = q.read("recv.log")
            if time.monotonic() - start >= self.INTERVAL:
                self.skipTest("the flood took longer than the interval on this machine")
            flood_mails = list(sink.mails)
            wait_until(lambda: time.monotonic() - start > self.INTERVAL + 0.5, timeout=self.INTERVAL + 2)
            send([b"<11>error after", b"<11>disk after"], port)
            self.assertTrue(wait_until(lambda: len(sink.mails) == len(flood_mails) + 3), sink.mails)
            self.assertEqual(q.stop(), 0)
            log = entries(q.read("Quorvel.log"))

        self.assertEqual(sorted(m[0] for m in flood_mails), ["a@example.org", "b@example.org", "ops@example.org"])
        errors = recv.count(b" <11>error ")
        disks = recv.count(b" <11>disk ")
        self.assertEqual(errors + disks, recv_lines)
        held_line = re.compile(r"送信間隔内のため保留した同じキーワードの通知: (\d+) 件 \(最初 "
                               r"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)、最後 (\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)\)")
        counts = {}
        for address, raw in sink.mails[len(flood_mails):]:
            text = read_iso2022jp(check_wire_form(self, raw) and raw.split(b"\r\n\r\n", 1)[1])
            match = held_line.search(text)
            self.assertIsNotNone(match, text)
            counts[address] = int(match.group(1))
            self.assertLessEqual(match.group(2), match.group(3))
        # Every flood match after the first mail was held, for each address.
        self.assertEqual(counts, {"a@example.org": errors - 1, "b@example.org": errors - 1,
                                  "ops@example.org": disks - 1})
        # The instance's totals at the stop count every held match.
        totals = [l for l in log if l.startswith(b" " + sjis("停止時の統計: "))]
        self.assertEqual(len(totals), 1, log[-3:])
        self.assertIn(sjis("、メール抑止 %d 件" % (2 * (errors - 1) + disks - 1)), totals[0])
        # One operation-log line per address when holding begins, not one per match.
        held_log = [l for l in log if sjis("送信間隔内のため保留し") in l]
        self.assertEqual(sorted(held_log), sorted(
            b" 127.0.0.1 " + sjis("へ %s 宛のメールは送信間隔内のため保留し、次のメールで件数を知らせます。(%s)" % (a, k))
            for a, k in (("a@example.org", "error"), ("b@example.org", "error"), ("ops@example.org", "disk"))))


if __name__ == "__main__":
    unittest.main()
