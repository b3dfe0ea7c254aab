"""Shared pieces of the end-to-end scenarios: the real quorvel alone in a temporary folder,
real datagrams, its files read back byte for byte; SMTP servers to mail to."""

import contextlib
import hashlib
import hmac
import logging
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
from freeport import free_port  # noqa: E402,F401

BINARY = os.environ.get("QUORVEL_BINARY", "quorvel")
STAMP = re.compile(rb"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} ")
ACCOUNT, PASSWORD = b"alerts", b"tunnel-only-pw"
REFUSED, GETA = "refused@example.org", "\u3013"  # the mark for a character Shift_JIS lacks


def sjis(text):
    return text.encode("cp932")


STOP_LINE = b" " + sjis("Quorvel サービスを停止しました")


def mail_line(address, keyword, cause=None):
    outcome = "送信を行いました。(%s)" % keyword if cause is None else "送信に失敗しました。(%s) (%s)" % (keyword, cause)
    return b" 127.0.0.1 " + sjis("へ %s 宛のメール%s" % (address, outcome))


def wait_until(condition, timeout=30):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def send(payloads, port, host="127.0.0.1", source=None):
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_DGRAM) as s:
        if source:
            s.bind((source, 0))
        [s.sendto(p, (host, port)) for p in payloads]


def backlog(port, protocol="udp"):
    """Bytes the system holds for the server on its sockets of the port, not yet read."""
    rows = [l.split() for t in ("/proc/net/%s" % protocol, "/proc/net/%s6" % protocol)
            for l in pathlib.Path(t).read_text().splitlines()[1:]]
    return sum(int(r[4].split(":")[1], 16) for r in rows if int(r[1].rsplit(":", 1)[1], 16) == port)


def entries(data):
    lines = data.split(b"\r\n")
    assert lines.pop() == b"" and all(STAMP.match(l) for l in lines), data[-200:]
    return [line[24:] for line in lines]


class DatagramSink:
    """A Unix datagram socket standing in for systemd's notify or journal socket."""

    def __init__(self, folder, name):
        self.path = os.path.join(folder, name)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)

    def receive_all(self, timeout=0.1):
        out = []
        self.sock.settimeout(timeout)
        with contextlib.suppress(socket.timeout):
            while True:
                out.append(self.sock.recv(65536).decode("utf-8"))
        return out

    def events(self, timeout=0.1):
        return [dict(l.split("=", 1) for l in e.splitlines() if "=" in l) for e in self.receive_all(timeout)]


