"""rsyslog as a real sender: Debian's rsyslogd (unpacked, never installed; bench/rsyslogpkg.py)
in the foreground with a private configuration reads a file of messages (imfile) and forwards
each line as it was with omfwd, octet-counted over TCP and over TLS with a client certificate
of a private authority. Every message is written exactly once, and gives the line the same
bytes in a datagram give. A client certificate of another authority gets nothing in."""

import os
import pathlib
import subprocess
import sys
import tempfile
import time
import unittest

from quorvel_e2e import Quorvel, entries, free_port, send, wait_until

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "bench"))
import seqcount  # noqa: E402
from rsyslogpkg import Rsyslog  # noqa: E402

COUNT = 100_000
CACHE = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "quorvel-bench")
PROBE = b"<134>Dec  8 04:00:00 sender probe: the same bytes as a datagram"
CONFIG = '''
global(workDirectory="{dir}" net.enableDNS="off" maxMessageSize="8k"{tls_files})
module(load="imfile" mode="polling" pollingInterval="1")
template(name="asReceived" type="string" string="%rawmsg%")
ruleset(name="forward" queue.type="LinkedList" queue.size="200000") {{
    action(type="omfwd" target="127.0.0.1" port="{port}" protocol="tcp" tcp_framing="octet-counted"
           template="asReceived"{tls} action.resumeRetryCount="-1" action.resumeInterval="1")
}}
input(type="imfile" file="{dir}/messages" tag="app" ruleset="forward" freshStartTail="off")
'''


class RsyslogSenderTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rsyslog = Rsyslog(CACHE)
        if not cls.rsyslog.present():
            try:
                cls.rsyslog.fetch()
            except (subprocess.CalledProcessError, RuntimeError) as e:
                raise unittest.SkipTest("rsyslog cannot be unpacked here: %s" % e)
        cls.tmp = tempfile.TemporaryDirectory(prefix="quorvel-rsyslog-")
        cls.addClassCleanup(cls.tmp.cleanup)
        cls.certs = os.path.join(cls.tmp.name, "certs")
        subprocess.run(["sh", os.path.join(ROOT, "tests", "platform", "make-tls-certs.sh"), cls.certs], check=True)

    def forward(self, client_cert=None):
        """quorvel on a UDP and a stream port (TLS when there is a client certificate), and
        rsyslogd forwarding the file to it; the quorvel run and its UDP port."""
        udp, stream = free_port(), free_port()
        ini = ["SYSLOGPORT=%d" % udp, "SERVERIPADDRESS=127.0.0.1", "RECVLOGNAME=recv.log"]
        ini += ["SYSLOGTLSPORT=%d" % stream] + ["TLS%sFILE=%s/%s" % kv for kv in (
            ("CERT", self.certs, "server.pem"), ("KEY", self.certs, "server.key"), ("CLIENTCA", self.certs, "ca.pem"))] \
            if client_cert else ["SYSLOGTCPPORT=%d" % stream]
        q = Quorvel(ini).up()
        self.addCleanup(q.close)
        folder = tempfile.mkdtemp(dir=self.tmp.name)
        pathlib.Path(folder, "messages").write_bytes(
            b"".join(b"<134>Dec  8 04:00:00 sender app: seq=%010d payload abcdefghijklmnopqrstuvwxyz\n" % i
                     for i in range(COUNT)) + PROBE + b"\n")
        tls_files = tls = ""
        if client_cert:
            tls_files = (' defaultNetstreamDriverCAFile="{c}/ca.pem" defaultNetstreamDriverCertFile="{c}/{n}.pem"'
                         ' defaultNetstreamDriverKeyFile="{c}/{n}.key"').format(c=self.certs, n=client_cert)
            tls = ' streamDriver="ossl" streamDriverMode="1" streamDriverAuthMode="x509/certvalid"'
        pathlib.Path(folder, "rsyslog.conf").write_text(CONFIG.format(dir=folder, tls_files=tls_files, port=stream, tls=tls))
        sender = subprocess.Popen([self.rsyslog.binary, "-n", "-f", os.path.join(folder, "rsyslog.conf"), "-i",
                                   os.path.join(folder, "pid"), "-M", self.rsyslog.modules], env=self.rsyslog.env(),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (sender.kill(), sender.wait()))
        return q, udp

    @staticmethod
    def received(q):
        return q.read("recv.log") if os.path.exists(q.path("recv.log")) else b""

    def test_every_message_exactly_once_over_tcp_and_tls(self):
        for client_cert in (None, "client"):
            with self.subTest("TLS" if client_cert else "TCP"):
                q, udp = self.forward(client_cert)
                # Until the file's last line arrived, while lines keep coming.
                size, since = -1, time.monotonic()
                while PROBE not in self.received(q) and time.monotonic() - since < 60:
                    if len(self.received(q)) != size:
                        size, since = len(self.received(q)), time.monotonic()
                    time.sleep(0.2)
                time.sleep(1)  # a line written twice would come right behind
                count = seqcount.count_bytes([self.received(q)], COUNT)
                self.assertEqual((count.delivered, count.duplicates, count.unexpected), (COUNT, 0, 0), count.line())
                send([PROBE], udp)
                self.assertTrue(wait_until(lambda: self.received(q).count(PROBE) == 2, 10))
                over_stream, over_udp = [l for l in entries(self.received(q)) if PROBE in l]
                self.assertEqual(over_stream, over_udp)

    def test_a_client_certificate_of_another_authority_is_refused(self):
        q, _ = self.forward("stranger")
        time.sleep(5)  # rsyslog tries again every second
        q.stop()
        self.assertEqual(self.received(q), b"")
        self.assertIn(b"certificate verify failed: unable to get local issuer certificate", q.read("Quorvel.log"))
