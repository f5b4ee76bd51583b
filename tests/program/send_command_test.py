#!/usr/bin/python3
"""tavrin-send run as a user or a script runs it, against the capture server on 127.0.0.1.

Usage: send_command_test.py TAVRIN_SEND DBFTOOL SOURCE_DIR
Each case makes its own folder (settings file, table, message, home), so cases and other tests
running at the same time share nothing but the machine.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

SEND, DBFTOOL, SOURCE = sys.argv[1:4]
CAPTURE = os.path.join(SOURCE, "tools", "smtp_capture.py")

MESSAGE = (
    "From: Someone <someone@example.com>\r\n"
    "To: Club members:;\r\n"
    "Subject: News\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "\r\n"
    "Hello,\r\n"
    "the meeting is on Friday.\r\n"
)


class CaptureServer:
    def __init__(self, outbox, *options):
        self.outbox = outbox
        self.process = subprocess.Popen(
            ["/usr/bin/python3", CAPTURE, "--port", "0", "--outbox", outbox, *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().strip()
        if not line.startswith("READY "):
            self.stop()
            raise RuntimeError("capture server did not start: " + self.process.stderr.read())
        self.port = int(line.split()[1])

    def messages(self):
        if not os.path.isdir(self.outbox):
            return []
        return sorted(os.path.join(self.outbox, n) for n in os.listdir(self.outbox)
                      if n.endswith(".eml"))

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdout, self.process.stderr):
            stream.close()


class SendCommandTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="tavrin-send-cli-")
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.home)
        self.table = os.path.join(self.root, "people.dbf")
        self.message = os.path.join(self.root, "news.eml")
        with open(self.message, "w", newline="") as f:
            f.write(MESSAGE)
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            server.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def server(self, *options):
        server = CaptureServer(os.path.join(self.root, "outbox"), *options)
        self.servers.append(server)
        return server

    def make_table(self, rows):
        csv = os.path.join(self.root, "people.csv")
        with open(csv, "w") as f:
            f.write("NAME,EMAIL\n" + "".join("%s,%s\n" % row for row in rows))
        if os.path.exists(self.table):
            os.remove(self.table)
        subprocess.run([DBFTOOL, "create", self.table, "NAME,C,40", "EMAIL,C,60"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if rows:
            subprocess.run([DBFTOOL, "import", self.table, csv], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def write_settings(self, port, more=""):
        path = os.path.join(self.root, "Tavrin.ini")
        with open(path, "w") as f:
            f.write("[Options]\nServerName=127.0.0.1\nServerPort=%d\n"
                    "ReturnEmail=sender@example.com\nDir=%s\nTableName=people.dbf\n%s"
                    % (port, self.root, more))
        return path

    def run_send(self, *args, env_extra=None, wrap=()):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "TAVRIN_PASSWORD_FILE")}
        env.update(HOME=self.home, XDG_DATA_HOME=os.path.join(self.root, "data"),
                   XDG_CONFIG_HOME=os.path.join(self.root, "config"), TMPDIR=self.root,
                   LC_ALL="C.UTF-8")
        env.update(env_extra or {})
        return subprocess.run([*wrap, SEND, *args], env=env, capture_output=True, text=True,
                              timeout=120)

    def log_line(self, stdout, name):
        lines = [l for l in stdout.splitlines() if l.startswith(name + " ")]
        self.assertEqual(len(lines), 1, stdout)
        return lines[0]

    def test_every_recipient_accepted_gives_0_and_the_log_on_stdout(self):
        server = self.server()
        self.make_table([("Ann", "ann@example.com"), ("Bob", "bob@example.com")])
        settings = self.write_settings(server.port)
        done = self.run_send("--settings", settings, self.message)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(self.log_line(done.stdout, "Ann").endswith("OK"), done.stdout)
        self.assertTrue(self.log_line(done.stdout, "Bob").endswith("OK"), done.stdout)
        self.assertEqual(len(server.messages()), 1)
        with open(server.messages()[0], "rb") as f:
            sent = f.read()
        self.assertIn(b"\r\nSubject:News\r\n", sent)
        self.assertIn(b"the meeting is on Friday.", sent)
        # The log is kept on disk as printed, and the temporary folder is gone.
        logs = os.path.join(self.root, "data", "Tavrin", "logs")
        texts = [n for n in os.listdir(logs) if n.endswith(".txt")]
        self.assertEqual(len(texts), 1)
        with open(os.path.join(logs, texts[0])) as f:
            self.assertEqual(f.read(), done.stdout)
        self.assertEqual([n for n in os.listdir(self.root) if n.startswith("tavrin-send-")], [])
        # Its journal is closed: everyone's outcome is final, there is nothing to resume.
        self.assertTrue(self.journal().rstrip("\n").split("\n")[-1].startswith("Closed\t"))

    def journal(self):
        folder = os.path.join(self.root, "data", "Tavrin", "journal")
        names = [n for n in os.listdir(folder) if n.endswith(".journal")]
        self.assertEqual(len(names), 1, names)
        with open(os.path.join(folder, names[0]), encoding="utf-8", errors="replace") as f:
            return f.read()

    def test_some_refused_gives_1_none_accepted_gives_2(self):
        server = self.server("--refuse=bob@example.com=550 No such user")
        self.make_table([("Ann", "ann@example.com"), ("Bob", "bob@example.com"),
                         ("Cy", "not an address")])
        settings = self.write_settings(server.port)
        done = self.run_send("--settings", settings, self.message)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertTrue(self.log_line(done.stdout, "Ann").endswith("OK"))
        self.assertIn("FAILED", self.log_line(done.stdout, "Bob"))
        self.assertIn("550", self.log_line(done.stdout, "Bob"))
        self.assertIn("Invalid address", self.log_line(done.stdout, "Cy"))

        self.make_table([("Bob", "bob@example.com")])
        done = self.run_send("--settings", settings, self.message)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertIn("FAILED", self.log_line(done.stdout, "Bob"))

    def test_nothing_sent_gives_2(self):
        # No server at the port: the connection fails, and every recipient is logged Not sent.
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            closed_port = s.getsockname()[1]
        self.make_table([("Ann", "ann@example.com")])
        settings = self.write_settings(closed_port)
        done = self.run_send("--settings", settings, self.message)
        self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
        self.assertIn("tavrin-send: ", done.stderr)
        # A message file that is not a message, a missing table, an empty table: 2 and a reason.
        broken = os.path.join(self.root, "broken.eml")
        with open(broken, "w") as f:
            f.write(MESSAGE[: MESSAGE.index("\r\n\r\n")].replace("Content-Type: text/plain",
                                                                 "Content-Type: multipart/mixed"))
        done = self.run_send("--settings", settings, broken)
        self.assertEqual(done.returncode, 2)
        self.assertIn("tavrin-send: ", done.stderr)
        done = self.run_send("--settings", settings, "--table", self.root + "/none.dbf",
                             self.message)
        self.assertEqual(done.returncode, 2)
        self.assertIn("none.dbf", done.stderr)
        self.make_table([])
        done = self.run_send("--settings", settings, self.message)
        self.assertEqual(done.returncode, 2)
        self.assertIn("no records", done.stderr)
        # No settings file at all: said, and none is made.
        done = self.run_send("--settings", self.root + "/missing.ini", self.message)
        self.assertEqual(done.returncode, 2)
        self.assertIn("missing.ini", done.stderr)
        self.assertFalse(os.path.exists(self.root + "/missing.ini"))

    def test_a_failure_after_someone_was_accepted_gives_1(self):
        # One message per transaction; the server takes Ann's, then goes away for good.
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        self.addCleanup(listener.close)

        def serve():
            connection, _ = listener.accept()
            listener.close()  # a new connection is refused
            delivered = False
            with connection, connection.makefile("rb") as lines:
                connection.sendall(b"220 ready\r\n")
                for line in lines:
                    if delivered:
                        connection.sendall(b"421 going away\r\n")
                        return
                    if line[:4].upper() == b"DATA":
                        connection.sendall(b"354 go on\r\n")
                        while lines.readline() not in (b".\r\n", b""):
                            pass
                        delivered = True
                    connection.sendall(b"250 fine\r\n")

        threading.Thread(target=serve, daemon=True).start()
        self.make_table([("Ann", "ann@example.com"), ("Bob", "bob@example.com")])
        settings = self.write_settings(listener.getsockname()[1], "RecipientsPerMessage=1\n")
        done = self.run_send("--settings", settings, self.message)
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        self.assertTrue(self.log_line(done.stdout, "Ann").endswith("OK"), done.stdout)
        self.assertIn("Not sent", self.log_line(done.stdout, "Bob"))
        # The journal stays open with Ann's delivery in it, for a Resume to send Bob's alone.
        journal = self.journal()
        self.assertIn("\nAccepted\t1\t", journal)
        self.assertNotIn("\tClosed", journal)
        self.assertFalse(journal.rstrip("\n").split("\n")[-1].startswith("Closed"))

    def test_the_day_limit_pauses_a_scripted_send_with_its_journal_open(self):
        server = self.server()
        self.make_table([("Ann", "ann@example.com"), ("Bob", "bob@example.com")])
        settings = self.write_settings(server.port, "RecipientsPerMessage=1\nRecipientsPerDay=1\n")
        done = self.run_send("--settings", settings, self.message)
        self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
        self.assertEqual(len(server.messages()), 1)
        self.assertTrue(self.log_line(done.stdout, "Ann").endswith("OK"), done.stdout)
        self.assertIn("Not sent", self.log_line(done.stdout, "Bob"))
        self.assertIn("recipients per day and is paused until", done.stderr)
        journal = self.journal()
        self.assertIn("\nPaused\t", journal)
        self.assertFalse(journal.rstrip("\n").split("\n")[-1].startswith("Closed"))

    def test_a_journal_that_cannot_be_synced_is_told_however_far_the_send_went(self):
        if shutil.which("strace") is None or subprocess.run(
                ["strace", "-f", "-o", os.devnull, "true"]).returncode != 0:
            self.skipTest("strace cannot trace here")
        self.make_table([("Ann", "ann@example.com"), ("Bob", "bob@example.com")])
        failed = 0
        for n in range(1, 20):  # the nth sync of the journal fails with an I/O error
            server = self.server()
            settings = self.write_settings(server.port)
            shutil.rmtree(os.path.join(self.root, "data"), ignore_errors=True)
            trace = os.path.join(self.root, "trace")
            done = self.run_send("--settings", settings, self.message, wrap=(
                "strace", "-f", "-o", trace, "-e", "trace=fdatasync",
                "-e", "inject=fdatasync:error=EIO:when=%d" % n))
            with open(trace) as f:
                injected = "(INJECTED)" in f.read()
            server.stop()
            self.servers.remove(server)
            if not injected:
                self.assertEqual(done.returncode, 0, done.stderr)
                break
            failed += 1
            self.assertIn("The send journal could not be written: ", done.stderr,
                          "sync %d: %s" % (n, done.stderr))
        self.assertGreaterEqual(failed, 2)

    def test_usage_errors_give_64(self):
        for args in (["--frobnicate", self.message], [], [self.message, self.message],
                     ["--settings"], ["--table=", self.message]):
            done = self.run_send(*args)
            self.assertEqual(done.returncode, 64, args)
            self.assertIn("Usage: tavrin-send", done.stderr)
            self.assertEqual(done.stdout, "")
        done = self.run_send("--help")
        self.assertEqual(done.returncode, 0)
        self.assertIn("--dry-run", done.stdout)
        self.assertTrue(self.run_send("--version").stdout.startswith("tavrin-send "))

    def test_dry_run_lists_who_would_get_it_and_connects_nowhere(self):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        listener.setblocking(False)
        self.addCleanup(listener.close)
        self.make_table([("Ann", "ann@example.com"), ("Cy", "not an address")])
        settings = self.write_settings(listener.getsockname()[1])
        done = self.run_send("--dry-run", "--settings", settings, self.message)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("Subject: News", done.stdout)
        self.assertIn("to be sent", self.log_line(done.stdout, "Ann"))
        self.assertIn("Invalid address", self.log_line(done.stdout, "Cy"))
        self.make_table([("Ann", "ann@example.com")])
        done = self.run_send("--dry-run", "--settings", settings, self.message)
        self.assertEqual(done.returncode, 0, done.stderr)
        with self.assertRaises(BlockingIOError):
            listener.accept()
        self.assertFalse(os.path.exists(os.path.join(self.root, "data", "Tavrin", "logs")))

    def test_the_password_file_must_be_the_users_alone(self):
        self.make_table([("Ann", "ann@example.com")])
        settings = self.write_settings(1, "Security=STARTTLS\nUserName=ann\n")
        password = os.path.join(self.root, "password")
        with open(password, "w") as f:
            f.write("secret\n")
        os.chmod(password, 0o640)
        done = self.run_send("--dry-run", "--settings", settings, self.message,
                             env_extra={"TAVRIN_PASSWORD_FILE": password})
        self.assertEqual(done.returncode, 2)
        self.assertIn("chmod 600", done.stderr)
        self.assertNotIn("secret", done.stdout + done.stderr)
        os.chmod(password, 0o600)
        done = self.run_send("--dry-run", "--settings", settings, self.message,
                             env_extra={"TAVRIN_PASSWORD_FILE": password})
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("signed in as ann", done.stdout)
        self.assertNotIn("secret", done.stdout + done.stderr)
        # A folder is no password file; and without a file and a desktop session, it says so.
        done = self.run_send("--dry-run", "--settings", settings, self.message,
                             env_extra={"TAVRIN_PASSWORD_FILE": self.root})
        self.assertEqual(done.returncode, 2)
        self.assertIn("not a regular file", done.stderr)
        done = self.run_send("--dry-run", "--settings", settings, self.message)
        self.assertEqual(done.returncode, 2)
        self.assertIn("without a desktop session", done.stderr)

    def test_signs_in_with_the_password_file_over_starttls(self):
        certs = os.path.join(self.root, "certs")
        subprocess.run(["/usr/bin/python3", os.path.join(SOURCE, "tools", "test_ca.py"), certs],
                       check=True, stdout=subprocess.DEVNULL)
        server = self.server("--tls-cert", os.path.join(certs, "server.crt"), "--tls-key",
                             os.path.join(certs, "server.key"), "--starttls", "--auth-user", "ann",
                             "--auth-password", "s3cret pw")
        self.make_table([("Bob", "bob@example.com")])
        settings = self.write_settings(server.port, "Security=STARTTLS\nUserName=ann\n")
        password = os.path.join(self.root, "password")
        fd = os.open(password, os.O_WRONLY | os.O_CREAT, 0o600)
        os.write(fd, b"s3cret pw\n")
        os.close(fd)
        trust = {"TAVRIN_PASSWORD_FILE": password, "SSL_CERT_FILE": os.path.join(certs, "ca.pem")}
        done = self.run_send("--settings", settings, self.message, env_extra=trust)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(server.outbox, "transcript.log")) as f:
            self.assertIn("AUTH PLAIN accepted", f.read())
        self.assertNotIn("s3cret", done.stdout + done.stderr)
        # A refused password: nothing sent, the refusal said, the password file left as it was.
        fd = os.open(password, os.O_WRONLY | os.O_TRUNC)
        os.write(fd, b"wrong")
        os.close(fd)
        done = self.run_send("--settings", settings, self.message, env_extra=trust)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertIn("refused the user name or password", done.stderr)
        self.assertIn("The password from the password file " + password + " was refused",
                      done.stderr)
        self.assertIn("Not sent", self.log_line(done.stdout, "Bob"))
        self.assertEqual(len(server.messages()), 1)
        with open(password, "rb") as f:
            self.assertEqual(f.read(), b"wrong")

    def test_sigterm_stops_the_send_and_removes_the_attachments(self):
        # A server that greets and then never answers: the send waits for its reply to EHLO.
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        self.addCleanup(listener.close)
        heard = threading.Event()
        held = []

        def serve():
            connection, _ = listener.accept()
            held.append(connection)
            connection.sendall(b"220 silent\r\n")
            connection.recv(1000)
            heard.set()

        threading.Thread(target=serve, daemon=True).start()
        self.addCleanup(lambda: [c.close() for c in held])
        attached = MESSAGE.replace(
            "Content-Type: text/plain; charset=utf-8\r\n\r\nHello,\r\n",
            'Content-Type: multipart/mixed; boundary="b"\r\n\r\n--b\r\n'
            "Content-Type: text/plain\r\n\r\nHello,\r\n") + (
            "--b\r\nContent-Type: text/plain\r\n"
            'Content-Disposition: attachment; filename="notes.txt"\r\n\r\nnotes\r\n--b--\r\n')
        with open(self.message, "w", newline="") as f:
            f.write(attached)
        self.make_table([("Ann", "ann@example.com")])
        settings = self.write_settings(listener.getsockname()[1])
        env = {k: v for k, v in os.environ.items() if k != "DBUS_SESSION_BUS_ADDRESS"}
        env.update(HOME=self.home, XDG_DATA_HOME=os.path.join(self.root, "data"), TMPDIR=self.root)
        process = subprocess.Popen([SEND, "--settings", settings, self.message], env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            self.assertTrue(heard.wait(60), "tavrin-send did not say EHLO")
            self.assertTrue([n for n in os.listdir(self.root) if n.startswith("tavrin-send-")])
            process.send_signal(signal.SIGTERM)
            stdout, stderr = process.communicate(timeout=120)
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()
        self.assertEqual(process.returncode, 2, stderr)
        self.assertIn("Not sent", self.log_line(stdout, "Ann"))
        self.assertEqual([n for n in os.listdir(self.root) if n.startswith("tavrin-send-")], [])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