class Quorvel(contextlib.AbstractContextManager):
    def __init__(self, ini_lines=None, ini_bytes=None, folder=None):
        self.tmp = tempfile.TemporaryDirectory(prefix="quorvel-e2e-", dir=folder)
        self.dir = self.tmp.name
        self.binary = shutil.copy2(BINARY, os.path.join(self.dir, "quorvel"))
        if ini_lines is not None:
            ini_bytes = b"".join(sjis(l) + b"\r\n" for l in ini_lines)
        if ini_bytes is not None:
            pathlib.Path(self.dir, "Quorvel.ini").write_bytes(ini_bytes)
        # Event entries go to a socket of the test's instead of the journal.
        self.journal = DatagramSink(self.dir, "journal")
        self.notify = self.proc = self.err = None

    def env(self, **extra):
        return dict({k: v for k, v in os.environ.items() if k != "NOTIFY_SOCKET"}, QUORVEL_JOURNAL_SOCKET=self.journal.path,
                    **extra)

    def start(self, words=("-RUN",), prefix=(), stderr=None, **env_extra):
        self.err = open(os.path.join(self.dir, "stderr"), "wb")
        self.proc = subprocess.Popen([*prefix, self.binary, *words], cwd="/", env=self.env(**env_extra),
                                     stdout=subprocess.DEVNULL, stderr=stderr or self.err)
        return self

    def up(self, **start_args):
        if not self.start(**start_args).wait_started():
            err = self.stderr
            self.close()
            raise AssertionError("quorvel did not start: %s" % err)
        return self

    def start_service(self):
        """Starts as systemd would; returns the notifications up to READY=1."""
        self.notify = DatagramSink(self.dir, "notify")
        self.start((), NOTIFY_SOCKET=self.notify.path)
        self.notify.sock.settimeout(30)
        messages = []
        while not messages or not messages[-1].startswith("READY=1"):
            messages.append(self.notify.sock.recv(65536).decode())
        return messages

    def run(self, *words, stderr=subprocess.PIPE, **env_extra):
        return subprocess.run([self.binary, *words], env=self.env(**env_extra), stdout=subprocess.PIPE, stderr=stderr,
                              timeout=30)

    @property
    def stderr(self):
        """The console lines so far ("success 1 ...", "error 3 ..."), the last maybe half written."""
        return pathlib.Path(self.dir, "stderr").read_bytes().decode("utf-8", "replace").splitlines()

    def wait_started(self, timeout=30):
        wait_until(lambda: self.proc.poll() is not None
                   or any(l.startswith(("success 1 ", "error ")) for l in self.stderr), timeout)
        return any(l.startswith("success 1 ") for l in self.stderr)

    def wait_exit(self, timeout=30):
        return self.proc.wait(timeout=timeout)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.wait_exit()

    @contextlib.contextmanager
    def paused(self):
        """What is sent while the server is stopped (SIGSTOP) waits in its socket."""
        self.proc.send_signal(signal.SIGSTOP)
        try:
            yield
        finally:
            self.proc.send_signal(signal.SIGCONT)

    def path(self, name):
        return os.path.join(self.dir, "logs", name)

    @contextlib.contextmanager
    def small_disk(self, test, size):
        """The logs folder on a tmpfs of that size for the block (skipped where none can be mounted)."""
        logs = os.path.join(self.dir, "logs")
        os.mkdir(logs)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", logs]).returncode != 0:
            test.skipTest("cannot mount a tmpfs here")
        try:
            yield logs
        finally:
            if self.proc:
                self.proc.kill()
                self.proc.wait()
            subprocess.run(["umount", logs], check=True)

    def read(self, name):
        return pathlib.Path(self.path(name)).read_bytes()

    def log(self, name="Quorvel.log"):
        return entries(self.read(name))

    def wait_for_lines(self, name, count, timeout=30):
        assert wait_until(lambda: os.path.exists(self.path(name)) and self.read(name).count(b"\r\n") >= count,
                          timeout), "%s did not reach %d lines" % (name, count)
        return self.log(name)

    def close(self):
        if self.proc:
            self.proc.kill()
            self.proc.wait()
            self.err.close()
        [sink.sock.close() for sink in (self.journal, self.notify) if sink]
        self.tmp.cleanup()

    def __exit__(self, *exc):
        self.close()


def mail_ini(syslog_port, smtp_port, *keyword_lines, extra=()):
    return ["SYSLOGPORT=%d" % syslog_port, "RECVLOGNAME=recv.log", "MAILSERVER=127.0.0.1",
            "MAILSERVERPORT=%d" % smtp_port, "MAILFROM=quorvel@example.org", "MAILTO=ops@example.org",
            *extra, "KEYWORDLISTSTART", *(keyword_lines or ["error"]), "KEYWORDLISTEND"]


def over_tls(server):
    # aiosmtpd marks a STARTTLS session only; implicit TLS shows on the transport.
    return server.session.ssl is not None or server.transport.get_extra_info("ssl_object") is not None


