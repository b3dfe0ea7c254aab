"""Keyword alerts through a real SMTP server (aiosmtpd refuses DATA lines over 1,000 bytes):
mails read back as a mail client reads them, and MAILINTERVAL holding back a flood."""

import email
import email.policy
import email.utils
import os
import re
import shutil
import time
import unittest

from quorvel_e2e import ACCOUNT, GETA, PASSWORD, Quorvel, free_port, mail_ini, mail_line, mail_sink, send, sjis, wait_until

SUBJECT = "【警告】キーワードを検出しました：ディスク容量が不足しています"


def read_iso2022jp(data):
    """An ISO-2022-JP body as Japanese mailers read it: JIS X 0208 plus the code page 932 rows
    (Python's codec knows the first only). Fails on a stray escape, a broken pair, a line ending in kanji."""
    out, kanji = [], False
    for piece in re.split(rb"(\x1b\$B|\x1b\(B)", data):
        if piece in (b"\x1b$B", b"\x1b(B"):
            kanji = piece == b"\x1b$B"
            continue
        assert b"\x1b" not in piece and not (kanji and (b"\r\n" in piece or len(piece) % 2)), piece
        # Row and cell to the Shift_JIS pair that code page 932 decodes.
        out.append(b"".join(bytes([(r + 1) // 2 + (0x70 if r <= 0x5e else 0xb0),
                                   c + (0x1f if c <= 0x5f else 0x20) if r % 2 else c + 0x7e])
                            for r, c in zip(piece[::2], piece[1::2])).decode("cp932") if kanji else piece.decode("latin-1"))
    return "".join(out)


def body_text(test, raw):
    """The body as a mailer shows it, once the wire form is checked: 7-bit lines of at most
    998 bytes, CR and LF only as pairs (RFC 5322, RFC 2045)."""
    test.assertTrue(raw.endswith(b"\r\n"))
    for line in raw.split(b"\r\n"):
        test.assertLessEqual(len(line), 998)
        test.assertTrue(all(0 < b < 0x80 and b not in b"\r\n" for b in line), line[:80])
    mail = email.message_from_bytes(raw, policy=email.policy.default)
    test.assertEqual((mail["Content-Transfer-Encoding"], mail.get_content_charset()), ("7bit", "iso-2022-jp"))
    return read_iso2022jp(raw.split(b"\r\n\r\n", 1)[1])


RMEM_MAX = int(open("/proc/sys/net/core/rmem_max").read())


