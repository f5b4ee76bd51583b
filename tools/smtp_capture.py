#!/usr/bin/python3
"""A small SMTP server on 127.0.0.1 that keeps every message it receives as a file.

Each accepted message is written to OUTBOX as one .eml file: two headers of its own first
(X-Envelope-From and X-Envelope-To with every accepted recipient), then the message exactly as
received. Every command the server understood is appended to OUTBOX/transcript.log, one line each.

For tests it answers chosen commands with chosen replies:
  --refuse ADDRESS=REPLY   refuse this recipient with REPLY ("550 No such user")
  --reply COMMAND=REPLY    answer HELO, EHLO, MAIL, RCPT, DATA_END (the final ".") or QUIT with REPLY
A REPLY may hold several lines separated by "|": "550-first|550-second|550 last".

Encryption and sign-in (certificates for tests: tools/test_ca.py):
  --tls-cert FILE --tls-key FILE   the server's certificate chain and key (PEM)
  --starttls               offer STARTTLS and take no mail, and no sign-in, before it
  --no-starttls-offer      with --starttls: leave STARTTLS out of the reply to EHLO
  --implicit-tls           TLS from the first byte, before the greeting
  --auth-user USER --auth-password PW
                           take mail only after sign-in as USER with PW; the transcript
                           says "AUTH <mechanism> accepted" or "refused", never the secrets
  --auth-mechanisms LIST   offer only these (comma-separated, "" for none); default PLAIN,LOGIN

When the server listens it prints "READY <port>" on standard output; with --fallback-port a
PORT taken by another program gives way to a free one, and READY names it. It runs until it is
terminated (SIGTERM or SIGINT), or until its standard input closes with --stop-on-eof.
Listens on loopback only. The outbox folder is the user's alone (0700), and so is every file in
it (0600): the messages hold what the user wrote to others. A message above 100 MB (or --size) is
refused with "552" once it has been read, and never held in memory whole.

Limits, for sends that need several transactions:
  --recipient-limit N      answer "452" to every recipient after N accepted in one transaction
  --pipelining             list PIPELINING in the reply to EHLO
  --size N                 list "SIZE N" and refuse larger messages
  --close-after N          close the connection after the Nth message of each connection has
                           been accepted (as servers that limit messages per connection do)
"""
import argparse
import os
import signal
import socket
import ssl
import sys
import threading
import time

