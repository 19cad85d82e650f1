#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The installed flowsentry-cli captures through the helper for the members of the group flowsentry, and
for root, and counts exactly; a user outside the group is told how to join it.

The build is installed as root into a temporary prefix. Datagrams of known sizes go from one network
namespace to the other over a veth pair (nothing leaves the namespaces), while the CLI watches the address
of the receiving side as a temporary test user.

    cli_group_test.py CMAKE BUILD_DIR
"""
import os
import signal
import subprocess
import sys
import threading
import time
import unittest

from privsep_util import ContextsTestCase, GROUP, LOCAL, PEER, Installation, Namespaces, TestUser, exit_cleanly_on_signals, \
    remove_stale_test_users, require_root, run

# Payload sizes: the first frame is shorter than Ethernet's minimum, so that padding must not be counted.
PAYLOADS = [1, 17, 100, 512, 1000, 1472, 64]
IP_UDP_HEADERS = 20 + 8
PORT = 40000 + os.getpid() % 20000
WAIT = 60  # seconds, for the capture to start and for the datagrams to show; generous for sanitizer builds


class Output:
    """Collects a pipe's text on a thread, so that a full pipe never stops the program under test."""

    def __init__(self, pipe):
        self.text = ""
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self._thread.start()

    def _read(self, pipe):
        for line in pipe:
            with self._lock:
                self.text += line

    def tables(self, finished=False):
        """The CSV tables printed so far, each a list of rows (a dict by heading), the last one last. While
        the program runs, a table is known to be whole once the blank line after it shows, which comes
        with the next table."""
        with self._lock:
            text = self.text
        blocks = text.split("\n\n")
        if not finished:
            blocks = blocks[:-1]
        tables = []
        for block in blocks:
            lines = [line for line in block.splitlines() if line]
            if lines:
                heading = lines[0].split(",")
                tables.append([dict(zip(heading, line.split(","))) for line in lines[1:]])
        return tables

    def join(self):
        self._thread.join(timeout=30)


def rows_of(table, proto):
    return [row for row in table if row.get("Proto") == proto and {row["Src Address"], row["Dest Address"]} ==
            {LOCAL, PEER}]


def udp_packets(table):
    return sum(int(row["Total Packets"]) for row in rows_of(table, "UDP"))


def cli_process(pid):
    """The flowsentry-cli process: `pid` itself, or the child runuser started and waits for."""
    with open("/proc/%d/comm" % pid) as comm:
        if comm.read().strip() == "flowsentry-cli":
            return pid
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[-1].split()
            with open("/proc/%s/comm" % entry) as comm:
                name = comm.read().strip()
        except (FileNotFoundError, ProcessLookupError):
            continue
        if int(fields[1]) == pid and name == "flowsentry-cli":
            return int(entry)
    raise AssertionError("no flowsentry-cli process under %d" % pid)


