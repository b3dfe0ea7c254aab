"""rsyslog as a real sender: Debian's rsyslogd (unpacked, never installed; see bench/rsyslogpkg.py),
in the foreground with a private configuration, reads a file of messages (imfile) and forwards
them to quorvel with omfwd, octet-counted over TCP and over TLS with client certificates of a
private authority. Every message must be written exactly once, and a message that came this way
must give the same line as the same bytes in a datagram. A client certificate of another
authority gets nothing in."""

import os
import pathlib
import subprocess
import sys
import tempfile
import time
import unittest

from quorvel_e2e import Quorvel, free_port, send, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import seqcount  # noqa: E402
from rsyslogpkg import Rsyslog  # noqa: E402

COUNT = 100_000
CACHE = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "quorvel-bench")
PROBE = b"<134>Dec  8 04:00:00 sender probe: the same bytes as a datagram"


def message(seq):
    return b"<134>Dec  8 04:00:00 sender app: seq=%010d payload abcdefghijklmnopqrstuvwxyz" % seq


def rsyslog():
    """The unpacked rsyslog; fetched once into the cache (apt-get download, dpkg-deb -x)."""
    r = Rsyslog(CACHE)
    if not r.present():
        try:
            r.fetch()
        except (subprocess.CalledProcessError, RuntimeError) as e:
            raise unittest.SkipTest("rsyslog cannot be unpacked here: %s" % e)
    return r


class Forwarder:
    """rsyslogd -n: imfile reads the file once from its start, omfwd forwards each line as it
    was (%rawmsg%) and retries until quorvel takes it."""

    def __init__(self, r, folder, port, tls=None):
        self.dir = folder
        source = os.path.join(folder, "messages")
        with open(source, "wb") as f:
            f.write(b"".join(message(i) + b"\n" for i in range(COUNT)) + PROBE + b"\n")
        stream = ""
        tls_global = ""
        if tls:
            certs, name = tls
            tls_global = (' defaultNetstreamDriverCAFile="{c}/ca.pem" defaultNetstreamDriverCertFile="{c}/{n}.pem"'
                          ' defaultNetstreamDriverKeyFile="{c}/{n}.key"').format(c=certs, n=name)
            stream = ' streamDriver="ossl" streamDriverMode="1" streamDriverAuthMode="x509/certvalid"'
        config = '''
global(workDirectory="{dir}" net.enableDNS="off" localHostname="sender" maxMessageSize="8k"{tls_global})
module(load="imfile" mode="polling" pollingInterval="1")
template(name="asReceived" type="string" string="%rawmsg%")
ruleset(name="forward" queue.type="LinkedList" queue.size="200000") {{
    action(type="omfwd" target="127.0.0.1" port="{port}" protocol="tcp" tcp_framing="octet-counted"
           template="asReceived"{stream} action.resumeRetryCount="-1" action.resumeInterval="1")
}}
input(type="imfile" file="{source}" tag="app" ruleset="forward" freshStartTail="off")
'''.format(dir=folder, tls_global=tls_global, port=port, stream=stream, source=source)
        with open(os.path.join(folder, "rsyslog.conf"), "w") as f:
            f.write(config)
        self.err = open(os.path.join(folder, "stderr"), "wb")
        self.proc = subprocess.Popen([r.binary, "-n", "-f", os.path.join(folder, "rsyslog.conf"),
                                      "-i", os.path.join(folder, "rsyslogd.pid"), "-M", r.modules],
                                     env=r.env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.err)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.err.close()


class RsyslogSenderTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rsyslog = rsyslog()
        cls.tmp = tempfile.TemporaryDirectory(prefix="quorvel-rsyslog-")
        cls.certs = os.path.join(cls.tmp.name, "certs")
        subprocess.run(["sh", os.path.join(ROOT, "tests", "platform", "make-tls-certs.sh"), cls.certs], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def forward(self, transport, client_cert):
        """quorvel on a UDP and a stream port; rsyslog forwards the file. The quorvel run and
        the received log once everything arrived or a minute passed without progress."""
        udp, stream = free_port(), free_port()
        ini = ["SYSLOGPORT=%d" % udp, "SERVERIPADDRESS=127.0.0.1", "RECVLOGNAME=recv.log"]
        if transport == "tcp":
            ini.append("SYSLOGTCPPORT=%d" % stream)
        else:
            ini += ["SYSLOGTLSPORT=%d" % stream, "TLSCERTFILE=%s/server.pem" % self.certs,
                    "TLSKEYFILE=%s/server.key" % self.certs, "TLSCLIENTCAFILE=%s/ca.pem" % self.certs]
        q = Quorvel(ini)
        self.addCleanup(q.close)
        q.start()
        self.assertTrue(q.wait_started(), q.stderr)
        folder = tempfile.mkdtemp(prefix="%s-%s-" % (transport, client_cert), dir=self.tmp.name)
        sender = Forwarder(self.rsyslog, folder, stream, tls=(self.certs, client_cert) if client_cert else None)
        self.addCleanup(sender.close)
        return q, sender

    def received(self, q):
        try:
            return q.read("recv.log")
        except FileNotFoundError:
            return b""

    def wait_all(self, q, sender):
        """Until the probe (the file's last line) is written, while lines keep coming."""
        last, last_change = -1, time.monotonic()
        while time.monotonic() - last_change < 60:
            data = self.received(q)
            if PROBE in data:
                break
            if sender.proc.poll() is not None:
                self.fail("rsyslogd ended: %s" % pathlib.Path(sender.dir, "stderr").read_bytes())
            if len(data) != last:
                last, last_change = len(data), time.monotonic()
            time.sleep(0.2)
        time.sleep(1)  # anything written twice would come right behind
        return self.received(q)

    def test_every_message_exactly_once_over_tcp_and_tls(self):
        for transport, cert in (("tcp", None), ("tls", "client")):
            with self.subTest(transport=transport):
                q, sender = self.forward(transport, cert)
                data = self.wait_all(q, sender)
                count = seqcount.count_bytes([data], COUNT)
                self.assertEqual((count.delivered, count.duplicates, count.unexpected), (COUNT, 0, 0), count.line())
                # The same bytes in a datagram give the same line.
                send([PROBE], self.udp_port_of(q))
                self.assertTrue(wait_until(lambda: self.received(q).count(PROBE) == 2, 10))
                lines = [l[24:] for l in self.received(q).split(b"\r\n") if PROBE in l]
                self.assertEqual(lines[0], lines[1])
                sender.close()
                q.stop()

    def test_a_client_certificate_of_another_authority_is_refused(self):
        q, sender = self.forward("tls", "stranger")
        # rsyslog retries every second; give it a few tries.
        time.sleep(5)
        self.assertEqual(self.received(q), b"")
        sender.close()
        q.stop()
        self.assertIn(b"certificate verify failed: unable to get local issuer certificate", q.read("Quorvel.log"))

    @staticmethod
    def udp_port_of(q):
        with open(os.path.join(q.dir, "Quorvel.ini"), "rb") as f:
            return int(f.read().split(b"\r\n")[0].split(b"=")[1])


if __name__ == "__main__":
    unittest.main()
