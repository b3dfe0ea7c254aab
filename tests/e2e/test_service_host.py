"""The binary as the service host: command words, the unit, systemd notifications and
statistics, and a standard error whose reader has gone, which never costs the exit status."""

import contextlib
import os
import pathlib
import pwd
import re
import signal
import subprocess
import time
import unittest

from quorvel_e2e import BINARY, REFUSED, STOP_LINE, Quorvel, Sink, free_port, mail_ini, send, sjis, smtp_server, wait_until

UNIT = "QuorvelService.service"


@contextlib.contextmanager
def closed_pipe():
    read_end, write_end = os.pipe()
    os.close(read_end)
    yield write_end
    os.close(write_end)


def visible_folder():
    """A folder the unit's sandbox leaves visible: beside the binary, unless
    the checkout itself lies under a folder the unit hides (a clone in /tmp)."""
    here = os.path.dirname(os.path.realpath(BINARY))
    hidden = any(here == root or here.startswith(root + "/") for root in ("/tmp", "/var/tmp", "/dev"))
    return os.path.expanduser("~") if hidden else here


@contextlib.contextmanager
def service_account(test):
    """The account the installed unit runs as: made for the test when the machine lacks it."""
    if "quorvel" in (p.pw_name for p in pwd.getpwall()):
        yield
        return
    if os.geteuid() != 0:
        test.skipTest("no account quorvel, and only root may make one")
    subprocess.run(["useradd", "--system", "--user-group", "--no-create-home", "--shell", "/usr/sbin/nologin", "quorvel"],
                   check=True)
    try:
        yield
    finally:
        subprocess.run(["userdel", "quorvel"], check=True)


