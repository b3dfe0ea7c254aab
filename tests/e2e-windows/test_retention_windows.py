"""Retention where there is no logrotate: quorvel.exe as a service under Wine deletes and
compresses exactly the old files of its pattern in logs\\ and leaves every other entry alone."""

import datetime
import gzip
import os
import pathlib
import unittest

import winehost
from quorvel_e2e import free_port, send, sjis, wait_until

WORK = winehost.work_dir("e2e-windows")
SERVICE = "QuorvelService"
COMPRESSED = b" " + sjis("ログを圧縮しました: ")
DELETED = b" " + sjis("保存期間を過ぎたログを削除しました: ")


def daily(age):
    return (datetime.date.today() - datetime.timedelta(days=age)).strftime("%Y%m%d") + "-syslog.log"


class WindowsRetentionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = winehost.started_prefix(cls, os.path.join(WORK, "wine-retention"))

    def wine_ok(self, *args):
        result = self.wine.run(list(args))
        self.assertEqual(result[0], 0, result)

    def test_keepdays_and_compression_take_only_the_patterns_old_files_in_logs(self):
        port, app = free_port(), os.path.join(WORK, "app retention")
        exe = self.wine.windows_path(winehost.make_app(app, [
            "SYSLOGPORT=%d" % port, "RECVLOGNAME=%Y%M%D-syslog.log", "KEEPDAYS=90", "COMPRESSAFTERDAYS=30"]))
        logs = os.path.join(app, "logs")
        os.mkdir(logs)
        content = {daily(age): b"2020/01/01 00:00:00.000 192.0.2.1 day %d\r\n" % age * 50 for age in range(121)}
        for name, data in content.items():
            pathlib.Path(logs, name).write_bytes(data)
        decoys = {"notes.txt": b"mine", daily(100) + ".bak": b"a copy", daily(100)[:8] + "-other.log": b"other"}
        for name, data in decoys.items():
            pathlib.Path(logs, name).write_bytes(data)
        os.mkdir(os.path.join(logs, daily(110) + ".d"))
        os.remove(os.path.join(logs, daily(111)))
        os.mkdir(os.path.join(logs, daily(111)))  # a folder by a dated name

        self.wine_ok(exe, "-INSTALL")
        self.wine_ok("net", "start", SERVICE)
        operation = os.path.join(logs, "Quorvel.log")
        self.assertTrue(wait_until(lambda: sum(l.startswith(COMPRESSED) for l in winehost.log_lines(operation)) == 60,
                                   90), winehost.log_lines(operation)[-3:])
        send([b"<13>while keeping house"], port)
        self.assertTrue(wait_until(lambda: pathlib.Path(logs, daily(0)).read_bytes().endswith(
            b" 127.0.0.1 <13>while keeping house\r\n"), 30))
        self.wine_ok("net", "stop", SERVICE)
        self.assertTrue(wait_until(lambda: "STOPPED" in self.wine.run(["sc", "query", SERVICE])[1].decode("latin-1"), 30))
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
        for name, data in decoys.items():
            self.assertEqual(pathlib.Path(logs, name).read_bytes(), data)
        self.assertEqual(pathlib.Path(logs, daily(30)).read_bytes(), content[daily(30)])


if __name__ == "__main__":
    unittest.main()