class Sink:
    """An aiosmtpd handler: refuses REFUSED, checks AUTH LOGIN and CRAM-MD5 (Python's own HMAC)
    against PASSWORD, notes whether each AUTH and mail came over TLS."""

    def __init__(self):
        self.mails, self.auth_over_tls, self.on_mail_from = [], [], None

    def authenticate(self, server, session, envelope, mechanism, data):
        self.auth_over_tls.append(over_tls(server))
        ok = mechanism == "LOGIN" and data.login == ACCOUNT and data.password == PASSWORD
        return AuthResult(success=ok, handled=False, auth_data=data)

    async def auth_CRAM__MD5(self, server, args):
        self.auth_over_tls.append(over_tls(server))
        challenge = b"<%d.%d@sink.test>" % (len(self.mails), time.time())
        answer = await server.challenge_auth(challenge)
        user, _, digest = (answer if isinstance(answer, bytes) else b"").partition(b" ")
        ok = user == ACCOUNT and hmac.compare_digest(digest, hmac.new(PASSWORD, challenge, hashlib.md5)
                                                     .hexdigest().encode())
        return AuthResult(success=ok, handled=False, auth_data=LoginPassword(user, b""))

    async def handle_MAIL(self, server, session, envelope, address, options):
        envelope.mail_from = address
        envelope.noted = self.on_mail_from() if self.on_mail_from else None
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address == REFUSED:
            return "550 no such user"
        return envelope.rcpt_tos.append(address) or "250 OK"

    async def handle_DATA(self, server, session, envelope):
        tls = server.transport.get_extra_info("ssl_object")
        self.mails.append(dict(to=envelope.rcpt_tos, raw=envelope.original_content, tls=over_tls(server),
                               version=tls.version() if tls else None, auth=session.auth_data,
                               helo=session.host_name, noted=envelope.noted))
        return "250 queued"


def smtp_server(test, sink, tls=None, implicit=False):
    """A running aiosmtpd: plain text, STARTTLS required or implicit TLS (tls: a server SSLContext).
    A port taken by a test alongside between probe and bind means another try."""
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    kwargs = dict(authenticator=sink.authenticate, auth_require_tls=False)
    if tls is not None:
        kwargs.update(ssl_context=tls) if implicit else kwargs.update(tls_context=tls, require_starttls=True)
    for _ in range(20):
        port = free_port()
        # server_hostname: else aiosmtpd asks the name service for this machine's name.
        server = Controller(sink, hostname="127.0.0.1", port=port, server_hostname="sink.test", **kwargs)
        try:
            server.start()
        except (OSError, RuntimeError):
            continue
        test.addCleanup(server.stop)
        return server
    test.fail("no free TCP port for the SMTP server")


def mail_sink(test, **relay):
    """A Sink behind a plain-text aiosmtpd, and the server to mail to: that one, or a Relay before it."""
    sink = Sink()
    server = smtp_server(test, sink)
    return sink, Relay(test, server.port, **relay) if relay else server


class Relay:
    """A TCP relay before an SMTP server, recording what the client sends. The first `silent`
    connections are never answered, the next `trickle` get an endless greeting byte by byte,
    the rest are passed on once `release` is set (at once unless held)."""

    def __init__(self, test, target_port, silent=0, trickle=0, held=False):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.target_port, self.silent, self.trickle = target_port, silent, trickle
        self.connected, self.release = threading.Event(), threading.Event()
        self.captured, self.open = [], []
        if not held:
            self.release.set()
        threading.Thread(target=self.accept, daemon=True).start()
        test.addCleanup(self.close)

    def accept(self):
        for n in range(1, 1000):
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.open.append(client)
            self.connected.set()
            if n > self.silent:
                threading.Thread(target=self.serve, args=(client, n > self.silent + self.trickle), daemon=True).start()

    def serve(self, client, passed_on):
        with contextlib.suppress(OSError):
            if not passed_on:
                for _ in range(60):
                    client.sendall(b"2")
                    time.sleep(0.5)
                return
            self.release.wait()
            upstream = socket.create_connection(("127.0.0.1", self.target_port))
            self.open.append(upstream)
            self.captured.append([])
            threading.Thread(target=self.pump, args=(upstream, client, []), daemon=True).start()
            self.pump(client, upstream, self.captured[-1])

    @staticmethod
    def pump(src, dst, record):
        with contextlib.suppress(OSError):
            while data := src.recv(65536):
                record.append(data)
                dst.sendall(data)
            dst.shutdown(socket.SHUT_WR)

    def client_bytes(self, index=0):
        return b"".join(self.captured[index])

    def close(self):
        self.release.set()
        self.listener.close()
        [s.close() for s in self.open]