class ServiceHostTest(unittest.TestCase):
    def test_command_words_at_the_console(self):
        usage = rb"^Usage: quorvel "
        cases = [
            # words, exit status, standard output and standard error (patterns), events in the journal
            (["-HELP"], 0, usage, rb"^$", []), (["--help"], 0, usage, rb"^$", []), (["-h"], 0, usage, rb"^$", []),
            (["/?"], 0, usage, rb"^$", []), (["--version"], 0, rb"^quorvel \d+\.\d+\n$", rb"^$", []),
            (["-RUN", "--hlep"], 2, rb"^$", usage, []), (["start"], 2, rb"^$", usage, []),
            # Outside systemd: explains itself and logs the failure.
            ([], 0, rb"^$", rb"^[^\n]*-RUN[^\n]*-INSTALL[^\n]*\n$", ["1063"]),
            (["-UNINSTALL"], 1, rb"^$", re.escape("サービスの登録解除に失敗しました。(Error code 2)".encode()), [])]
        for words, status, out, err, events in cases:
            with self.subTest(words=words), Quorvel(["SYSLOGPORT=-1"]) as q:
                result = q.run(*words, QUORVEL_UNIT_DIR=q.dir)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertRegex(result.stdout, out)
                self.assertRegex(result.stderr, err)
                self.assertEqual([(e["QUORVEL_EVENT_ID"], e["MESSAGE"], e["PRIORITY"], e["SYSLOG_IDENTIFIER"])
                                  for e in q.journal.events()], [(n, "サービスの開始に失敗しました", "3", "QuorvelService") for n in events])
                self.assertEqual(sorted(os.listdir(q.dir)), ["Quorvel.ini", "journal", "quorvel"])
                with closed_pipe() as stderr:
                    closed = q.run(*words, stderr=stderr, QUORVEL_UNIT_DIR=q.dir)
                self.assertEqual(closed.returncode, status)
                self.assertEqual([e["QUORVEL_EVENT_ID"] for e in q.journal.events()], events)

    def test_a_run_with_standard_error_closed_and_no_instance_serves_and_stops_cleanly(self):
        with Quorvel(["SYSLOGPORT=-1"]) as q, closed_pipe() as stderr:
            q.start(stderr=stderr)
            # The start event follows its echo to standard error.
            q.journal.sock.settimeout(30)
            self.assertIn("QUORVEL_EVENT_ID=1\n", q.journal.sock.recv(65536).decode())
            time.sleep(0.2)
            self.assertIsNone(q.proc.poll(), "still serving after writing its start event")
            self.assertEqual(q.stop(), 0)
            self.assertEqual([e["QUORVEL_EVENT_ID"] for e in q.journal.events()], ["2"])
            self.assertEqual(os.listdir(os.path.join(q.dir, "logs")), [], "no listener, no log")

    def test_install_refuses_a_hidden_program_then_writes_the_unit_once_and_uninstall_removes_it_once(self):
        # The unit's private /tmp would hide the program from its own service.
        with Quorvel(folder="/tmp") as q:
            refused = q.run("-INSTALL", QUORVEL_UNIT_DIR=q.dir)
            self.assertEqual(refused.returncode, 1)
            self.assertIn(b"quorvel: cannot install: the folder %s is under /tmp," % os.path.realpath(q.dir).encode(),
                          refused.stderr)
            self.assertFalse(os.path.exists(os.path.join(q.dir, UNIT)) or os.path.exists(os.path.join(q.dir, "logs")))
        with service_account(self), Quorvel(folder=visible_folder()) as q:
            unit = os.path.join(q.dir, UNIT)
            first = q.run("/install", "-SILENT", QUORVEL_UNIT_DIR=q.dir)
            self.assertEqual(first.returncode, 0, first.stderr)
            lines = pathlib.Path(unit).read_text().splitlines()
            self.assertTrue({"Type=notify", 'ExecStart="%s"' % os.path.realpath(q.binary), "WantedBy=multi-user.target",
                             "Restart=on-failure", "User=quorvel"} <= set(lines), lines)
            self.assertEqual([l[:28] for l in lines if l.startswith("Description=")], ["Description=Quorvel  Service"])
            second = q.run("-INSTALL", QUORVEL_UNIT_DIR=q.dir)
            self.assertEqual(second.returncode, 1)
            self.assertIn("サービスの登録に失敗しました。(Error code 17)", second.stderr.decode())
            self.assertEqual(pathlib.Path(unit).read_text().splitlines(), lines, "an existing unit is left untouched")
            self.assertEqual(q.run("-uninstall", QUORVEL_UNIT_DIR=q.dir).returncode, 0)
            self.assertFalse(os.path.exists(unit))

    def test_a_service_reports_its_states_and_exact_figures(self):
        sink = Sink()
        smtp, port, two = smtp_server(self, sink), free_port(), free_port()
        load = ([b"<13>plain %d" % i for i in range(40)] + [b"x" * 40000, b"y" * 32770]
                + [b"<11>ALERT disk %d" % i for i in range(3)] + [b"<11>FAILME once"])
        with Quorvel(mail_ini(port, smtp.port, "ALERT", "FAILME " + REFUSED,
                              extra=["SERVERIPADDRESS=127.0.0.1", "STATSINTERVAL=1", "SYSLOGPORT2=%d" % two,
                                     "RECVLOGNAME2=two.log", "SYSLOGLOGNAME2=two-op.log"])) as q:
            extend, started = "EXTEND_TIMEOUT_USEC=5000000\n", time.monotonic()
            self.assertEqual(q.start_service(), ["STATUS=Starting (check point 1)\n" + extend,
                                                 "STATUS=Starting (check point 2)\n" + extend, "READY=1\nSTATUS=Running\n"])
            q.proc.send_signal(signal.SIGHUP)
            self.assertTrue(wait_until(lambda: b" " + sjis("サービスとして実行中のため、シグナルを無視しました (signal 1)")
                                       in q.log()), "a hang-up is ignored and noted")
            send(load, port)
            send([b"<13>to two", b"<13>to two again"], two)
            # The live line sums the instances; each operation log has its own figures.
            status = "STATUS=received 48; written 46; dropped 0; oversized 2; mails 3 sent, 1 failed\n"
            seen = []
            wait_until(lambda: seen.extend(q.notify.receive_all(0.2)) or status in seen, 20)
            self.assertIn(status, seen, "the live counts reach the notification socket")
            body = ("受信 46 件、書き込み 44 件、破棄 0 件 (受信バッファ溢れ 0、キュー満杯 0、ロック待ち超過 0、書き込み失敗 0)、"
                    "サイズ超過 2 件、キーワード一致 4 件、メール送信 3 件、メール送信失敗 1 件、メール破棄 0 件、メール抑止 0 件")
            self.assertTrue(wait_until(lambda: sjis("統計: " + body) in q.read("Quorvel.log")), "a statistics line")
            self.assertEqual(q.stop(), 0)
            elapsed = time.monotonic() - started
            seen += q.notify.receive_all()
            self.assertEqual(seen[-2:], ["STOPPING=1\nSTATUS=Stopping\n" + extend, "STATUS=Stopped\n"])
            self.assertEqual(seen.count(status), 1, "an unchanged line is offered once")
            self.assertEqual(q.log()[-2:], [STOP_LINE, b" " + sjis("停止時の統計: " + body)])
            self.assertEqual(q.log("two-op.log")[-1], b" " + sjis(
                "停止時の統計: 受信 2 件、書き込み 2 件、破棄 0 件 (受信バッファ溢れ 0、キュー満杯 0、ロック待ち超過 0、書き込み失敗 0)、"
                "サイズ超過 0 件、キーワード一致 0 件、メール送信 0 件、メール送信失敗 0 件、メール破棄 0 件、メール抑止 0 件"))
            # About one line a second while running.
            ticks = sum(l.startswith(b" " + sjis("統計: ")) for l in q.log())
            self.assertTrue(1 <= ticks <= elapsed + 1, (ticks, elapsed))
