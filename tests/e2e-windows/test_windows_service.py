"""quorvel.exe as a real Windows service under Wine: install, start through
the service control manager, syslog datagrams over IPv4 and IPv6 into the
logs beside the program, stop, remove, the failures a user meets, and the
event log entries of each."""

import datetime
import glob
import os
import shutil
import sys
import time
import unittest

import winehost

# The helpers of the Linux scenarios read logs and send datagrams alike here.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from quorvel_e2e import entries, free_port, send, sjis, wait_until  # noqa: E402
from test_no_loss import SilentSmtpServer  # noqa: E402

EXE = os.environ.get("QUORVEL_EXE", "quorvel.exe")
WORK = os.environ.get("QUORVEL_E2E_DIR", os.path.join(os.path.dirname(os.path.abspath(EXE)), "e2e-windows"))

SERVICE = "QuorvelService"
START_FAILED = sjis("サービスの開始に失敗しました")
INSTALL_FAILED = "サービスの登録に失敗しました。(Error code 1073)"
REMOVE_FAILED = "サービスの登録解除に失敗しました。(Error code 1060)"
SERVER_STARTED = (0, 0, 1, sjis("Quorvel Server が開始しました"))
SERVER_STOPPED = (0, 0, 2, sjis("Quorvel Server が停止しました"))


class WindowsServiceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = winehost.WinePrefix(os.path.join(WORK, "wine"))
        cls.wine.start()
        cls.app = os.path.join(WORK, "app")
        shutil.rmtree(cls.app, ignore_errors=True)
        os.makedirs(cls.app)
        shutil.copy(EXE, os.path.join(cls.app, "quorvel.exe"))
        cls.exe = cls.wine.windows_path(os.path.join(cls.app, "quorvel.exe"))
        # The service reads Quorvel.ini and writes logs\ beside its program.
        cls.port = free_port()
        with open(os.path.join(cls.app, "Quorvel.ini"), "wb") as f:
            f.write(b"".join(sjis(line) + b"\r\n" for line in [
                "; Shift_JIS, CR LF, as on Windows", "SYSLOGPORT=%d" % cls.port, "LOGTYPE=META", "RCODE=CRLF",
                # Long enough for no periodic line: only the totals at the stop.
                "STATSINTERVAL=3600"]))
        cls.logs = os.path.join(cls.app, "logs")

    @classmethod
    def tearDownClass(cls):
        cls.wine.stop()

    def sc_query(self):
        code, out, _ = self.wine.run(["sc", "query", SERVICE])
        return code, out.decode("latin-1")

    def read_log(self, pattern):
        """The one log file whose name matches, read whole."""
        names = glob.glob(os.path.join(self.logs, pattern))
        self.assertEqual(len(names), 1, names)
        with open(names[0], "rb") as f:
            return f.read()

    def wait_for_lines(self, pattern, count):
        self.assertTrue(wait_until(lambda: glob.glob(os.path.join(self.logs, pattern))
                                   and self.read_log(pattern).count(b"\r\n") >= count, 30), pattern)

    def test_install_start_stop_remove(self):
        code, _, err = self.wine.run([self.exe, "-INSTALL"])
        self.assertEqual(code, 0, err)
        # The entry as the service control manager keeps it in the registry.
        code, out, _ = self.wine.run(["reg", "query", r"HKLM\System\CurrentControlSet\Services" + "\\" + SERVICE])
        self.assertEqual(code, 0)
        entry = {}
        for line in out.decode("latin-1").splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) == 3 and parts[1].startswith("REG_"):
                entry[parts[0]] = parts[2]
        self.assertEqual(entry.get("DisplayName"), "Quorvel  Service")
        self.assertEqual(entry.get("ImagePath"), self.exe)
        self.assertEqual(entry.get("Start"), "0x2")  # automatic
        self.assertEqual(entry.get("Type"), "0x10")  # own process
        self.assertEqual(entry.get("ErrorControl"), "0x0")  # ignore
        self.assertEqual(entry.get("ObjectName"), "LocalSystem")
        self.assertTrue(entry.get("Description"))

        # A second install fails, says why, and leaves the entry alone.
        code, _, err = self.wine.run([self.exe, "/install", "-SILENT"], timeout=60)
        self.assertEqual(code, 1)
        self.assertIn(INSTALL_FAILED, err.decode("utf-8"))

        code, out, err = self.wine.run(["net", "start", SERVICE], timeout=120)
        self.assertEqual(code, 0, out + err)
        self.assertIn("RUNNING", self.sc_query()[1])
        self.assertIn(SERVER_STARTED, winehost.event_entries(self.wine.trace_text()))

        operation = self.check_reception()

        code, out, err = self.wine.run(["net", "stop", SERVICE], timeout=120)
        self.assertEqual(code, 0, out + err)
        self.assertIn("STOPPED", self.sc_query()[1])
        events = winehost.event_entries(self.wine.trace_text())
        self.assertIn(SERVER_STOPPED, events)
        self.assertLess(events.index(SERVER_STARTED), events.index(SERVER_STOPPED))
        # The event-log entry of the stop stays as it was; the run's totals go
        # to the operation log.
        totals = ("停止時の統計: 受信 5 件、書き込み 4 件、破棄 0 件 (受信バッファ溢れ 0、キュー満杯 0、ロック待ち超過 0、"
                  "書き込み失敗 0)、サイズ超過 1 件、キーワード一致 0 件、メール送信 0 件、メール送信失敗 0 件、メール破棄 0 件、"
                  "メール抑止 0 件")
        self.assertEqual(entries(self.read_log("Quorvel.log")),
                         operation + [b" " + sjis("Quorvel サービスを停止しました"), b" " + sjis(totals)])

        code, _, err = self.wine.run([self.exe, "-UNINSTALL"])
        self.assertEqual(code, 0, err)
        self.assertNotEqual(self.sc_query()[0], 0)
        code, _, err = self.wine.run([self.exe, "-uninstall"])
        self.assertEqual(code, 1)
        self.assertIn(REMOVE_FAILED, err.decode("utf-8"))

    def check_reception(self):
        """Datagrams of both families reach the received-message log as on
        Linux; returns the operation log's lines so far."""
        self.wait_for_lines("Quorvel.log", 7)
        send([b"<34>Oct 11 22:14:15 mymachine su: 'su root' failed",
              b"x" * 40000,  # longer than one read takes: a read error, never a cut line
              b"tab\there cr\r lf\n",
              sjis("<11>ディスク容量不足")], self.port, "127.0.0.1")
        expected = [b"127.0.0.1 <34>Oct 11 22:14:15 mymachine su: 'su root' failed",
                    b"127.0.0.1 tabhere cr lf",
                    b"127.0.0.1 " + sjis("<11>ディスク容量不足")]
        self.wait_for_lines("*-syslog.log", 3)
        send([b"<13>from IPv6"], self.port, "::1")
        expected.append(b"::1 <13>from IPv6")
        self.wait_for_lines("*-syslog.log", 4)
        self.assertEqual(entries(self.read_log("*-syslog.log")), expected)
        # The default name is the month's; this month, or last month just after midnight.
        months = {d.strftime("%Y-%m") for d in (datetime.date.today(), datetime.date.today() - datetime.timedelta(1))}
        self.assertIn(os.path.basename(glob.glob(os.path.join(self.logs, "*-syslog.log"))[0])[:7], months)

        operation = entries(self.read_log("Quorvel.log"))
        bind_from = operation[2:4]
        self.assertEqual(sorted(bind_from), [b" Bind from IPv4", b" Bind from IPv6"])
        self.assertEqual(operation, [b" " + sjis("Bind 処理開始 (IPv4/IPv6)"), b" Bind port is %d" % self.port]
                         + bind_from
                         + [b" " + sjis("受信バッファサイズ 8388608 バイト"),
                            b" " + sjis("Quorvel サービスを開始しました。"), b" " + sjis("IPv6を有効にしました。"),
                            b"127.0.0.1 10040 ReadCount Socket_Error"])
        return operation

    def test_console_start_without_command_word_is_the_dispatcher_failure(self):
        before = len(winehost.event_entries(self.wine.trace_text()))
        code, _, err = self.wine.run([self.exe], timeout=60)
        self.assertEqual(code, 0)
        entries = winehost.event_entries(err.decode("latin-1"))
        # Error type, category 0, the system's code 1063 as the ID.
        self.assertIn((1, 0, 1063, START_FAILED), entries)
        self.assertEqual(len(winehost.event_entries(self.wine.trace_text())), before)

    def test_program_in_a_folder_with_a_blank_is_registered_quoted_and_starts(self):
        app = os.path.join(WORK, "app with blank")
        shutil.rmtree(app, ignore_errors=True)
        os.makedirs(app)
        shutil.copy(EXE, os.path.join(app, "quorvel.exe"))
        with open(os.path.join(app, "Quorvel.ini"), "wb") as f:
            f.write(b"SYSLOGPORT=-1\r\n")  # no instance: the service runs without a listener
        exe = self.wine.windows_path(os.path.join(app, "quorvel.exe"))
        code, _, err = self.wine.run([exe, "-INSTALL"])
        self.assertEqual(code, 0, err)
        self.addCleanup(self.wine.run, [exe, "-UNINSTALL"])
        code, out, _ = self.wine.run(["reg", "query", r"HKLM\System\CurrentControlSet\Services" + "\\" + SERVICE,
                                      "/v", "ImagePath"])
        self.assertEqual(code, 0)
        # Unquoted, the manager would try "Z:\...\app.exe" first.
        self.assertIn('"%s"' % exe, out.decode("latin-1"))
        code, out, err = self.wine.run(["net", "start", SERVICE], timeout=120)
        self.assertEqual(code, 0, out + err)
        self.assertIn("RUNNING", self.sc_query()[1])
        code, out, err = self.wine.run(["net", "stop", SERVICE], timeout=120)
        self.assertEqual(code, 0, out + err)

    @staticmethod
    def count_lines(path):
        with open(path, "rb") as f:
            return f.read().count(b"\r\n")

    def test_net_stop_during_a_silent_mail_server_ends_within_ten_seconds(self):
        smtp = SilentSmtpServer()
        self.addCleanup(smtp.close)
        app = os.path.join(WORK, "app silent")
        shutil.rmtree(app, ignore_errors=True)
        os.makedirs(app)
        shutil.copy(EXE, os.path.join(app, "quorvel.exe"))
        port = free_port()
        with open(os.path.join(app, "Quorvel.ini"), "wb") as f:
            f.write(b"".join(sjis(line) + b"\r\n" for line in [
                "SYSLOGPORT=%d" % port, "RECVLOGNAME=recv.log", "MAILSERVER=127.0.0.1",
                "MAILSERVERPORT=%d" % smtp.port, "MAILFROM=quorvel@example.org", "MAILTO=ops@example.org",
                "KEYWORDLISTSTART", "alert", "KEYWORDLISTEND"]))
        exe = self.wine.windows_path(os.path.join(app, "quorvel.exe"))
        code, _, err = self.wine.run([exe, "-INSTALL"])
        self.assertEqual(code, 0, err)
        self.addCleanup(self.wine.run, [exe, "-UNINSTALL"])
        code, out, err = self.wine.run(["net", "start", SERVICE], timeout=120)
        self.assertEqual(code, 0, out + err)

        send([b"<11>alert: disk failed", b"<14>and one more"], port, "127.0.0.1")
        self.assertTrue(smtp.connected.wait(30), "the alert mail is under way")
        logs = os.path.join(app, "logs")
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(logs, "recv.log")) and self.count_lines(
            os.path.join(logs, "recv.log")) == 2, 30), "reception goes on")
        started = time.monotonic()
        code, out, err = self.wine.run(["net", "stop", SERVICE], timeout=120)
        self.assertEqual(code, 0, out + err)
        # Wine's net stop returns at once; the service reports the end itself.
        self.assertTrue(wait_until(lambda: "STOPPED" in self.sc_query()[1], 10))
        self.assertLess(time.monotonic() - started, 10)
        with open(os.path.join(logs, "Quorvel.log"), "rb") as f:
            self.assertEqual(entries(f.read())[-2:], [
                b" 127.0.0.1 " + sjis("へ ops@example.org 宛のメール送信に失敗しました。"),
                b" " + sjis("Quorvel サービスを停止しました")])


if __name__ == "__main__":
    unittest.main()
