"""A standard error whose reader has gone (a pipe into `head`, a log
collector that exited) costs the messages meant for it, never the process
or the exit status that scripts rely on."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from quorvel_e2e import BINARY, DatagramSink


class ClosedStderrTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.journal = DatagramSink(self.dir, "journal")
        self.served = os.path.join(self.dir, "quorvel")
        shutil.copy2(BINARY, self.served)
        with open(os.path.join(self.dir, "Quorvel.ini"), "wb") as f:
            f.write(b"SYSLOGPORT=-1\r\n")
        os.mkdir(os.path.join(self.dir, "units"))

    def tearDown(self):
        self.journal.close()
        self.tmp.cleanup()

    def start(self, args):
        env = dict(os.environ, QUORVEL_JOURNAL_SOCKET=self.journal.path,
                   QUORVEL_UNIT_DIR=os.path.join(self.dir, "units"))
        env.pop("NOTIFY_SOCKET", None)
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            return subprocess.Popen([self.served] + args, env=env, stderr=write_end, stdout=subprocess.DEVNULL)
        finally:
            os.close(write_end)

    def event_ids(self, entries):
        ids = []
        for entry in entries:
            fields = dict(l.split("=", 1) for l in entry.splitlines() if "=" in l)
            ids.append(fields["QUORVEL_EVENT_ID"])
        return ids

    def test_every_command_keeps_its_exit_status(self):
        cases = [
            # (arguments, stop with SIGTERM after a while, exit status, event IDs in the journal)
            (["-RUN"], True, 0, ["1", "2"]),
            (["-UNINSTALL"], False, 1, []),
            ([], False, 0, ["1063"]),
        ]
        for args, stop, status, ids in cases:
            with self.subTest(args=args):
                proc = self.start(args)
                entries = []
                if stop:
                    # The start event follows its echo to standard error.
                    self.journal.sock.settimeout(10)
                    entries.append(self.journal.sock.recv(65536).decode("utf-8"))
                    time.sleep(0.2)
                    self.assertIsNone(proc.poll(), "still serving after writing its start event")
                    proc.send_signal(signal.SIGTERM)
                self.assertEqual(proc.wait(timeout=20), status)
                self.assertEqual(self.event_ids(entries + self.journal.receive_all()), ids)


if __name__ == "__main__":
    unittest.main()
