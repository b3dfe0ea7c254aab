"""quorvel.exe as a Windows service under Wine: install, start, datagrams over IPv4 and IPv6,
stop, remove, the failures a user meets, and the event log entries of each; and retention where
there is no logrotate, which deletes and compresses exactly the old files of its pattern in logs\\
and leaves every other entry alone."""

import datetime
import glob
import gzip
import os
import pathlib
import time
import unittest

import winehost
from quorvel_e2e import Relay, Sink, free_port, mail_ini, mail_line, send, sjis, smtp_server, wait_until
from winehost import SERVICE

KEY = r"HKLM\System\CurrentControlSet\Services" + "\\" + SERVICE
SERVER_STARTED = (0, 0, 1, sjis("Quorvel Server が開始しました"))
SERVER_STOPPED = (0, 0, 2, sjis("Quorvel Server が停止しました"))
COMPRESSED = b" " + sjis("ログを圧縮しました: ")
DELETED = b" " + sjis("保存期間を過ぎたログを削除しました: ")


def daily(age):
    return (datetime.date.today() - datetime.timedelta(days=age)).strftime("%Y%m%d") + "-syslog.log"


class WindowsServiceTest(winehost.WineTestCase):
    WORK = winehost.work_dir("e2e-windows")

    def wait_for_lines(self, pattern, count):
        self.assertTrue(wait_until(lambda: len(winehost.log_lines(pattern)) >= count, 30), pattern)
        return winehost.log_lines(pattern)

    def install(self, app, ini_lines):
        exe = self.wine.windows_path(winehost.make_app(app, ini_lines))
        self.wine_ok(exe, "-INSTALL")
        return exe

    def test_install_start_receive_stop_remove_from_a_folder_with_a_blank(self):
        sink = Sink()
        smtp = Relay(self, smtp_server(self, sink).port, held=True)
        port, app = free_port(), os.path.join(self.WORK, "app with blank")
        # Long enough for no periodic line: only the totals at the stop.
        exe = self.install(app, ["; Shift_JIS, CR LF, as on Windows", "SYSLOGPORT=%d" % port, "LOGTYPE=META", "RCODE=CRLF",
                                 "STATSINTERVAL=3600"] + mail_ini(port, smtp.port, "alert")[2:])
        # The entry as the service control manager keeps it in the registry.
        entry = dict((p[0], p[2]) for p in (l.strip().split(None, 2) for l in self.wine_ok("reg", "query", KEY)[0]
                                            .splitlines()) if len(p) == 3 and p[1].startswith("REG_"))
        self.assertEqual({k: entry.get(k) for k in ("DisplayName", "ImagePath", "Start", "Type", "ErrorControl",
                                                    "ObjectName")},
                         # Quoted, else the manager would try "Z:\...\app.exe" first; automatic, own process,
                         # errors ignored.
                         dict(DisplayName="Quorvel  Service", ImagePath='"%s"' % exe, Start="0x2", Type="0x10",
                              ErrorControl="0x0", ObjectName="LocalSystem"))
        self.assertTrue(entry.get("Description"))
        self.assertIn("サービスの登録に失敗しました。(Error code 1073)", self.wine_ok(exe, "/install", "-SILENT", code=1)[1])

        self.wine_ok("net", "start", SERVICE)
        self.assertIn("RUNNING", self.service_state())
        self.assertIn(SERVER_STARTED, winehost.event_entries(self.wine.trace_text()))
        operation = self.wait_for_lines(os.path.join(app, "logs", "Quorvel.log"), 7)
        received = os.path.join(app, "logs", "*-syslog.log")
        # 40000 bytes are longer than one read takes: a read error, never a cut line.
        send([b"<34>Oct 11 22:14:15 mymachine su: 'su root' failed", b"x" * 40000, b"tab\there cr\r lf\n",
              sjis("<11>ディスク容量不足")], port)
        self.wait_for_lines(received, 3)
        send([b"<13>from IPv6"], port, "::1")
        self.wait_for_lines(received, 4)
        send([b"<11>alert: disk failed"], port)
        self.assertTrue(smtp.connected.wait(30), "the alert mail is under way")
        self.assertEqual(self.wait_for_lines(received, 5), [
            b"127.0.0.1 <34>Oct 11 22:14:15 mymachine su: 'su root' failed", b"127.0.0.1 tabhere cr lf",
            b"127.0.0.1 " + sjis("<11>ディスク容量不足"), b"::1 <13>from IPv6", b"127.0.0.1 <11>alert: disk failed"])
        # The default name is the month's; this month, or last month just after midnight.
        months = {d.strftime("%Y-%m") for d in (datetime.date.today(), datetime.date.today() - datetime.timedelta(1))}
        self.assertIn(os.path.basename(glob.glob(received)[0])[:7], months)

        # With the mail server silent, the stop still ends soon.
        started = time.monotonic()
        self.stop_service()
        self.assertLess(time.monotonic() - started, 20)
        events = winehost.event_entries(self.wine.trace_text())
        self.assertLess(events.index(SERVER_STARTED), events.index(SERVER_STOPPED))
        self.assertEqual(sorted(operation[2:4]), [b" Bind from IPv4", b" Bind from IPv6"])
        # The event-log entry of the stop stays as it was; the run's totals go to the operation log.
        totals = ("停止時の統計: 受信 6 件、書き込み 5 件、破棄 0 件 (受信バッファ溢れ 0、キュー満杯 0、ロック待ち超過 0、"
                  "書き込み失敗 0)、サイズ超過 1 件、キーワード一致 1 件、メール送信 0 件、メール送信失敗 1 件、メール破棄 0 件、"
                  "メール抑止 0 件")
        self.assertEqual(winehost.log_lines(os.path.join(app, "logs", "Quorvel.log")), [
            b" " + sjis("Bind 処理開始 (IPv4/IPv6)"), b" Bind port is %d" % port] + operation[2:4] + [
            b" " + sjis("受信バッファサイズ 8388608 バイト"), b" " + sjis("Quorvel サービスを開始しました。"),
            b" " + sjis("IPv6を有効にしました。"), b"127.0.0.1 10040 ReadCount Socket_Error",
            mail_line("ops@example.org", "alert", "cut short by the stop"),
            b" " + sjis("Quorvel サービスを停止しました"), b" " + sjis(totals)])
        self.assertEqual(sink.mails, [])

        self.wine_ok(exe, "-UNINSTALL")
        self.assertNotEqual(self.wine.run(["sc", "query", SERVICE])[0], 0)
        self.assertIn("サービスの登録解除に失敗しました。(Error code 1060)", self.wine_ok(exe, "-uninstall", code=1)[1])

    def test_console_start_without_command_word_is_the_dispatcher_failure(self):
        exe = self.wine.windows_path(winehost.make_app(os.path.join(self.WORK, "app console"), ["SYSLOGPORT=-1"]))
        before = len(winehost.event_entries(self.wine.trace_text()))
        code, _, err = self.wine.run([exe], timeout=60)
        self.assertEqual(code, 0)
        # Error type, category 0, the system's code 1063 as the ID.
        self.assertIn((1, 0, 1063, sjis("サービスの開始に失敗しました")), winehost.event_entries(err.decode("latin-1")))
        self.assertEqual(len(winehost.event_entries(self.wine.trace_text())), before)

    def test_keepdays_and_compression_take_only_the_patterns_old_files_in_logs(self):
        port, app = free_port(), os.path.join(self.WORK, "app retention")
        exe = self.install(app, ["SYSLOGPORT=%d" % port, "RECVLOGNAME=%Y%M%D-syslog.log", "KEEPDAYS=90",
                                 "COMPRESSAFTERDAYS=30"])
        logs = os.path.join(app, "logs")
        os.mkdir(logs)
        content = {daily(age): b"2020/01/01 00:00:00.000 192.0.2.1 day %d\r\n" % age * 50 for age in range(121)}
        decoys = {"notes.txt": b"mine", daily(100) + ".bak": b"a copy", daily(100)[:8] + "-other.log": b"other"}
        for name, data in {**content, **decoys}.items():
            pathlib.Path(logs, name).write_bytes(data)
        os.mkdir(os.path.join(logs, daily(110) + ".d"))
        os.remove(os.path.join(logs, daily(111)))
        os.mkdir(os.path.join(logs, daily(111)))  # a folder by a dated name

        self.wine_ok("net", "start", SERVICE)
        operation = os.path.join(logs, "Quorvel.log")
        self.assertTrue(wait_until(lambda: sum(l.startswith(COMPRESSED) for l in winehost.log_lines(operation)) == 60,
                                   90), winehost.log_lines(operation)[-3:])
        send([b"<13>while keeping house"], port)
        self.assertTrue(wait_until(lambda: pathlib.Path(logs, daily(0)).read_bytes().endswith(
            b" 127.0.0.1 <13>while keeping house\r\n"), 30))
        self.stop_service()
        self.wine_ok(exe, "-UNINSTALL")

        lines = winehost.log_lines(operation)
        # Ages 91 to 120 deleted but the folder, each with its size; 31 to 90 compressed.
        self.assertEqual(sorted(l for l in lines if l.startswith(DELETED)), sorted(
            DELETED + daily(age).encode() + b" (%d " % len(content[daily(age)]) + sjis("バイト") + b")"
            for age in range(91, 121) if age != 111))
        expected = {daily(age) for age in range(31)} | {daily(age) + ".gz" for age in range(31, 91)}
        expected |= set(decoys) | {daily(110) + ".d", daily(111), "Quorvel.log"}
        self.assertEqual(sorted(os.listdir(logs)), sorted(expected))
        for age in range(31, 91):
            self.assertEqual(gzip.decompress(pathlib.Path(logs, daily(age) + ".gz").read_bytes()), content[daily(age)])
        for name, data in {**decoys, daily(30): content[daily(30)]}.items():
            self.assertEqual(pathlib.Path(logs, name).read_bytes(), data)


if __name__ == "__main__":
    unittest.main()
