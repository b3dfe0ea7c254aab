"""Shared pieces of the end-to-end scenarios: the real quorvel copied alone
into a temporary folder with its Quorvel.ini, run with -RUN, stopped with
SIGTERM, and its files read back byte for byte."""

import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

BINARY = os.environ.get("QUORVEL_BINARY", "quorvel")

# "yyyy/mm/dd hh:nn:ss.zzz " in front of every log line.
STAMP = re.compile(rb"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} ")


def sjis(text):
    return text.encode("cp932")


def free_port():
    """A UDP port free on both IPv4 and IPv6 loopback."""
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as v4:
            v4.bind(("0.0.0.0", 0))
            port = v4.getsockname()[1]
            try:
                with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as v6:
                    # As the server's own IPv6 socket: IPv6 only, else it
                    # would clash with the IPv4 probe on Linux.
                    v6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
                    v6.bind(("::", port))
                return port
            except OSError:
                continue


def wait_until(condition, timeout=10):
    """Polls condition until it holds (True) or the time is up (False)."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def send(payloads, port, host="127.0.0.1"):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_DGRAM) as s:
        for p in payloads:
            s.sendto(p, (host, port))


def entries(data):
    """The lines of a log file (CR LF ends) without their date and time."""
    lines = data.split(b"\r\n")
    assert lines[-1] == b"", "the file ends with a whole line"
    out = []
    for line in lines[:-1]:
        assert STAMP.match(line), line
        out.append(line[24:])
    return out


class DatagramSink:
    """A Unix datagram socket standing in for systemd's notify or journal socket."""

    def __init__(self, folder, name):
        self.path = os.path.join(folder, name)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)

    def receive_all(self, timeout=0.5):
        out = []
        self.sock.settimeout(timeout)
        try:
            while True:
                out.append(self.sock.recv(65536).decode("utf-8"))
        except socket.timeout:
            return out

    def close(self):
        self.sock.close()


class Quorvel:
    """One run of quorvel in a folder of its own."""

    def __init__(self, ini_lines=None):
        self.tmp = tempfile.TemporaryDirectory(prefix="quorvel-e2e-")
        self.dir = self.tmp.name
        self.binary = os.path.join(self.dir, "quorvel")
        shutil.copy2(BINARY, self.binary)
        if ini_lines is not None:
            with open(os.path.join(self.dir, "Quorvel.ini"), "wb") as f:
                f.write(b"".join(sjis(l) + b"\r\n" for l in ini_lines))
        # Event entries go to a socket nobody reads instead of the journal.
        self.journal = DatagramSink(self.dir, "journal")
        self.proc = None

    def start(self, **env_extra):
        env = dict(os.environ, QUORVEL_JOURNAL_SOCKET=self.journal.path, **env_extra)
        env.pop("NOTIFY_SOCKET", None)
        self.err = open(os.path.join(self.dir, "stderr"), "wb")
        self.proc = subprocess.Popen([self.binary, "-RUN"], cwd="/", env=env,
                                     stdout=subprocess.DEVNULL, stderr=self.err)
        return self

    @property
    def stderr(self):
        """The console lines so far ("success 1 ...", "error 3 ...")."""
        with open(os.path.join(self.dir, "stderr"), "rb") as f:
            return f.read().decode("utf-8", "replace").splitlines()  # a line may be half written

    def wait_started(self, timeout=10):
        """True when the server reported a successful start (event 1)."""
        wait_until(lambda: self.proc.poll() is not None
                   or any(l.startswith(("success 1 ", "error ")) for l in self.stderr), timeout)
        return any(l.startswith("success 1 ") for l in self.stderr)

    def wait_exit(self, timeout=10):
        return self.proc.wait(timeout=timeout)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.wait_exit()

    def path(self, name):
        return os.path.join(self.dir, "logs", name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def wait_for_lines(self, name, count, timeout=10):
        """Waits until the log holds at least count lines."""
        if not wait_until(lambda: os.path.exists(self.path(name)) and self.read(name).count(b"\r\n") >= count,
                          timeout):
            raise AssertionError("%s did not reach %d lines" % (name, count))

    def close(self):
        if self.proc:
            self.proc.kill()
            self.proc.wait()
            self.err.close()
        self.journal.close()
        self.tmp.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


async def cram_md5_auth(server, serial, account, password):
    """An aiosmtpd AUTH CRAM-MD5 handler body: challenges the client and
    checks its digest against the account's password."""
    import hashlib
    import hmac
    from aiosmtpd.smtp import MISSING, AuthResult, LoginPassword
    challenge = b"<%d.%d@sink.test>" % (serial, time.time())
    answer = await server.challenge_auth(challenge)
    if answer is MISSING:
        return AuthResult(success=False, handled=True)
    user, _, digest = answer.partition(b" ")
    ok = user == account and hmac.compare_digest(digest, hmac.new(password, challenge, hashlib.md5).hexdigest().encode())
    return AuthResult(success=ok, handled=False, auth_data=LoginPassword(user, b""))
