"""The real binary as the service host: unit install and removal, systemd
notifications, console mode and the refusal to run outside systemd."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from quorvel_e2e import BINARY, DatagramSink


def run(args, env_extra, timeout=20):
    env = dict(os.environ)
    env.pop("NOTIFY_SOCKET", None)
    env.update(env_extra)
    return subprocess.run([BINARY] + args, env=env, capture_output=True, timeout=timeout)


class ServiceHostTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.journal = DatagramSink(self.dir, "journal")
        self.env = {"QUORVEL_JOURNAL_SOCKET": self.journal.path}
        # A copy with a configuration of no instance: the host's behaviour
        # without any listener of the server's.
        self.served = os.path.join(self.dir, "quorvel")
        shutil.copy2(BINARY, self.served)
        with open(os.path.join(self.dir, "Quorvel.ini"), "wb") as f:
            f.write(b"SYSLOGPORT=-1\r\n")

    def tearDown(self):
        self.journal.close()
        self.tmp.cleanup()

    def test_install_writes_the_unit_once_and_uninstall_removes_it_once(self):
        units = os.path.join(self.dir, "units")
        os.mkdir(units)
        env = dict(self.env, QUORVEL_UNIT_DIR=units)
        unit = os.path.join(units, "QuorvelService.service")

        first = run(["/install", "-SILENT"], env)
        self.assertEqual(first.returncode, 0, first.stderr)
        with open(unit, encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertIn("Type=notify", lines)
        self.assertIn('ExecStart="%s"' % os.path.realpath(BINARY), lines)
        self.assertIn("WantedBy=multi-user.target", lines)
        self.assertIn("Restart=on-failure", lines)
        description = [l for l in lines if l.startswith("Description=")]
        self.assertEqual(len(description), 1)
        self.assertTrue(description[0].startswith("Description=Quorvel  Service"))

        second = run(["-INSTALL"], env)
        self.assertEqual(second.returncode, 1)
        self.assertIn("サービスの登録に失敗しました。(Error code 17)", second.stderr.decode("utf-8"))
        with open(unit, encoding="utf-8") as f:
            self.assertEqual(f.read().splitlines(), lines, "an existing unit is left untouched")

        removed = run(["-uninstall"], env)
        self.assertEqual(removed.returncode, 0, removed.stderr)
        self.assertFalse(os.path.exists(unit))
        again = run(["-UNINSTALL"], env)
        self.assertEqual(again.returncode, 1)
        self.assertIn("サービスの登録解除に失敗しました。(Error code 2)", again.stderr.decode("utf-8"))

    def test_service_mode_reports_states_and_stops_on_sigterm(self):
        notify = DatagramSink(self.dir, "notify")
        try:
            env = dict(os.environ, NOTIFY_SOCKET=notify.path, **self.env)
            proc = subprocess.Popen([self.served], env=env, stderr=subprocess.DEVNULL)
            notify.sock.settimeout(10)
            first = []
            while not any(m.startswith("READY=1") for m in first):
                first.append(notify.sock.recv(65536).decode("utf-8"))
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(timeout=10), 0)
            messages = first + notify.receive_all()
        finally:
            notify.close()
        extend = "EXTEND_TIMEOUT_USEC=5000000\n"
        self.assertEqual(messages, ["STATUS=Starting (check point 1)\n" + extend,
                                    "STATUS=Starting (check point 2)\n" + extend,
                                    "READY=1\nSTATUS=Running\n",
                                    "STOPPING=1\nSTATUS=Stopping\n" + extend,
                                    "STATUS=Stopped\n"])

    def test_run_mode_stops_on_ctrl_c_with_status_zero(self):
        env = dict(os.environ, **self.env)
        env.pop("NOTIFY_SOCKET", None)
        proc = subprocess.Popen([self.served, "-RUN"], env=env, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        self.assertIsNone(proc.poll(), "RUN keeps serving until asked to stop")
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=10), 0)

    def test_no_command_word_outside_systemd_explains_and_logs_the_failure(self):
        result = run([], self.env)
        self.assertEqual(result.returncode, 0)
        err = result.stderr.decode("utf-8").splitlines()
        self.assertEqual(len(err), 1)
        self.assertIn("-RUN", err[0])
        self.assertIn("-INSTALL", err[0])
        entries = self.journal.receive_all()
        self.assertEqual(len(entries), 1)
        fields = dict(l.split("=", 1) for l in entries[0].splitlines())
        self.assertEqual(fields["MESSAGE"], "サービスの開始に失敗しました")
        self.assertEqual(fields["QUORVEL_EVENT_ID"], "1063")
        self.assertEqual(fields["PRIORITY"], "3")
        self.assertEqual(fields["SYSLOG_IDENTIFIER"], "QuorvelService")


if __name__ == "__main__":
    unittest.main()
