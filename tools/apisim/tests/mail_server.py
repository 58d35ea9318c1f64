#!/usr/bin/python3
"""A real SMTP server (aiosmtpd) for the delivery tests, on loopback.

  mail_server.py --port N --out DIR [--mode plain|starttls|tls]
                 [--cert CERT --key KEY] [--auth USER:PASSWORD]

Prints "ready" once it listens. Every mail it accepts becomes a folder
DIR/<n>/ (written under another name and renamed whole) holding what the
tests compare, decoded by Python's own mail parser: envelope_from,
envelope_to (the receivers, ", " between them), subject, from, to,
message_id, body (the text part's bytes) and, per attachment k,
attach<k>.name, attach<k>.type and attach<k>.data. With --auth the server
asks for that login and refuses any other with 535, echoing the login and
password it got, as a careless server does; with --mode starttls it refuses
mail before STARTTLS.
"""
import argparse
import asyncio
import email
import email.policy
import os
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def write(folder, name, data):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


class Keeper:
    def __init__(self, out):
        self.out = out
        # A server started again over the same folder goes on counting.
        self.count = sum(1 for d in os.listdir(out) if d.isdigit())

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        temp = os.path.join(self.out, f".{self.count}")
        os.makedirs(temp)
        write(temp, "envelope_from", envelope.mail_from)
        write(temp, "envelope_to", ", ".join(envelope.rcpt_tos))
        msg = email.message_from_bytes(envelope.original_content or envelope.content, policy=email.policy.default)
        for header in ("subject", "from", "to", "message_id"):
            write(temp, header, str(msg.get(header.replace("_", "-"), "")))
        body = msg.get_body(preferencelist=("plain",))
        write(temp, "body", body.get_payload(decode=True) if body else b"")
        for k, part in enumerate(msg.iter_attachments()):
            write(temp, f"attach{k}.name", part.get_filename() or "")
            write(temp, f"attach{k}.type", part.get_content_type())
            write(temp, f"attach{k}.data", part.get_payload(decode=True) or b"")
        os.rename(temp, os.path.join(self.out, str(self.count)))
        return "250 Message accepted for delivery"


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--mode", choices=("plain", "starttls", "tls"), default="plain")
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--auth")
    a = p.parse_args()

    context = None
    if a.mode != "plain":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(a.cert, a.key)
    kwargs = {}
    if a.auth:
        user, password = a.auth.split(":", 1)

        def authenticator(server, session, envelope, mechanism, data):
            if isinstance(data, LoginPassword) and (data.login, data.password) == (user.encode(), password.encode()):
                return AuthResult(success=True, handled=False)
            return AuthResult(success=False, handled=False, message=b"535 5.7.8 no login for %s with %s" % (
                getattr(data, "login", b""), getattr(data, "password", b"")))

        kwargs.update(authenticator=authenticator, auth_required=True, auth_require_tls=False)
    if a.mode == "starttls":
        kwargs.update(tls_context=context, require_starttls=True)
    os.makedirs(a.out, exist_ok=True)
    keeper = Keeper(a.out)

    loop = asyncio.new_event_loop()
    server = loop.run_until_complete(loop.create_server(
        lambda: SMTP(keeper, hostname="mail.test", **kwargs), "127.0.0.1", a.port,
        ssl=context if a.mode == "tls" else None))
    print("ready", flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    sys.exit(main())