# Larger messages are refused. Not listed in the reply to EHLO unless --size asks for it, so the
# commands a client sends stay as they are without it.
MAX_MESSAGE = 100 * 1000 * 1000

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_free(port):
    """Whether a server could listen on PORT of 127.0.0.1 now (as the server itself binds)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
        return True


def wire(reply):
    return "\r\n".join(reply.split("|"))


def apply_limits(args, handler, controller):
    """The limit options; the server makes a new session for each connection, so they hold from
    the first client on."""
    handler.recipient_limit = args.recipient_limit
    handler.pipelining = args.pipelining
    handler.list_size = bool(args.size)
    handler.close_after = args.close_after
    controller.SMTP_kwargs["data_size_limit"] = args.size or MAX_MESSAGE


class CaptureHandler:
    def __init__(self, outbox, refusals, replies, offer_starttls=True):
        self.outbox = outbox
        self.refusals = refusals
        self.replies = replies
        self.offer_starttls = offer_starttls
        self.count = 0
        self.lock = threading.Lock()
        self.recipient_limit = 0
        self.pipelining = False
        self.list_size = False
        self.close_after = 0

    def log(self, line):
        with self.lock, open(os.path.join(self.outbox, "transcript.log"), "a") as f:
            f.write(line + "\n")

    async def handle_HELO(self, server, session, envelope, hostname):
        self.log("HELO " + hostname)
        session.host_name = hostname
        return wire(self.replies.get("HELO", "250 127.0.0.1"))

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        self.log("EHLO " + hostname)
        if "EHLO" in self.replies:
            return self.replies["EHLO"].split("|")
        session.host_name = hostname
        if not self.offer_starttls:
            responses = [r for r in responses if r[4:].upper() != "STARTTLS"]
        if not self.list_size:
            responses = [r for r in responses if not r[4:].upper().startswith("SIZE")]
        if self.pipelining:
            responses.insert(1, "250-PIPELINING")
        return responses

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        self.log(" ".join(["MAIL FROM:<%s>" % address] + list(mail_options)))
        reply = self.replies.get("MAIL")
        if reply:
            return wire(reply)
        envelope.mail_from = address
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        self.log("RCPT TO:<%s>" % address)
        reply = self.refusals.get(address.lower()) or self.replies.get("RCPT")
        if reply:
            return wire(reply)
        if self.recipient_limit and len(envelope.rcpt_tos) >= self.recipient_limit:
            return "452 4.5.3 Too many recipients"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.log("DATA END")
        reply = self.replies.get("DATA_END")
        if reply:
            return wire(reply)
        with self.lock:
            self.count += 1
            number = self.count
        name = "%s-%06d.eml" % (time.strftime("%Y%m%d-%H%M%S"), number)
        head = "X-Envelope-From: %s\r\nX-Envelope-To: %s\r\n" % (
            envelope.mail_from, ", ".join(envelope.rcpt_tos))
        path = os.path.join(self.outbox, name)
        with open(path + ".part", "wb") as f:
            f.write(head.encode("latin-1", "replace"))
            f.write(envelope.original_content)
            f.flush()
            os.fsync(f.fileno())
        # A message is either whole under its name or not there: it is accepted only after this.
        os.replace(path + ".part", path)
        status = "250 OK: kept as " + name
        if self.close_after:
            session.messages = getattr(session, "messages", 0) + 1
            if session.messages >= self.close_after:
                self.log("CLOSE")
                await server.push(status)
                server.transport.close()
        return status

    async def handle_QUIT(self, server, session, envelope):
        self.log("QUIT")
        return wire(self.replies.get("QUIT", "221 Bye"))


class CaptureSMTP(SMTP):
    """Notes STARTTLS in the transcript, as the handler notes every other command."""

    async def smtp_STARTTLS(self, arg):
        self.event_handler.log("STARTTLS")
        return await super().smtp_STARTTLS(arg)


class CaptureController(Controller):
    def factory(self):
        return CaptureSMTP(self.handler, **self.SMTP_kwargs)


def authenticator_for(handler, user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (getattr(auth_data, "login", None) == user.encode()
              and getattr(auth_data, "password", None) == password.encode())
        handler.log("AUTH %s %s" % (mechanism, "accepted" if ok else "refused"))
        return AuthResult(success=ok, handled=False, auth_data=auth_data)
    return authenticate


def security_options(args, handler):
    """The Controller's keywords for the encryption and sign-in options."""
    options = {}
    context = None
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
    if args.starttls:
        options.update(tls_context=context, require_starttls=True)
    if args.implicit_tls:
        options["ssl_context"] = context
    if args.auth_user is not None:
        options.update(authenticator=authenticator_for(handler, args.auth_user, args.auth_password or ""),
                       auth_required=True)
    # Sign-in waits for STARTTLS; with TLS from the first byte the server cannot tell, so it is let be.
    options["auth_require_tls"] = bool(args.starttls)
    if args.auth_mechanisms is not None:
        offered = {m.strip().upper() for m in args.auth_mechanisms.split(",") if m.strip()}
        options["auth_exclude_mechanism"] = [m for m in ("PLAIN", "LOGIN") if m not in offered]
    return options


def pairs(items):
    out = {}
    for item in items or []:
        key, _, value = item.partition("=")
        out[key] = value
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=2525, help="0 picks a free port")
    parser.add_argument("--fallback-port", action="store_true")
    parser.add_argument("--outbox", default=os.path.expanduser("~/Tavrin/outbox"))
    parser.add_argument("--refuse", action="append")
    parser.add_argument("--reply", action="append")
    parser.add_argument("--recipient-limit", type=int, default=0)
    parser.add_argument("--pipelining", action="store_true")
    parser.add_argument("--size", type=int, default=0)
    parser.add_argument("--close-after", type=int, default=0)
    parser.add_argument("--stop-on-eof", action="store_true")
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--starttls", action="store_true")
    parser.add_argument("--no-starttls-offer", action="store_true")
    parser.add_argument("--implicit-tls", action="store_true")
    parser.add_argument("--auth-user")
    parser.add_argument("--auth-password")
    parser.add_argument("--auth-mechanisms")
    args = parser.parse_args()

    os.umask(0o077)  # the outbox, the messages and the transcript: the user's alone
    os.makedirs(args.outbox, mode=0o700, exist_ok=True)
    os.chmod(args.outbox, 0o700)
    refusals = {k.lower(): v for k, v in pairs(args.refuse).items()}
    handler = CaptureHandler(args.outbox, refusals, pairs(args.reply),
                             offer_starttls=not args.no_starttls_offer)
    port = args.port
    if not port or (args.fallback_port and not port_free(port)):
        port = free_port()
    controller = CaptureController(handler, hostname="127.0.0.1", port=port,
                                   data_size_limit=args.size or MAX_MESSAGE,
                                   ident="Tavrin capture server", **security_options(args, handler))
    controller.start()
    apply_limits(args, handler, controller)
    print("READY %d" % port, flush=True)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    if args.stop_on_eof:
        threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
    while not stop.wait(0.5):
        pass
    controller.stop()


if __name__ == "__main__":
    main()
