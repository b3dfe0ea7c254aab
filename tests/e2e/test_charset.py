"""UTF-8 senders matched by a Japanese keyword of a UTF-8 ini and mailed as the text they sent, read
back with Python's email package and with nkf; Shift_JIS under AUTO mailed byte for byte as by default."""

import email
import email.policy
import logging
import logging.handlers
import re
import subprocess
import unittest

from quorvel_e2e import GETA, Quorvel, free_port, mail_ini, mail_sink, send, sjis, wait_until

KEYWORD = "ディスク障害"
SUBJECT = "【警告】ディスク障害を検出しました"


def nkf(data, *words):
    return subprocess.run(["nkf", "-w", *words], input=data, capture_output=True, check=True).stdout.decode("utf-8")


def read_mail(test, raw):
    """(charset, subject, body) as Python's email package reads them, once the wire form is
    checked (7-bit lines of at most 998 bytes, no bare CR or LF) and nkf has read the same: -m
    for the header and an ISO-2022-JP body, -W -mB for a UTF-8 base64 body. Trailing line ends aside."""
    for line in raw.split(b"\r\n"):
        test.assertLessEqual(len(line), 998)
        test.assertTrue(all(0 < b < 0x80 and b not in b"\r\n" for b in line), line[:80])
    mail = email.message_from_bytes(raw, policy=email.policy.default)
    subject, body = str(mail["Subject"]), mail.get_content().rstrip("\r\n")
    header, _, wire_body = raw.partition(b"\r\n\r\n")
    by_nkf = nkf(wire_body, *(("-W", "-mB") if mail["Content-Transfer-Encoding"] == "base64" else ("-m",))).rstrip("\r\n")
    nkf_subject = re.search(r"^Subject: ([^\r\n]*(?:\r\n\t[^\r\n]*)*)", nkf(header, "-m"), re.M).group(1)
    test.assertEqual((re.sub(r"\r\n\t", "", nkf_subject), by_nkf), (subject, body))
    return mail.get_content_charset(), subject, body


class CharsetTest(unittest.TestCase):
    def test_utf8_senders_match_a_japanese_keyword_of_a_utf8_ini_and_get_the_text_they_sent(self):
        ports, (sink, smtp) = (free_port(), free_port()), mail_sink(self)
        lines = mail_ini(ports[0], smtp.port, KEYWORD, extra=[
            "MAILSUBJECT=" + SUBJECT + "😀", "MESSAGECHARSET=AUTO", "CNVCTRLCODE=・",
            "SYSLOGPORT2=%d" % ports[1], "RECVLOGNAME2=recv2.log", "MESSAGECHARSET2=UTF8", "MAILCHARSET2=UTF-8"])
        # Saved as UTF-8 with a BOM; the last line holds a byte no UTF-8 text does.
        ini = b"\xef\xbb\xbf" + "\r\n".join(lines).encode("utf-8") + b"\r\n; cut \xe9\x9a\r\n"
        text = KEYWORD + "が発生しました 😀 /var"
        bom_5424 = b"<11>1 2026-12-08T04:00:00Z host app - - - \xef\xbb\xbf" + text.encode("utf-8")
        hostile = b"<11>" + KEYWORD.encode("utf-8") + b" \xc0\xaf \xed\xa0\x80\t\xef\xbb\xbf \xe9\x9a"
        with Quorvel(ini_bytes=ini).up() as q:
            for n, port in enumerate(ports):
                subprocess.run(["logger", "--udp", "--server", "127.0.0.1", "--port", str(port), "-t", "app", text],
                               check=True)
                handler = logging.handlers.SysLogHandler(address=("127.0.0.1", port))
                handler.emit(logging.makeLogRecord(dict(msg=text, levelname="ERROR")))
                handler.close()
                send([bom_5424, hostile], port)
                # The hostile one is not UTF-8 to AUTO and so holds no Shift_JIS keyword there.
                self.assertTrue(wait_until(lambda: len(sink.mails) == 3 + 4 * n), (n, len(sink.mails)))
            self.assertEqual(q.stop(), 0)
            received = [q.log(name) for name in ("recv.log", "recv2.log")]
            subject_line = lines.index("MAILSUBJECT=" + SUBJECT + "😀") + 1
            for line, chars in ((subject_line, "U+1F600"), (len(lines) + 1, "0xE9 0x9A")):
                self.assertIn("quorvel: warning: Quorvel.ini line %d: no Shift_JIS form for %s, read as the geta mark"
                              % (line, chars), q.stderr)
                self.assertIn(b" " + sjis("UTF-8 の設定ファイルに Shift_JIS にない文字があり、〓 として読みました: "
                                          "%s (行 %d)" % (chars, line)), q.log())
        # The received-message logs keep each sender's bytes (a control byte as CNVCTRLCODE says).
        for log in received:
            self.assertIn(b"127.0.0.1 " + bom_5424, log)
            self.assertIn(b"127.0.0.1 " + hostile.replace(b"\t", sjis("・")), log)
        mails = [read_mail(self, m["raw"]) for m in sink.mails]
        self.assertEqual([charset for charset, _, _ in mails], ["iso-2022-jp"] * 3 + ["utf-8"] * 4)
        for (charset, subject, body), line in zip(mails, received[0][:3] + received[1][:3]):
            with self.subTest(line=line):
                self.assertEqual(subject, SUBJECT + GETA)
                # The BOM never shows; what the code page lacks is the geta mark in ISO-2022-JP only.
                shown = line[len(b"127.0.0.1 "):].decode("utf-8").replace("\ufeff", "")
                self.assertEqual(body, "\r\n127.0.0.1 said\r\n" + (shown.replace("😀", GETA) if charset == "iso-2022-jp"
                                                                     else shown))
        self.assertTrue(mails[6][2].endswith(" %s %s・ %s" % (GETA * 2, GETA * 3, GETA)), mails[6][2])

    def test_auto_mails_shift_jis_byte_for_byte_as_the_default_does(self):
        ports, (sink, smtp) = (free_port(), free_port()), mail_sink(self)
        ini = mail_ini(ports[0], smtp.port, KEYWORD, "error", extra=[
            "MAILSUBJECT=" + SUBJECT, "SYSLOGPORT2=%d" % ports[1], "RECVLOGNAME2=recv2.log", "MESSAGECHARSET2=AUTO"])
        with Quorvel(ini).up() as q:
            # Default first, then AUTO, one mail at a time so that each is known by its order.
            for message in (sjis("<11>%sが発生 ｶﾅ ①" % KEYWORD), b"<11>error \x82\xa0\x82 \xff\x00\x1b$B"):
                for port in ports:
                    count = len(sink.mails)
                    send([message], port)
                    self.assertTrue(wait_until(lambda: len(sink.mails) == count + 1))
            self.assertEqual(q.stop(), 0)
        raws = [re.sub(rb"(?m)^(Date|Message-ID): .*$", b"", m["raw"]) for m in sink.mails]
        self.assertEqual((raws[0], raws[2]), (raws[1], raws[3]))
        self.assertIn(b'charset="iso-2022-jp"', raws[0])
