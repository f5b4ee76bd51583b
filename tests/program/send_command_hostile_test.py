#!/usr/bin/python3
"""tavrin-send started as careless schedulers and pipelines start it, against the capture server.

Usage: send_command_hostile_test.py TAVRIN_SEND DBFTOOL SOURCE_DIR
"""
import os
import signal
import subprocess
import sys
import time
import unittest

import send_command_test as base


class HostileStartTest(base.SendCommandTest):
    def env(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "TAVRIN_PASSWORD_FILE")}
        env.update(HOME=self.home, XDG_DATA_HOME=os.path.join(self.root, "data"),
                   XDG_CONFIG_HOME=os.path.join(self.root, "config"), TMPDIR=self.root,
                   LC_ALL="C.UTF-8")
        return env

    def saved_log(self):
        logs = os.path.join(self.root, "data", "Tavrin", "logs")
        texts = [n for n in os.listdir(logs) if n.endswith(".txt")] if os.path.isdir(logs) else []
        self.assertEqual(len(texts), 1, "no log saved")
        with open(os.path.join(logs, texts[0])) as f:
            return f.read()

    def test_closed_standard_descriptors_neither_stop_the_send_nor_land_in_its_files(self):
        server = self.server()
        self.make_table([("Ann", "ann@example.com"), ("Bob", "bob@example.com")])
        before = open(self.table, "rb").read()
        settings = self.write_settings(server.port)
        done = subprocess.run([base.SEND, "--settings", settings, self.message], env=self.env(),
                              stdin=None, stdout=None, stderr=None, timeout=120,
                              preexec_fn=lambda: [os.close(fd) for fd in (0, 1, 2)])
        self.assertEqual(done.returncode, 0)
        self.assertEqual(len(server.messages()), 1)
        log = self.saved_log()
        self.assertTrue(self.log_line(log, "Ann").endswith("OK"), log)
        self.assertTrue(self.log_line(log, "Bob").endswith("OK"), log)
        self.assertEqual(open(self.table, "rb").read(), before)

    def test_a_reader_that_goes_away_leaves_the_send_whole_and_its_log_saved(self):
        server = self.server()
        rows = [("P%d" % i, "p%d@example.com" % i) for i in range(1500)]
        self.make_table(rows)
        settings = self.write_settings(server.port)
        process = subprocess.Popen([base.SEND, "--settings", settings, self.message],
                                   env=self.env(), stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        try:
            # The log fills more than a pipe holds; the reader takes a line and leaves.
            self.assertTrue(process.stdout.readline())
            process.stdout.close()
            process.wait(120)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        self.assertEqual(process.returncode, 0)
        log = self.saved_log()
        self.assertTrue(self.log_line(log, "P1499").endswith("OK"), log[-500:])
        self.assertEqual([n for n in os.listdir(self.root) if n.startswith("tavrin-send-")], [])

    def test_a_reader_that_never_reads_cannot_hold_the_log_back_and_a_signal_ends_the_run(self):
        server = self.server()
        self.make_table([("P%d" % i, "p%d@example.com" % i) for i in range(1500)])
        settings = self.write_settings(server.port)
        reader, writer = os.pipe()  # kept open and never read: the log fills it and waits
        try:
            process = subprocess.Popen([base.SEND, "--settings", settings, self.message],
                                       env=self.env(), stdout=writer, stderr=subprocess.DEVNULL)
            try:
                logs = os.path.join(self.root, "data", "Tavrin", "logs")
                for _ in range(600):
                    if os.path.isdir(logs) and [n for n in os.listdir(logs) if n.endswith(".csv")]:
                        break
                    time.sleep(0.1)
                # A signal just before a write begins finds nothing to interrupt: sent again.
                for _ in range(60):
                    process.send_signal(signal.SIGTERM)
                    try:
                        process.wait(1)
                        break
                    except subprocess.TimeoutExpired:
                        pass
            finally:
                if process.poll() is None:
                    process.kill()
                    process.wait()
        finally:
            os.close(reader)
            os.close(writer)
        self.assertEqual(process.returncode, 0)
        self.assertTrue(self.log_line(self.saved_log(), "P1499").endswith("OK"))


def load_tests(loader, tests, pattern):
    return loader.loadTestsFromNames(
        [n for n in vars(HostileStartTest) if n.startswith("test_")], HostileStartTest)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
