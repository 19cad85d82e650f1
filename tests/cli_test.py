#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""flowsentry-cli end to end: its counts against an independent reader of the same capture files, its
output formats, usage errors and (as root) a live capture ended by Ctrl+C.

    cli_test.py PATH/TO/flowsentry-cli PATH/TO/flowsentry-gen
"""
import array
import contextlib
import csv
import fcntl
import io
import json
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

from cli_util import (HEADINGS, Tools, cells, expected_rows, generate, namespace_pair, read_capture, run,
                      text_time_as_iso)

class Counts(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def generate(self, name, *args):
        return generate(os.path.join(self.dir.name, name), *args)

    def test_csv_agrees_flow_by_flow(self):
        cases = [
            ("ethernet.pcap", ["--packets", "20000", "--flows", "60", "--min-size", "20", "--max-size", "1500"], None),
            ("ethernet-local.pcap", ["--packets", "5000", "--flows", "9", "--seed", "3"], "10.250.0.1"),
            ("sll.pcapng", ["--pcapng", "--link", "sll", "--packets", "3000", "--flows", "7", "--protos", "6,47"],
             "10.250.0.1"),
            ("sll2.pcap", ["--link", "sll2", "--packets", "3000", "--flows", "5"], None),
            ("raw-snap.pcap", ["--link", "raw", "--snaplen", "40", "--packets", "3000", "--flows", "11"], None),
            ("null.pcapng", ["--pcapng", "--link", "null", "--packets", "2000", "--flows", "4"], None),
            ("loop.pcap", ["--link", "loop", "--packets", "2000", "--flows", "4", "--local", "10.250.0.3"],
             "10.250.0.4"),
            # One packet a second: rows whose last packets lie thousands of seconds apart, more than the
            # writer keeps date texts for, so that texts made for one second never stand for another.
            ("slow.pcap", ["--packets", "5000", "--flows", "3000", "--rate", "1"], None),
            # pcap's seconds are unsigned: 2096, not 1960.
            ("after-2038.pcap", ["--packets", "2000", "--flows", "9", "--start", "4000000000", "--rate", "3"], None),
            # Interfaces of different link types and snapshot lengths, one of a type nobody reads; its
            # packets are counted as not IPv4, the others' as they come.
            ("interfaces.pcapng", ["--pcapng", "--link", "ethernet,raw,sll2,null,147", "--snaplen", "65535,40,128",
                                   "--packets", "6000", "--flows", "41", "--min-size", "20"], "10.250.0.1"),
            # IPv6: oriented toward an IPv6 local address; hop-by-hop headers on every third flow, some cut by
            # the snapshot length; both families through interfaces of every link type.
            ("ipv6-local.pcap", ["--family", "6", "--protos", "6,17,58", "--packets", "4000", "--flows", "30",
                                 "--min-size", "20"], "fd00:f5::1"),
            ("ipv6-snap.pcap", ["--family", "6", "--link", "raw", "--snaplen", "44", "--packets", "2000",
                                "--flows", "12"], None),
            ("mixed.pcapng", ["--pcapng", "--family", "mixed", "--link", "ethernet,raw,sll,sll2,null,loop",
                              "--snaplen", "65535,40,128,48", "--packets", "6000", "--flows", "41", "--min-size",
                              "20", "--protos", "6,17"], "fd00:f5::1"),
            # Big-endian, nanosecond timestamps after 2038.
            ("nanoseconds.pcapng", ["--pcapng", "--big-endian", "--tsresol", "9", "--link", "sll,loop",
                                    "--start", "3000000000", "--rate", "7", "--packets", "3000", "--flows", "12"],
             None),
        ]
        for name, gen_args, local in cases:
            with self.subTest(name):
                path = self.generate(name, *gen_args)
                args = ["--read", path, "--format", "csv"] + (["--local", local] if local else [])
                out = run(*args)
                self.assertEqual(out.returncode, 0, out.stderr)
                lines = out.stdout.decode().splitlines()
                self.assertEqual(lines[0], ",".join(HEADINGS))
                want = [",".join(cells(r)) for r in reversed(expected_rows(path, local))]
                self.assertEqual(lines[1:], want)

    def test_the_same_traffic_in_every_link_type_gives_the_same_rows(self):
        outputs = {}
        for link in ["ethernet", "raw", "sll", "sll2", "null", "loop"]:
            path = self.generate(link + ".pcap", "--link", link, "--family", "mixed", "--protos", "6,17",
                                 "--packets", "3000", "--flows", "20", "--min-size", "20", "--seed", "5")
            out = run("--read", path, "--format", "csv", "--local", "fd00:f5::1")
            self.assertEqual(out.returncode, 0, out.stderr)
            outputs[link] = out.stdout.decode()
        self.assertIn("fd00:f5::1,fd00:f5::2,", outputs["ethernet"])
        self.assertIn("10.250.0.1,10.250.0.2,", outputs["ethernet"])
        for link, text in outputs.items():
            self.assertEqual(text, outputs["ethernet"], link)

    def test_formats_carry_the_same_rows(self):
        # Both families: IPv6 rows in every format like IPv4 ones.
        path = self.generate("f.pcap", "--packets", "2000", "--flows", "12", "--protos", "6,17,1,0", "--family",
                             "mixed")
        rows = [cells(r) for r in reversed(expected_rows(path, "10.250.0.1"))]
        text_rows = [cells(r, text=True) for r in reversed(expected_rows(path, "10.250.0.1"))]
        text = run("--read", path, "--local", "10.250.0.1", "--format", "text")
        self.assertEqual(text.returncode, 0)
        self.assertEqual(text.stdout, "".join("".join(c + "\t" for c in r) + "\r" for r in text_rows).encode())
        js = json.loads(run("--read", path, "--local", "10.250.0.1", "--format", "json").stdout)
        self.assertEqual([[str(o[h]) for h in HEADINGS] for o in js], rows)
        self.assertIsInstance(js[0]["Send Data"], int)
        table = run("--read", path, "--local", "10.250.0.1").stdout.decode().splitlines()
        self.assertEqual(table[0].split(), " ".join(HEADINGS).split())
        self.assertEqual([line.split() for line in table[1:]], [[*r[:8], *r[8].split(), r[9]] for r in text_rows])
        stats = run("--read", path, "--stats", "--format", "csv").stderr.decode()
        self.assertIn("packets seen: 2000, counted: 2000", stats)

    def test_pcapng_sections_and_pipes(self):
        # Two captures joined with cat (a second section header, in the other byte order, with interfaces of
        # its own), read from a file and from a pipe, which cannot seek back to the bytes that told the format.
        first = self.generate("first.pcapng", "--pcapng", "--link", "ethernet,raw", "--snaplen", "128,65535",
                              "--packets", "3000", "--flows", "17")
        second = self.generate("second.pcapng", "--pcapng", "--big-endian", "--link", "sll,ethernet,147",
                               "--tsresol", "9", "--start", "1800000000", "--packets", "2000", "--flows", "23",
                               "--seed", "5", "--remote", "10.250.9.1")
        joined = os.path.join(self.dir.name, "joined.pcapng")
        with open(joined, "wb") as out:
            for part in (first, second):
                with open(part, "rb") as f:
                    out.write(f.read())
        # The unread type's packets (flows 2, 5, 8, ... of the second file).
        foreign = sum(1 for link, _f, _l, _s in read_capture(joined) if link == 147)
        self.assertGreater(foreign, 0)
        pcap = self.generate("piped.pcap", "--packets", "3000", "--flows", "31", "--start", "4000000000")
        for path in (joined, pcap):
            want = [",".join(HEADINGS)] + [",".join(cells(r)) for r in reversed(expected_rows(path))]
            with open(path, "rb") as f:
                data = f.read()
            for how, out in (("file", run("--read", path, "--format", "csv", "--stats")),
                             ("pipe", run("--read", "-", "--format", "csv", "--stats", input=data))):
                with self.subTest(os.path.basename(path), read=how):
                    self.assertEqual(out.returncode, 0, out.stderr)
                    self.assertEqual(out.stdout.decode().splitlines(), want)
                    seen = 5000 if path == joined else 3000
                    not_ipv4 = foreign if path == joined else 0
                    self.assertIn("packets seen: %d, counted: %d," % (seen, seen - not_ipv4), out.stderr.decode())
                    self.assertIn("not IP: %d," % not_ipv4, out.stderr.decode())

    def test_records_with_nothing_captured_are_skipped(self):
        # Other readers skip them; they are counted as too short, and the rest of the file is read.
        path = self.generate("plain.pcap", "--packets", "300", "--flows", "7")
        with open(path, "rb") as f:
            data = f.read()
        records, at = [], 24
        while at < len(data):
            cap = struct.unpack("<I", data[at + 8:at + 12])[0]
            records.append(data[at:at + 16 + cap])
            at += 16 + cap
        empty = [struct.pack("<IIII", 1700000000, 0, 0, length) for length in (0, 60)]
        holed = os.path.join(self.dir.name, "holed.pcap")
        with open(holed, "wb") as f:
            f.write(data[:24] + b"".join(records[:100]) + empty[0] + b"".join(records[100:200]) + empty[1] +
                    b"".join(records[200:]))
        out = run("--read", holed, "--format", "csv", "--stats")
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout, run("--read", path, "--format", "csv").stdout)
        self.assertIn("packets seen: 302, counted: 300,", out.stderr.decode())
        self.assertIn("too short: 2,", out.stderr.decode())

    def test_a_bounded_table_counts_further_pairs_in_other_rows(self):
        path = self.generate("many.pcap", "--packets", "3000", "--flows", "40", "--family", "mixed", "--protos",
                             "6,17,1")

        def rows(out):
            self.assertEqual(out.returncode, 0, out.stderr)
            return [line.split("\t")[:-1] for line in out.stdout.decode().split("\r")[:-1]]

        def totals(rows):  # bytes and packets per protocol
            sums = {}
            for r in rows:
                data, packets = sums.get(r[9], (0, 0))
                sums[r[9]] = (data + int(r[4]), packets + int(r[7]))
            return sums

        whole = rows(run("--read", path, "--format", "text", "--stats"))
        bounded_run = run("--read", path, "--format", "text", "--stats", "--max-entries", "2")
        bounded = rows(bounded_run)
        other = [r for r in bounded if r[:2] == ["other", "other"]]
        self.assertEqual(sorted(r[9] for r in other), ["ICMP", "TCP", "UDP"])
        # The first two pairs keep their own rows, as unbounded; every byte and packet is in some row.
        self.assertEqual([r for r in bounded if r not in other], whole[-2:])
        self.assertEqual(totals(bounded), totals(whole))
        overflow = sum(int(r[7]) for r in other)  # from a file, one packet a datagram
        self.assertIn(", counted in \"other\" rows: %d\n" % overflow, bounded_run.stderr.decode())
        self.assertIn(b", counted in \"other\" rows: 0\n", run("--read", path, "--stats").stderr)
        # Every other format names them the same way.
        bounded = [r[:8] + [text_time_as_iso(r[8])] + r[9:] for r in bounded]
        csv = run("--read", path, "--format", "csv", "--max-entries", "2").stdout.decode().splitlines()
        self.assertEqual([line.split(",") for line in csv[1:]], bounded)
        js = json.loads(run("--read", path, "--format", "json", "--max-entries", "2").stdout)
        self.assertEqual([[str(o[h]) for h in HEADINGS] for o in js], bounded)
        table = run("--read", path, "--max-entries", "2").stdout.decode().splitlines()
        self.assertEqual(sum(line.startswith("other ") for line in table), 3)

    def test_empty_capture_prints_headings_only(self):
        path = self.generate("empty.pcap", "--packets", "0", "--flows", "1")
        out = run("--read", path, "--format", "csv")
        self.assertEqual((out.returncode, out.stdout.decode()), (0, ",".join(HEADINGS) + "\n"))
        self.assertEqual(run("--read", path, "--format", "json").stdout, b"[]\n")


def hosts_name(address):
    """The first name /etc/hosts gives `address`, when the system looks there before DNS; else None."""
    try:
        with open("/etc/nsswitch.conf") as f:
            for line in f:
                if line.startswith("hosts:"):
                    sources = line.split()[1:]
                    if "files" not in sources or ("dns" in sources and sources.index("dns") < sources.index("files")):
                        return None
        with open("/etc/hosts") as f:
            for line in f:
                words = line.split("#")[0].split()
                if len(words) >= 2 and words[0] == address:
                    return words[1]
    except OSError:
        return None
    return None


class Resolve(unittest.TestCase):
    """--resolve on loopback only: 127.0.0.1 is named by /etc/hosts, so no DNS server is asked."""
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.capture = generate(os.path.join(self.dir.name, "lo.pcap"), "--packets", "20", "--flows", "2",
                                "--local", "127.0.0.1", "--remote", "127.0.0.1", "--link", "raw")

    def tearDown(self):
        self.dir.cleanup()

    def test_the_table_shows_the_hosts_names_and_text_keeps_numbers(self):
        name = hosts_name("127.0.0.1")
        if name is None:
            self.skipTest("/etc/hosts names no 127.0.0.1 ahead of DNS; a test must not need a DNS server")
        plain = run("--read", self.capture)
        named = run("--read", self.capture, "--resolve")
        self.assertEqual(named.returncode, 0, named.stderr)
        plain_lines = plain.stdout.decode().splitlines()
        named_lines = named.stdout.decode().splitlines()
        self.assertEqual(len(named_lines), 3)
        for plain_line, named_line in zip(plain_lines[1:], named_lines[1:]):
            self.assertEqual(named_line.split()[:2], [name, name])
            self.assertEqual(named_line.split()[2:], plain_line.split()[2:])
        # csv and json keep the numbers and add the names after every other column.
        for fmt in ("csv", "json"):
            plain = run("--read", self.capture, "--format", fmt).stdout.decode()
            named = run("--read", self.capture, "--resolve", "--format", fmt).stdout.decode()
            if fmt == "csv":
                plain_rows = list(csv.DictReader(io.StringIO(plain)))
                named_rows = list(csv.DictReader(io.StringIO(named)))
            else:
                plain_rows, named_rows = json.loads(plain), json.loads(named)
            self.assertEqual(len(named_rows), 2)
            for plain_row, named_row in zip(plain_rows, named_rows):
                self.assertEqual((named_row.pop("Source Name"), named_row.pop("Destination Name")), (name, name))
                self.assertEqual(named_row, plain_row)
        # text is the window's Save As: numbers only, so --resolve does not go with it.
        out = run("--read", self.capture, "--resolve", "--format", "text")
        self.assertEqual(out.returncode, 2, out.stderr)
        self.assertIn(b"--resolve", out.stderr)


class Usage(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.good = os.path.join(self.dir.name, "good.pcap")
        generate(self.good, "--packets", "50", "--flows", "5")

    def tearDown(self):
        self.dir.cleanup()

    def test_usage_errors(self):
        for args in ([], ["--read"], ["--read", self.good, "--format", "xml"], ["--interval", "-1", "--read", "x"],
                     ["--address", "10.0.0.1", "--local", "10.0.0.1"], ["--address", "10.0.0.300"],
                     ["--read", self.good, "--address", "127.0.0.1"], ["--bogus"], ["--duration", "abc"],
                     *(["--read", self.good, "--max-entries", n] for n in ("0", "-3", "abc", "1.5", "1e6", "", " 7",
                                                                          "99999999999999999999999")),
                     ["--read", self.good, "--max-entries"]):
            with self.subTest(args=args):
                out = run(*args)
                self.assertEqual(out.returncode, 2, out.stderr)
                self.assertIn(b"--help", out.stderr)

    def test_unknown_address_lists_the_addresses(self):
        out = run("--address", "192.0.2.77")
        self.assertEqual(out.returncode, 1)
        err = out.stderr.decode()
        self.assertIn("flowsentry-cli: 192.0.2.77: not an address of this machine\nIts addresses are:\n", err)
        self.assertIn("127.0.0.1\tlo", err)
        listed = run("--list-addresses")
        self.assertEqual(listed.returncode, 0)
        self.assertIn(b"127.0.0.1\tlo\n", listed.stdout)
        self.assertIn(listed.stdout.decode(), err)

    @unittest.skipUnless(shutil.which("strace"), "needs strace to make getifaddrs fail")
    def test_a_failed_address_lookup_is_reported_as_such(self):
        # LeakSanitizer cannot run under ptrace: it would abort the traced program at its end.
        out = run("--address", "127.0.0.1", prefix=["strace", "-f", "-o", "/dev/null",
                                                     "-E", "ASAN_OPTIONS=detect_leaks=0",
                                                     "-e", "inject=socket:error=EMFILE"])
        self.assertEqual(out.returncode, 1, out.stderr)
        self.assertEqual(out.stderr,
                         b"flowsentry-cli: 127.0.0.1: cannot list the machine's addresses: Too many open files\n")

    def test_output_that_cannot_be_written_fails(self):
        with open("/dev/full", "wb") as full:
            out = subprocess.run([Tools.cli, "--read", self.good, "--format", "csv"], stdout=full,
                                 stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(out.returncode, 1, out.stderr)
        self.assertIn(b"cannot write the output: No space left on device", out.stderr)

    def test_help(self):
        out = run("--help")
        self.assertEqual(out.returncode, 0)
        self.assertIn(b"--read FILE", out.stdout)

    def test_help_and_addresses_that_cannot_be_written_fail(self):
        for args in (["--help"], ["--list-addresses"]):
            with self.subTest(args=args), open("/dev/full", "wb") as full:
                out = subprocess.run([Tools.cli, *args], stdout=full, stderr=subprocess.PIPE, timeout=120)
                self.assertEqual(out.returncode, 1, out.stderr)
                self.assertIn(b"cannot write the output: No space left on device", out.stderr)

    def test_closed_output_pipe(self):
        reader, writer = os.pipe()
        os.close(reader)
        try:
            # As for other tools: SIGPIPE ends the program without a word...
            out = subprocess.run([Tools.cli, "--read", self.good], stdout=writer, stderr=subprocess.PIPE,
                                 timeout=120)
            self.assertEqual((out.returncode, out.stderr), (-signal.SIGPIPE, b""))
            # ...and where SIGPIPE is ignored, the failed write is reported.
            out = subprocess.run([Tools.cli, "--help"], stdout=writer, stderr=subprocess.PIPE, timeout=120,
                                 restore_signals=False)
            self.assertEqual(out.returncode, 1, out.stderr)
            self.assertIn(b"cannot write the output: Broken pipe", out.stderr)
        finally:
            os.close(writer)

    def test_read_from_standard_input(self):
        with open(self.good, "rb") as stdin:
            out = run("--read", "-", "--format", "csv", stdin=stdin)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stdout, run("--read", self.good, "--format", "csv").stdout)
        self.assertEqual(len(out.stdout.decode().splitlines()), 1 + len(expected_rows(self.good)))

    def test_ctrl_c_during_a_read_prints_the_counts_and_exits_130(self):
        fifo = os.path.join(self.dir.name, "fifo")
        os.mkfifo(fifo)
        cli = subprocess.Popen([Tools.cli, "--read", fifo, "--format", "csv"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
        with open(self.good, "rb") as f:
            data = f.read()
        # The writer stays open, so the read waits for more until Ctrl+C.
        with open(fifo, "wb", buffering=0) as writer:
            writer.write(data)
            pending = array.array("i", [1])
            while pending[0] > 0:
                fcntl.ioctl(writer, termios.FIONREAD, pending)
                time.sleep(0.01)
            time.sleep(0.3)  # the datagrams already taken from the pipe are counted meanwhile
            cli.send_signal(signal.SIGINT)
            out, err = cli.communicate(timeout=20)
        self.assertEqual(cli.returncode, 130, err)
        self.assertIn(b"interrupted", err)
        want = [",".join(HEADINGS)] + [",".join(cells(r)) for r in reversed(expected_rows(self.good))]
        self.assertEqual(out.decode().splitlines(), want)


@contextlib.contextmanager
def loopback_namespace(prefix):
    """A network namespace of this test's own with its loopback up, deleted afterwards."""
    ns = "%s-%d" % (prefix, os.getpid())
    subprocess.run(["ip", "netns", "add", ns], check=True)
    try:
        subprocess.run(["ip", "-n", ns, "link", "set", "lo", "up"], check=True)
        yield ns
    finally:
        subprocess.run(["ip", "netns", "del", ns])