class MailTest(unittest.TestCase):
    def test_start_notes_show_on_standard_error_and_in_the_operation_log_and_a_failed_mail_names_its_cause(self):
        port, closed, (sink, smtp) = free_port(), free_port(), mail_sink(self)
        # Without CAP_NET_ADMIN the buffer is capped by net.core.rmem_max, as for the service's account.
        capped = bool(shutil.which("setpriv")) and RMEM_MAX < 8388608
        prefix = ["setpriv", "--bounding-set=-net_admin"] if capped else []
        buffer = ("警告 : 受信バッファが要求より小さいため、集中した受信でメッセージを失うことがあります: %d バイト (要求 8388608 バイト)。"
                  "net.core.rmem_max を上げてください (sysctl -w net.core.rmem_max=8388608)" % RMEM_MAX,
                  "instance 1: warning: receive buffer of %d bytes granted, 8388608 asked for: raise net.core.rmem_max"
                  % RMEM_MAX)
        readable = ("SMTPAUTHPASS を含む設定ファイルを他のユーザーが読めます: {dir}/Quorvel.ini",
                    "warning: {dir}/Quorvel.ini holds SMTPAUTHPASS and other users may read it")
        block = ["KEYWORDLISTSTART", "disk a@example.org", "KEYWORDLISTEND"]
        cases = [
            # The ini (from line 1); each note: the operation log's text, the start of its line on standard error;
            # the outcome of the mail for "<11>disk error".
            (["SYSLOGPORT=%d" % port, "MAILSERVER=127.0.0.1", "SMTPAUTHPASS=x", "BOGUS=1"] + block + block, [
                ("設定ファイルの不明なキーを無視しました: BOGUS (行 4)", "warning: unknown key BOGUS ignored (line 4)"),
                ("2 つ目以降の KEYWORDLISTSTART を無視しました (読むのは最初のキーワードブロックだけです): KEYWORDLISTSTART (行 8)",
                 "warning: KEYWORDLISTSTART ignored: only the first keyword block is read (line 8)"),
                ("キーワードがありますが、MAILSERVER と MAILTO の両方がないため警告メールは送信しません。空のキー: MAILTO (行 5)",
                 "warning: keywords are set (line 5) but no alert mail is sent: empty MAILTO"), readable], None),
            # Nothing listens on that port: the connect is refused at once.
            (["SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log", "MAILSERVER=127.0.0.1", "MAILSERVERPORT=%d" % closed,
              "MAILTO=ops@example.org"] + block, [
                ("MAILFROM が空のため、警告メールは差出人なし (MAIL FROM:<>、From: <>) で送られます。受け取らないメールサーバーがあります: "
                 "MAILFROM", "warning: MAILFROM is empty: alert mail goes out as MAIL FROM:<> and From: <>")],
             mail_line("a@example.org", "disk", "cannot connect: Connection refused")),
            (mail_ini(port, smtp.port, extra=["SMTPAUTH=login", "SMTPAUTHID=alerts", "SMTPAUTHPASS=wrong"]), [readable],
             mail_line("ops@example.org", "error", "login refused"))]
        for ini, notes, failed in cases:
            with self.subTest(ini=ini[1:4]), Quorvel(ini) as q:
                os.chmod(os.path.join(q.dir, "Quorvel.ini"), 0o644)
                q.up(prefix=prefix)
                if failed:
                    send([b"<11>disk error"], port)
                    self.assertTrue(wait_until(lambda: sjis("宛のメール送信") in q.read("Quorvel.log")), q.log())
                self.assertEqual(q.stop(), 0)
                log, console, notes = q.log(), q.stderr, notes + [buffer] * capped
                for text, said in ((t.format(dir=q.dir), s.format(dir=q.dir)) for t, s in notes):
                    self.assertEqual(sum(l.startswith(b" " + sjis(text)) for l in log), 1, (text, log))
                    self.assertEqual(sum(l.startswith("quorvel: " + said) for l in console), 1, (said, console))
                # Each once, and warnings are all that standard error adds.
                self.assertEqual(len([l for l in console if ": warning: " in l]), len(notes), console)
                self.assertEqual([l for l in log if sjis("宛のメール送信") in l], [failed] if failed else [])
        self.assertEqual((sink.mails, sink.auth_over_tls), ([], [False]))

    def test_first_matching_keyword_mails_each_address_and_logs_each_outcome(self):
        port, (sink, smtp) = free_port(), mail_sink(self)
        message = sjis("<11>ディスク障害 disk full on /var, error")
        with Quorvel(mail_ini(port, smtp.port, '"disk full" a@example.org refused@example.org b@example.org',
                              "error", extra=["MAILSUBJECT=" + SUBJECT, "SMTPAUTH=CRAM-MD5", "SMTPAUTHID=alerts",
                                              "SMTPAUTHPASS=" + PASSWORD.decode()])) as q:
            sink.on_mail_from = lambda: b"127.0.0.1 " + message in q.read("recv.log")
            # A zone with a half-hour offset: the Date header must carry it.
            q.up(TZ="IST-5:30", QUORVEL_HOSTNAME="alerts.quorvel.test")
            sent = time.time()
            send([message, b"<11>an error"], port)
            q.wait_for_lines("Quorvel.log", 7 + 4)
            self.assertEqual(q.stop(), 0)
            self.assertEqual([l for l in q.log() if sjis("宛のメール送信") in l], [
                mail_line("a@example.org", "disk full"), mail_line("refused@example.org", "disk full", "recipient refused"),
                mail_line("b@example.org", "disk full"), mail_line("ops@example.org", "error")])
        # The log line is written before the mail; the greeting names the host as the environment says.
        self.assertEqual([(m["to"], m["noted"], m["auth"].login, m["helo"]) for m in sink.mails],
                         [([a], True, ACCOUNT, "alerts.quorvel.test") for a in ("a@example.org", "b@example.org", "ops@example.org")])
        for m in sink.mails[:2]:
            mail = email.message_from_bytes(m["raw"], policy=email.policy.default)
            self.assertEqual(list(mail.keys()), ["From", "To", "Date", "Subject", "Mime-Version", "Message-ID",
                                                 "Content-Type", "Content-Transfer-Encoding", "Priority", "X-Mailer"])
            self.assertEqual(str(mail["Subject"]), SUBJECT)
            self.assertEqual(body_text(self, m["raw"]), "\r\n127.0.0.1 said\r\n" + message.decode("cp932") + "\r\n\r\n")
            self.assertRegex(str(mail["Message-ID"]), r"^<[0-9a-f]{40}@example\.org>$")
            date = email.utils.parsedate_to_datetime(str(mail["Date"]))
            self.assertEqual(date.strftime("%z"), "+0530")
            self.assertLess(abs(date.timestamp() - sent), 60, "the Date header names a wrong instant")

    def test_every_hostile_message_gives_a_valid_mail_and_an_unchanged_log_line(self):
        port, (sink, smtp) = free_port(), mail_sink(self)
        messages = {
            # UTF-8 from a sender: read as Shift_JIS, "あ," and "あ)" end in a
            # broken pair whose trail byte once became a bare CR and LF.
            "utf-8": "<11>error ディスク障害 あ, あ) です".encode("utf-8"),
            "broken pairs": b"<11>error \x82, \x85\x40 \xf0\x40 \x80\xa0\xfd\xfe\xff end",
            "lone lead byte": b"<11>error disk full \x82", "32 KB line": b"<11>error " + b"A" * 31996,
            "half-width katakana": b"<11>error \xb6\xde\xb2\xbd\xb8 \xca\xdf\xdd",
            "every byte": b"<11>error " + bytes(range(256)), "dot lines": b"<11>error\r\n.\r\n.\r\nQUIT"}
        with Quorvel(mail_ini(port, smtp.port, extra=["CNVCTRLCODE=^"])).up() as q:
            for i, payload in enumerate(messages.values()):
                # One at a time, so that each mail is known by its order.
                send([payload], port)
                self.assertTrue(wait_until(lambda: len(sink.mails) == i + 1), q.log())
            self.assertEqual(q.stop(), 0)
            recv = q.read("recv.log")
        texts = {}
        for (name, payload), mail in zip(messages.items(), sink.mails):
            with self.subTest(name):
                texts[name] = body_text(self, mail["raw"])
                self.assertTrue(texts[name].startswith("\r\n127.0.0.1 said\r\n<11>error"), texts[name][:60])
                converted = bytes(b if b >= 0x20 else ord("^") for b in payload if b != 0)
                self.assertIn(b"127.0.0.1 " + converted + b"\r\n", recv)
        # Read as Shift_JIS, UTF-8 is garbled but whole: the comma and the
        # parenthesis stay on their line after the geta of the broken pair.
        lines = texts["utf-8"].split("\r\n")
        self.assertTrue(GETA + ", " in lines[2] and GETA + ") " in lines[2], lines[2])
        self.assertEqual(lines[3:], ["", ""], "the message is one line")
        shown = {"broken pairs": "<11>error {0}, {0} {0} {0}{0}{0}{0}{0} end".format(GETA),
                 "lone lead byte": "<11>error disk full " + GETA,
                 "half-width katakana": "<11>error ガイスク パン", "dot lines": "<11>error^^.^^.^^QUIT"}
        self.assertEqual({name: texts[name].split("\r\n")[2] for name in shown}, shown)
        self.assertIn("A" * 31996, texts["32 KB line"].replace("\r\n", ""))
        self.assertGreaterEqual(texts["32 KB line"].count("\r\n"), 33)

    def test_flood_gives_one_mail_per_keyword_and_address_and_the_next_mail_the_count(self):
        port, (sink, smtp) = free_port(), mail_sink(self)
        interval = 5
        with Quorvel(mail_ini(port, smtp.port, "error a@example.org b@example.org", "disk",
                              extra=["MAILINTERVAL=%d" % interval, "STATSINTERVAL=3600"])).up() as q:
            flood = [b"<11>%s %d" % (kind, i) for i in range(2000) for kind in (b"error", b"disk")]
            with q.paused():
                send(flood, port)
                start = time.monotonic()
            q.wait_for_lines("recv.log", len(flood))
            self.assertTrue(wait_until(lambda: len(sink.mails) == 3))
            if time.monotonic() - start >= interval:
                self.skipTest("the flood took longer than the interval on this machine")
            flood_mails = list(sink.mails)
            wait_until(lambda: time.monotonic() - start > interval + 0.5, timeout=interval + 2)
            send([b"<11>error after", b"<11>disk after"], port)
            self.assertTrue(wait_until(lambda: len(sink.mails) == 6), sink.mails)
            self.assertEqual(q.stop(), 0)
            log = q.log()
        self.assertEqual(sorted(m["to"][0] for m in flood_mails), ["a@example.org", "b@example.org", "ops@example.org"])
        held_line = re.compile(r"送信間隔内のため保留した同じキーワードの通知: (\d+) 件 \(最初 "
                               r"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)、最後 (\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)\)")
        held = {m["to"][0]: held_line.search(body_text(self, m["raw"])).groups() for m in sink.mails[3:]}
        self.assertEqual({a: h[0] for a, h in held.items()}, dict.fromkeys(("a@example.org", "b@example.org", "ops@example.org"), "1999"))
        self.assertTrue(all(h[1] <= h[2] for h in held.values()), held)
        self.assertTrue(log[-1].startswith(b" " + sjis("停止時の統計: ")) and sjis("、メール抑止 5997 件") in log[-1], log[-1])
        # One operation-log line per address when holding begins, not one per match.
        self.assertEqual(sorted(l for l in log if sjis("送信間隔内のため保留し") in l), sorted(
            b" 127.0.0.1 " + sjis("へ %s 宛のメールは送信間隔内のため保留し、次のメールで件数を知らせます。(%s)" % (a, k))
            for a, k in (("a@example.org", "error"), ("b@example.org", "error"), ("ops@example.org", "disk"))))

    def test_matches_that_find_the_mail_queue_full_are_held_and_told_in_the_next_mail(self):
        (sink, smtp), port, interval, pairs = mail_sink(self, held=True), free_port(), 10, 150  # the first mail waits until released

        def match_round(number, pause=0.0):
            for i in range(pairs):
                send([b"<11>kw%03d round %d" % (i, number)], port)
                time.sleep(pause)
            q.wait_for_lines("recv.log", number * pairs)

        with Quorvel(mail_ini(port, smtp.port, *("kw%03d r%03d@example.org" % (i, i) for i in range(pairs)),
                              extra=["MAILINTERVAL=%d" % interval])).up() as q:
            start = time.monotonic()
            match_round(1)  # one mail under way, the queue full behind it, the rest find no room
            self.assertTrue(smtp.connected.wait(30))
            match_round(2)  # within the interval of every mail of the first round
            smtp.release.set()
            counts = []
            wait_until(lambda: counts.append(len(sink.mails)) or counts[-50:] == [len(sink.mails)] * 50, timeout=60)
            first = len(sink.mails)
            self.assertLess(first, pairs, "the queue was full")
            if time.monotonic() - start >= interval:
                self.skipTest("the first two rounds took longer than the interval on this machine")
            wait_until(lambda: time.monotonic() - start > interval + 0.5, timeout=interval + 2)
            match_round(3, pause=0.04)  # after the interval, at a pace the mail server keeps up with
            self.assertTrue(wait_until(lambda: len(sink.mails) == first + pairs, timeout=60), len(sink.mails))
            self.assertEqual(q.stop(), 0)
            # One line per pair when its holding began: for every pair in a full queue.
            self.assertEqual(sum(sjis("宛のメールは送信待ちが満杯のため保留し") in l for l in q.log()), pairs)
        held_line = re.compile(r"送信間隔内のため保留した同じキーワードの通知: (\d+) 件")
        told = dict.fromkeys(("r%03d@example.org" % i for i in range(pairs)), 0)
        for mail in sink.mails:
            held = held_line.search(body_text(self, mail["raw"]))
            told[mail["to"][0]] += 1 + (int(held.group(1)) if held else 0)
        self.assertEqual([a for a, n in told.items() if n != 3], [], "pairs not told of all three matches")
