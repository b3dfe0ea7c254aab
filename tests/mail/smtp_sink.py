#!/usr/bin/python3
"""A real SMTP server (aiosmtpd) for the mail client's tests.

Usage: smtp_sink.py OUTDIR ACCOUNT PASSWORD

Offers AUTH LOGIN and AUTH CRAM-MD5 without TLS and checks both against the
one account; the CRAM-MD5 answer is verified with Python's own HMAC-MD5
(RFC 2104, RFC 2195). Every accepted message is read as a mail client reads
it and its parts are written, decoded to UTF-8, as files in OUTDIR/msgN/.
Prints the port on the first line of stdout; stops when OUTDIR/stop appears.
"""
import email
import email.policy
import email.utils
import hashlib
import hmac
import os
import secrets
import socket
import sys
import logging
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import MISSING, AuthResult, LoginPassword

OUT, ACCOUNT, PASSWORD = sys.argv[1], sys.argv[2].encode(), sys.argv[3].encode()


def write(folder, name, data):
    mode = "wb" if isinstance(data, bytes) else "w"
    with open(os.path.join(folder, name), mode, **({} if mode == "wb" else {"encoding": "utf-8", "newline": ""})) as f:
        f.write(data)


class Handler:
    def __init__(self):
        self.count = 0

    async def auth_CRAM__MD5(self, server, args):
        challenge = f"<{secrets.token_hex(8)}.{int(time.time())}@sink.test>".encode()
        answer = await server.challenge_auth(challenge)
        if answer is MISSING:
            return AuthResult(success=False, handled=True)  # 501 already sent
        user, _, digest = answer.partition(b" ")
        expected = hmac.new(PASSWORD, challenge, hashlib.md5).hexdigest().encode()
        ok = user == ACCOUNT and hmac.compare_digest(digest, expected)
        # handled=False: aiosmtpd then answers a failure with 535 itself.
        return AuthResult(success=ok, handled=False, auth_data=LoginPassword(user, b""))

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        folder = os.path.join(OUT, f"msg{self.count}")
        os.mkdir(folder)
        raw = envelope.original_content or envelope.content
        msg = email.message_from_bytes(raw, policy=email.policy.default)
        sender = msg["From"].addresses[0]
        write(folder, "raw", raw)
        write(folder, "mail_from", envelope.mail_from)
        write(folder, "rcpt", "\n".join(envelope.rcpt_tos))
        write(folder, "login", getattr(session.auth_data, "login", b"").decode())
        write(folder, "headers", "\n".join(msg.keys()))
        write(folder, "subject", str(msg["Subject"] or ""))
        write(folder, "from_name", sender.display_name)
        write(folder, "from_addr", sender.addr_spec)
        write(folder, "message_id", str(msg["Message-ID"]))
        date = email.utils.parsedate_to_datetime(str(msg["Date"]))
        write(folder, "date_offset", date.strftime("%z"))
        write(folder, "date_epoch", str(int(date.timestamp())))
        write(folder, "charset", msg.get_content_charset() or "")
        write(folder, "body", msg.get_content().replace("\r\n", "\n"))
        return "250 2.0.0 queued"


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = (mechanism == "LOGIN" and isinstance(auth_data, LoginPassword)
          and auth_data.login == ACCOUNT and auth_data.password == PASSWORD)
    return AuthResult(success=ok, handled=False, auth_data=auth_data)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    # aiosmtpd logs a warning about its own deprecated session field on every AUTH.
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    controller = Controller(Handler(), hostname="127.0.0.1", port=free_port(),
                            authenticator=authenticator, auth_require_tls=False)
    controller.start()
    print(controller.port, flush=True)
    deadline = time.time() + 300
    try:
        while not os.path.exists(os.path.join(OUT, "stop")) and time.time() < deadline:
            time.sleep(0.05)
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