@unittest.skipUnless(os.geteuid() == 0, "the live capture test makes a network namespace and needs root")
class Live(unittest.TestCase):
    def test_ctrl_c_prints_the_final_table_with_the_rates(self):
        with loopback_namespace("fs-cli-test") as ns:
            env = dict(os.environ, TZ="UTC")
            cli = subprocess.Popen(["ip", "netns", "exec", ns, Tools.cli, "--address", "127.0.0.1", "--format", "csv",
                                    "--stats"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
            # Loopback only, inside the namespace: a receiver, then 5 datagrams of 100 bytes each, repeated
            # until the capture has surely started (the first batch may go out before it opens).
            sender = ("import socket,time\n"
                      "r=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);r.bind(('127.0.0.1',5555))\n"
                      "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                      "time.sleep(0.5)\n"
                      "for i in range(5): s.sendto(b'x'*100,('127.0.0.1',5555))\n"
                      "time.sleep(3.5)\n")
            subprocess.run(["ip", "netns", "exec", ns, "python3", "-c", sender], check=True)
            cli.send_signal(signal.SIGINT)
            out, err = cli.communicate(timeout=10)
            self.assertEqual(cli.returncode, 0, err)
            lines = out.decode().splitlines()
            self.assertEqual(lines[0], ",".join(HEADINGS + ["Send Rate", "Rcv Rate", "Peak Rate"]))
            self.assertEqual(len(lines), 2, out)
            row = lines[1].split(",")
            self.assertEqual(row[:2], ["127.0.0.1", "127.0.0.1"])
            # 5 x (20 + 8 + 100); how an address's traffic to itself splits into sent and received is the
            # table's rule, tested there.
            self.assertEqual((row[4], row[7], row[9]), ("640", "5", "UDP"))
            # The 5 datagrams left within two whole seconds, counted in the seconds their packets were
            # stamped: the 2-second window held all of them once (640 / 2 bytes per second), and 3.5 seconds
            # later none.
            self.assertEqual(row[10:], ["0", "0", "320"])
            self.assertIn("dropped by the kernel: 0", err.decode())

    def test_a_huge_interval_still_ends_at_the_duration(self):
        # 1e10 seconds overflowed the clock's nanoseconds and the deadline was never reached.
        with loopback_namespace("fs-cli-interval") as ns:
            out = subprocess.run(["ip", "netns", "exec", ns, Tools.cli, "--address", "127.0.0.1", "--format", "csv",
                                  "--interval", "1e10", "--duration", "0.5"], capture_output=True, timeout=20)
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertEqual(out.stdout.decode().splitlines(), [",".join(HEADINGS + ["Send Rate", "Rcv Rate", "Peak Rate"])])

    def test_json_with_an_interval_is_one_document_a_line(self):
        with loopback_namespace("fs-cli-jsonl") as ns:
            cli = subprocess.Popen(["ip", "netns", "exec", ns, Tools.cli, "--address", "127.0.0.1", "--format", "json",
                                    "--interval", "0.4", "--duration", "3"], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=dict(os.environ, TZ="UTC"))
            # Loopback only, inside the namespace: once the capture has surely opened, a datagram every 50 ms
            # while the tables are printed.
            sender = ("import socket,time\n"
                      "r=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);r.bind(('127.0.0.1',5555))\n"
                      "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                      "time.sleep(0.6)\n"
                      "for i in range(30): s.sendto(b'x'*100,('127.0.0.1',5555)); time.sleep(0.05)\n")
            subprocess.run(["ip", "netns", "exec", ns, "python3", "-c", sender], check=True)
            out, err = cli.communicate(timeout=20)
            self.assertEqual(cli.returncode, 0, err)
            lines = out.decode().split("\n")
            self.assertEqual(lines[-1], "")  # every document ends its line
            tables = [json.loads(line) for line in lines[:-1]]
            # Some tables every 0.4 s, and the final one; no line is anything but a table.
            self.assertGreaterEqual(len(tables), 4, out)
            self.assertTrue(all(isinstance(t, list) for t in tables), out)
            last = tables[-1]
            self.assertEqual(len(last), 1, out)
            self.assertEqual(list(last[0]), HEADINGS + ["Send Rate", "Rcv Rate", "Peak Rate"])
            self.assertEqual((last[0]["Src Address"], last[0]["Proto"]), ("127.0.0.1", "UDP"))
            # The first datagrams may go out before the capture opens.
            self.assertGreaterEqual(last[0]["Total Packets"], 20, out)
            self.assertRegex(last[0]["Date / Time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+00:00$")

    def test_a_link_down_and_up_again_is_said_and_counting_goes_on(self):
        with namespace_pair("link") as (a, b, dev):
            cli = subprocess.Popen(["ip", "netns", "exec", a, Tools.cli, "--address", "10.250.0.1", "--format",
                                    "csv"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            err = b""

            def wait_for(text):
                nonlocal err
                deadline = time.monotonic() + 10
                while text not in err and time.monotonic() < deadline:
                    if select.select([cli.stderr], [], [], 0.1)[0]:
                        err += os.read(cli.stderr.fileno(), 4096)
                self.assertIn(text, err)

            # The capture is open once the helper has given up its capabilities.
            self.assertTrue(wait_until(lambda: helper_without_capabilities(cli.pid)), "the capture never opened")
            time.sleep(0.3)
            subprocess.run(["ip", "-n", a, "link", "set", dev, "down"], check=True)
            wait_for(b"the interface is down\n")
            subprocess.run(["ip", "-n", a, "link", "set", dev, "up"], check=True)
            wait_for(b"the interface is up again\n")
            # 5 datagrams of 100 bytes from the other end, once its link lets them out.
            sender = ("import socket,time\n"
                      "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);n=0\n"
                      "while n<5:\n"
                      "  try: s.sendto(b'x'*100,('10.250.0.1',5555));n+=1\n"
                      "  except OSError: time.sleep(0.01)\n"
                      "time.sleep(0.3)\n")
            subprocess.run(["ip", "netns", "exec", b, "python3", "-c", sender], check=True, timeout=20)
            cli.send_signal(signal.SIGINT)
            out, rest = cli.communicate(timeout=10)
            err += rest
            self.assertEqual(cli.returncode, 0, err)
            where = "flowsentry-cli: %s (10.250.0.1): " % dev
            lines = err.decode().splitlines()
            # A link taken up may lack a carrier for a moment before it is up.
            self.assertIn(lines, ([where + "the interface is down", where + "the interface is up again"],
                                  [where + "the interface is down", where + "the interface has no link (no carrier)",
                                   where + "the interface is up again"]))
            udp = [row for row in (line.split(",") for line in out.decode().splitlines()) if row[9] == "UDP"]
            self.assertEqual(len(udp), 1, out)
            self.assertEqual(udp[0][:2], ["10.250.0.1", "10.250.0.2"])
            self.assertEqual((udp[0][3], udp[0][6]), ("640", "5"))


def wait_until(condition, seconds=10):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def helper_without_capabilities(pid):
    """Whether a child of process `pid` (or of its child: `ip netns exec` may stay in between) holds no
    capability, as the capture helper does once its capture is open."""
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                for child in f.read().split():
                    with open("/proc/%s/status" % child) as status:
                        if "CapEff:\t0000000000000000" in status.read():
                            return True
                    if helper_without_capabilities(int(child)):
                        return True
    except OSError:
        pass
    return False


if __name__ == "__main__":
    Tools.cli, Tools.gen = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