class CliThroughHelper(ContextsTestCase):
    cmake = build_dir = ""

    @classmethod
    def setUpClass(cls):
        remove_stale_test_users()
        Namespaces.remove_stale()
        cls.stack = []
        try:
            cls.install = cls.enter(Installation(cls.cmake, cls.build_dir))
            cls.member = cls.enter(TestUser("m", [GROUP]))
            cls.outsider = cls.enter(TestUser("o"))
            cls.ns = cls.enter(Namespaces())
        except BaseException:
            cls.tearDownClass()
            raise
        cls.cli = cls.install.path("bin/flowsentry-cli")
        cls.env = {"PATH": "/usr/bin:/bin", "HOME": "/", "TZ": "UTC", **cls.install.sanitizer_env()}

    def cli_command(self, user, *args):
        if user is None:
            return ["env", "-i", *("%s=%s" % kv for kv in self.env.items()), self.cli, *args]
        return user.command(self.env, self.cli, *args)

    def send(self, payloads):
        sender = ("import socket,sys\n"
                  "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                  "for n in map(int,sys.argv[1:]): s.sendto(b'x'*n,(%r,%d))\n" % (LOCAL, PORT))
        done = run(self.ns.exec(self.ns.b, sys.executable, "-c", sender, *map(str, payloads)))
        self.assertEqual(done.returncode, 0, done.stderr)

    def wait_for(self, cli, out, err, condition, what):
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline and cli.poll() is None:
            tables = out.tables()
            if tables and condition(tables[-1]):
                return
            time.sleep(0.1)
        self.fail("%s did not happen (the CLI %s); its output:\n%s\nits errors:\n%s" %
                  (what, "ended" if cli.poll() is not None else "still runs", out.text, err.text))

    def capture(self, user):
        """Counts PAYLOADS sent from PEER to LOCAL with the installed CLI run as `user` (None: root);
        the final table and what the CLI wrote on stderr."""
        # A receiver, so that no port-unreachable answers add to the traffic; it says how many arrived.
        receiver = subprocess.Popen(self.ns.exec(self.ns.a, sys.executable, "-c",
            "import signal,socket,sys\n"
            "n=0\n"
            "def done(*_):\n    print(n); sys.exit(0)\n"
            "signal.signal(signal.SIGTERM,done)\n"
            "r=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);r.bind((%r,%d))\n"
            "print('ready',flush=True)\n"
            "while True:\n    r.recv(65536); n+=1\n" % (LOCAL, PORT)),
            stdout=subprocess.PIPE, text=True)
        cli = None
        try:
            self.assertEqual(receiver.stdout.readline().strip(), "ready")
            cli = subprocess.Popen(self.ns.exec(self.ns.a, *self.cli_command(
                user, "--address", LOCAL, "--format", "csv", "--interval", "0.2", "--duration", "300")),
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            out, err = Output(cli.stdout), Output(cli.stderr)
            # The capture is open when a ping shows in a table; the datagrams go after that, so that none
            # is sent before the capture could see it.
            deadline = time.monotonic() + WAIT
            while cli.poll() is None and time.monotonic() < deadline:
                run(self.ns.exec(self.ns.b, "ping", "-c", "1", "-W", "1", LOCAL))
                time.sleep(0.3)
                tables = out.tables()
                if tables and rows_of(tables[-1], "ICMP"):
                    break
            self.wait_for(cli, out, err, lambda table: rows_of(table, "ICMP"), "a ping showing in the table")
            self.send(PAYLOADS)
            self.wait_for(cli, out, err, lambda table: udp_packets(table) >= len(PAYLOADS),
                          "the datagrams showing in the table")
            # A few more intervals, so that a count that goes on growing shows.
            time.sleep(0.5)
            os.kill(cli_process(cli.pid), signal.SIGINT)
            cli.wait(timeout=30)
            out.join()
            err.join()
        finally:
            if cli is not None and cli.poll() is None:
                try:
                    os.kill(cli_process(cli.pid), signal.SIGKILL)
                except (AssertionError, OSError):
                    pass
                cli.kill()
                cli.wait()
            receiver.terminate()
            received = receiver.communicate(timeout=30)[0].strip()
            if cli is not None:
                cli.stdout.close()
                cli.stderr.close()
        self.assertEqual(cli.returncode, 0, err.text)
        self.assertEqual(received, str(len(PAYLOADS)), "the receiver did not get every datagram")
        tables = out.tables(finished=True)
        self.assertTrue(tables, out.text)
        return tables[-1], err.text

    def check_counts(self, table):
        udp = rows_of(table, "UDP")
        self.assertEqual(len(udp), 1, table)
        row = udp[0]
        size = sum(IP_UDP_HEADERS + n for n in PAYLOADS)
        # The address watched comes first; everything was received from the peer.
        self.assertEqual((row["Src Address"], row["Dest Address"]), (LOCAL, PEER))
        self.assertEqual((row["Send Packets"], row["Rcv Packets"], row["Total Packets"]),
                         ("0", str(len(PAYLOADS)), str(len(PAYLOADS))))
        self.assertEqual((row["Send Data"], row["Rcv Data"], row["Total Data"]), ("0", str(size), str(size)))
        for other in table:
            self.assertEqual({other["Src Address"], other["Dest Address"]}, {LOCAL, PEER},
                             "traffic that was not sent: %s" % other)

    def test_member_of_the_group_counts_exactly(self):
        self.assertIn(GROUP, run(["id", "-nG", self.member.name]).stdout.split())
        table, _ = self.capture(self.member)
        self.check_counts(table)

    def test_root_counts_exactly_without_the_group(self):
        self.assertNotIn(GROUP, run(["id", "-nG", "root"]).stdout.split())
        table, _ = self.capture(None)
        self.check_counts(table)

    def test_user_outside_the_group_is_told_to_join_it(self):
        done = run(self.ns.exec(self.ns.a, *self.cli_command(
            self.outsider, "--address", LOCAL, "--format", "csv", "--duration", "3")), timeout=120)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("sudo usermod -aG flowsentry " + self.outsider.name, done.stderr)
        self.assertEqual(done.stdout, "", "a table was printed although nothing could be captured")


if __name__ == "__main__":
    require_root("makes test users and network namespaces and installs with file capabilities")
    exit_cleanly_on_signals()
    CliThroughHelper.cmake, CliThroughHelper.build_dir = sys.argv[1:3]
    unittest.main(argv=[sys.argv[0], "-v"])
