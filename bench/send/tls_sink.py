#!/usr/bin/python3
"""A light SMTP sink on 127.0.0.1 for the STARTTLS benchmark: it takes everything and keeps nothing.

  tls_sink.py CERT KEY

Offers STARTTLS in its reply to EHLO until the connection is encrypted, answers every command at
once, and reads the mail data in large blocks looking only for the final "." line, so that the
clients, not the server, are what is measured. Prints "READY <port>" and serves each connection on
its own thread until it is terminated.
"""
import socket
import ssl
import sys
import threading

END = b"\r\n.\r\n"


class Session:
    def __init__(self, conn, context):
        self.conn = conn
        self.stream = conn
        self.context = context
        self.pending = b""

    def line(self):
        while b"\r\n" not in self.pending:
            block = self.stream.recv(65536)
            if not block:
                return None
            self.pending += block
        first, self.pending = self.pending.split(b"\r\n", 1)
        return first

    def skip_data(self):
        tail = self.pending
        while END not in tail:
            block = self.stream.recv(1 << 20)
            if not block:
                return False
            tail = tail[-4:] + block
        self.pending = b""  # a client sends nothing after "." before the reply
        return True

    def run(self):
        self.stream.sendall(b"220 sink ready\r\n")
        while True:
            command = self.line()
            if command is None:
                break
            verb = command[:8].upper()
            if verb.startswith(b"EHLO"):
                offer = b"250-STARTTLS\r\n" if self.stream is self.conn else b""
                self.stream.sendall(b"250-sink\r\n" + offer + b"250 8BITMIME\r\n")
            elif verb == b"STARTTLS":
                self.stream.sendall(b"220 go ahead\r\n")
                self.stream = self.context.wrap_socket(self.conn, server_side=True)
                self.pending = b""
            elif verb.startswith(b"DATA"):
                self.stream.sendall(b"354 go on\r\n")
                if not self.skip_data():
                    break
                self.stream.sendall(b"250 taken\r\n")
            elif verb.startswith(b"QUIT"):
                self.stream.sendall(b"221 bye\r\n")
                break
            else:
                self.stream.sendall(b"250 ok\r\n")
        self.stream.close()


def serve(conn, context):
    try:
        Session(conn, context).run()
    except (OSError, ssl.SSLError):
        conn.close()


def main():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[1], sys.argv[2])
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("READY %d" % listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # as servers do: no reply waits for an ACK
        threading.Thread(target=serve, args=(conn, context), daemon=True).start()


if __name__ == "__main__":
    main()
