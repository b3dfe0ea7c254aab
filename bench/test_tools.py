"""The benchmark's own tools: what quorvel-loadgen sends, and what
seqcount.py makes of the logs that quorvel and rsyslog write."""

import os
import socket
import subprocess
import tempfile
import time
import unittest

import seqcount

LOADGEN = os.environ.get("QUORVEL_LOADGEN", "quorvel-loadgen")


def line(seq, layout="quorvel"):
    message = b"<134>Dec  7 02:06:02 benchhost quorvel-loadgen: seq=%010d payload abc" % seq
    if layout == "rsyslog":  # its stock file layout, LF line ends
        return b"Dec  7 11:33:24 bench " + message + b"\n"
    return b"2026/12/07 11:33:24.232 127.0.0.1 " + message + b"\r\n"


class SeqCountTest(unittest.TestCase):
    def test_counts(self):
        cases = [
            # name, file contents, expected, first seq,
            # (delivered, duplicates, out of order, unexpected)
            ("all, in order", [b"".join(line(n) for n in range(5))], 5, 0, (5, 0, 0, 0)),
            ("gaps", [line(0) + line(3)], 5, 0, (2, 0, 0, 0)),
            ("a line twice", [line(1) + line(1) + line(2)], 3, 0, (2, 1, 0, 0)),
            ("late line", [line(0) + line(2) + line(1)], 3, 0, (3, 0, 1, 0)),
            ("another run's numbers", [line(7) + line(10) + line(12)], 3, 10, (2, 0, 0, 1)),
            ("lines without a number", [b"2026/12/07 x 127.0.0.1 <134>bench probe\r\n" + line(0)], 1, 0, (1, 0, 0, 0)),
            ("order counts per file", [line(1), line(0)], 2, 0, (2, 0, 0, 0)),
            ("rsyslog's layout", [line(0, "rsyslog") + line(1, "rsyslog")], 2, 0, (2, 0, 0, 0)),
            ("nothing written", [b""], 4, 0, (0, 0, 0, 0)),
        ]
        for name, chunks, expected, first, want in cases:
            with self.subTest(name):
                c = seqcount.count_bytes(chunks, expected, first)
                self.assertEqual((c.delivered, c.duplicates, c.out_of_order, c.unexpected), want)
                self.assertEqual(c.lost, expected - want[0])

    def test_missing_file_counts_as_nothing_delivered(self):
        c = seqcount.count_files(["/nonexistent/recv.log"], 10)
        self.assertEqual((c.delivered, c.percent), (0, 0.0))


class LoadGeneratorTest(unittest.TestCase):
    def receive(self, args, expect):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sink:
            sink.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            sink.bind(("127.0.0.1", 0))
            sink.settimeout(5)
            proc = subprocess.Popen([LOADGEN, "--port", str(sink.getsockname()[1])] + args,
                                    stdout=subprocess.PIPE, text=True)
            got = [sink.recv(65536) for _ in range(expect)]
            out, _ = proc.communicate(timeout=10)
            self.assertEqual(proc.returncode, 0)
            sink.settimeout(0.2)
            with self.assertRaises(socket.timeout):
                sink.recv(65536)
        return got, dict(kv.split("=") for kv in out.split())

    def test_paced_datagrams_carry_each_number_once(self):
        started = time.monotonic()
        got, report = self.receive(["--rate", "5000", "--duration", "0.2", "--first-seq", "100",
                                    "--first-text", "benchalert"], 1000)
        elapsed = time.monotonic() - started
        self.assertEqual(report["sent"], "1000")
        self.assertGreaterEqual(elapsed, 0.19, "the rate was not kept")
        self.assertEqual({len(d) for d in got}, {120})
        c = seqcount.count_bytes([b"\n".join(got)], 1000, 100)
        self.assertEqual((c.delivered, c.duplicates, c.unexpected), (1000, 0, 0))
        self.assertIn(b"benchalert", got[0])
        self.assertFalse(any(b"benchalert" in d for d in got[1:]))

    def test_burst_of_a_given_size(self):
        got, report = self.receive(["--count", "300", "--size", "200"], 300)
        self.assertEqual(report["sent"], "300")
        self.assertEqual({len(d) for d in got}, {200})

    def test_refuses_other_hosts_and_bad_arguments(self):
        for args in (["--host", "192.0.2.1", "--port", "514", "--count", "1"],
                     ["--host", "example.org", "--port", "514", "--count", "1"],
                     ["--port", "514"],
                     ["--port", "514", "--count", "1", "--size", "20"]):
            with self.subTest(args):
                proc = subprocess.run([LOADGEN] + args, capture_output=True)
                self.assertEqual(proc.returncode, 2)


if __name__ == "__main__":
    unittest.main()
