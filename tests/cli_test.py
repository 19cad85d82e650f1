#!/usr/bin/env python3
"""flowsentry-cli end to end: its counts against an independent reader of the same capture files, its
output formats, damaged files, usage errors and (as root) a live capture ended by Ctrl+C.

    cli_test.py PATH/TO/flowsentry-cli PATH/TO/flowsentry-gen
"""
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

CLI = GEN = ""
HEADINGS = ["Src Address", "Dest Address", "Send Data", "Rcv Data", "Total Data", "Send Packets",
            "Rcv Packets", "Total Packets", "Date / Time", "Proto"]
LINK_HEADER = {1: 14, 113: 16, 276: 20, 101: 0, 0: 4, 108: 4}  # DLT number -> header length


def read_capture(path):
    """Yields (link type, captured bytes, wire length, seconds) for each record; stops quietly at damage."""
    with open(path, "rb") as f:
        data = f.read()
    magic = data[:4]
    if magic in (b"\xd4\xc3\xb2\xa1", b"\xa1\xb2\xc3\xd4"):
        e = "<" if magic == b"\xd4\xc3\xb2\xa1" else ">"
        link = struct.unpack(e + "I", data[20:24])[0] & 0xFFFF
        at = 24
        while at + 16 <= len(data):
            sec, _usec, cap, length = struct.unpack(e + "IIII", data[at:at + 16])
            if at + 16 + cap > len(data) or length == 0 or cap > 262144:
                return
            yield link, data[at + 16:at + 16 + cap], length, sec
            at += 16 + cap
    elif magic == b"\x0a\x0d\x0d\x0a":
        at, links = 0, []
        while at + 12 <= len(data):
            kind, size = struct.unpack("<II", data[at:at + 8])
            body = data[at + 8:at + size - 4]
            if kind == 1:
                links.append(struct.unpack("<H", body[:2])[0])
            elif kind == 6:
                iface, hi, lo, cap, length = struct.unpack("<IIIII", body[:20])
                yield links[iface], body[20:20 + cap], length, ((hi << 32) | lo) // 1000000
            at += size


def expected_rows(path, local=None):
    """Entries in creation order: [src, dst, proto, send bytes, rcv bytes, send pkts, rcv pkts, last time]."""
    entries, order = {}, []
    for link, frame, length, sec in read_capture(path):
        head = LINK_HEADER[link]
        ip = frame[head:]
        if link == 1 and frame[12:14] != b"\x08\x00":
            continue
        if len(ip) < 20 or ip[0] >> 4 != 4:
            continue
        size = length - head
        total = struct.unpack("!H", ip[2:4])[0]
        if link == 1 and size <= 46 and 20 <= total < size:  # Ethernet padding
            size = total
        src, dst, proto = socket.inet_ntoa(ip[12:16]), socket.inet_ntoa(ip[16:20]), ip[9]
        key = (min(src, dst), max(src, dst), proto)
        if key not in entries:
            if local is not None and dst == local:
                src, dst = dst, src
                row = [src, dst, proto, 0, size, 0, 1, sec]
            else:
                row = [src, dst, proto, size, 0, 1, 0, sec]
            entries[key] = row
            order.append(row)
            continue
        row = entries[key]
        if row[0] == src and row[1] == dst:
            row[3] += size
            row[5] += 1
        else:
            row[4] += size
            row[6] += 1
        row[7] = sec
    return order


def proto_text(p):
    return {6: "TCP", 17: "UDP", 1: "ICMP"}.get(p, "Proto:%d" % p)


def cells(row):
    src, dst, proto, sd, rd, sp, rp, sec = row
    return [src, dst, str(sd), str(rd), str(sd + rd), str(sp), str(rp), str(sp + rp),
            time.strftime("%H:%M:%S %m/%d/%Y", time.gmtime(sec)), proto_text(proto)]


def run(*args, **kw):
    env = dict(os.environ, TZ="UTC")
    return subprocess.run([CLI, *args], capture_output=True, env=env, timeout=120, **kw)


class Counts(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def generate(self, name, *args):
        path = os.path.join(self.dir.name, name)
        subprocess.run([GEN, "--out", path, *args], check=True)
        return path

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

    def test_formats_carry_the_same_rows(self):
        path = self.generate("f.pcap", "--packets", "2000", "--flows", "12", "--protos", "6,17,1,0")
        rows = [cells(r) for r in reversed(expected_rows(path, "10.250.0.1"))]
        text = run("--read", path, "--local", "10.250.0.1", "--format", "text")
        self.assertEqual(text.returncode, 0)
        self.assertEqual(text.stdout, "".join("".join(c + "\t" for c in r) + "\r" for r in rows).encode())
        js = json.loads(run("--read", path, "--local", "10.250.0.1", "--format", "json").stdout)
        self.assertEqual([[str(o[h]) for h in HEADINGS] for o in js], rows)
        self.assertIsInstance(js[0]["Send Data"], int)
        table = run("--read", path, "--local", "10.250.0.1").stdout.decode().splitlines()
        self.assertEqual(table[0].split(), " ".join(HEADINGS).split())
        self.assertEqual([line.split() for line in table[1:]], [[*r[:8], *r[8].split(), r[9]] for r in rows])
        stats = run("--read", path, "--stats", "--format", "csv").stderr.decode()
        self.assertIn("packets seen: 2000, counted: 2000", stats)

    def test_empty_capture_prints_headings_only(self):
        path = self.generate("empty.pcap", "--packets", "0", "--flows", "1")
        out = run("--read", path, "--format", "csv")
        self.assertEqual((out.returncode, out.stdout.decode()), (0, ",".join(HEADINGS) + "\n"))
        self.assertEqual(run("--read", path, "--format", "json").stdout, b"[]\n")


class BadInput(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.good = os.path.join(self.dir.name, "good.pcap")
        subprocess.run([GEN, "--out", self.good, "--packets", "50", "--flows", "5", "--min-size", "100",
                        "--max-size", "100"], check=True)
        with open(self.good, "rb") as f:
            self.bytes = f.read()

    def tearDown(self):
        self.dir.cleanup()

    def test_damaged_files(self):
        record = 16 + 114
        def patched(offset, value):
            b = bytearray(self.bytes)
            b[offset:offset + len(value)] = value
            return bytes(b)
        cases = [
            ("truncated record", self.bytes[:24 + 20 * record + 50], "damaged after 20 packets", 20),
            ("corrupt header", patched(0, b"\x00\x11\x22\x33"), "not a pcap or pcapng capture file", None),
            ("header cut", self.bytes[:12], "", None),
            ("zero-length record", patched(24 + 30 * record + 8, struct.pack("<II", 0, 0)),
             "damaged after 30 packets", 30),
            ("huge record", patched(24 + 7 * record + 8, struct.pack("<II", 0x7FFFFFFF, 0x7FFFFFFF)),
             "damaged after 7 packets", 7),
            ("unknown link type", patched(20, struct.pack("<I", 147)), "is not supported", None),
            ("not a capture", b"hello, this is text\n" * 10, "not a pcap or pcapng capture file", None),
            ("empty file", b"", "", None),
        ]
        for name, content, reason, intact in cases:
            with self.subTest(name):
                path = os.path.join(self.dir.name, name.replace(" ", "-") + ".pcap")
                with open(path, "wb") as f:
                    f.write(content)
                out = run("--read", path, "--format", "csv")
                self.assertEqual(out.returncode, 1)
                err = out.stderr.decode().splitlines()
                self.assertEqual(len(err), 1, err)
                self.assertIn(path, err[0])
                self.assertIn(reason, err[0])
                if intact is None:
                    self.assertEqual(out.stdout, b"")
                else:
                    want = [",".join(cells(r)) for r in reversed(expected_rows(path))]
                    self.assertEqual(out.stdout.decode().splitlines()[1:], want)
                    self.assertEqual(sum(int(line.split(",")[7]) for line in want), intact)

    def test_missing_file(self):
        out = run("--read", "/nonexistent/x.pcap")
        self.assertEqual(out.returncode, 1)
        self.assertEqual(out.stderr.decode(), "flowsentry-cli: /nonexistent/x.pcap: No such file or directory\n")

    def test_usage_errors(self):
        for args in ([], ["--read"], ["--read", self.good, "--format", "xml"], ["--interval", "-1", "--read", "x"],
                     ["--address", "10.0.0.1", "--local", "10.0.0.1"], ["--address", "10.0.0.300"],
                     ["--read", self.good, "--address", "127.0.0.1"], ["--bogus"], ["--duration", "abc"]):
            with self.subTest(args=args):
                out = run(*args)
                self.assertEqual(out.returncode, 2, out.stderr)
                self.assertIn(b"--help", out.stderr)

    def test_unknown_address_lists_the_addresses(self):
        out = run("--address", "192.0.2.77")
        self.assertEqual(out.returncode, 1)
        err = out.stderr.decode()
        self.assertIn("192.0.2.77 is not an address of this machine", err)
        self.assertIn("127.0.0.1\tlo", err)
        listed = run("--list-addresses")
        self.assertEqual(listed.returncode, 0)
        self.assertIn(b"127.0.0.1\tlo\n", listed.stdout)
        self.assertIn(listed.stdout.decode(), err)

    def test_help(self):
        out = run("--help")
        self.assertEqual(out.returncode, 0)
        self.assertIn(b"--read FILE", out.stdout)


@unittest.skipUnless(os.geteuid() == 0, "the live capture test makes a network namespace and needs root")
class Live(unittest.TestCase):
    def test_ctrl_c_prints_the_final_table(self):
        ns = "fs-cli-test-%d" % os.getpid()
        subprocess.run(["ip", "netns", "add", ns], check=True)
        try:
            subprocess.run(["ip", "-n", ns, "link", "set", "lo", "up"], check=True)
            env = dict(os.environ, TZ="UTC")
            cli = subprocess.Popen(["ip", "netns", "exec", ns, CLI, "--address", "127.0.0.1", "--format", "csv",
                                    "--stats"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
            # Loopback only, inside the namespace: a receiver, then 5 datagrams of 100 bytes each, repeated
            # until the capture has surely started (the first batch may go out before it opens).
            sender = ("import socket,time\n"
                      "r=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);r.bind(('127.0.0.1',5555))\n"
                      "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                      "time.sleep(0.5)\n"
                      "for i in range(5): s.sendto(b'x'*100,('127.0.0.1',5555))\n"
                      "time.sleep(0.2)\n")
            subprocess.run(["ip", "netns", "exec", ns, "python3", "-c", sender], check=True)
            cli.send_signal(signal.SIGINT)
            out, err = cli.communicate(timeout=10)
            self.assertEqual(cli.returncode, 0, err)
            lines = out.decode().splitlines()
            self.assertEqual(lines[0], ",".join(HEADINGS))
            self.assertEqual(len(lines), 2, out)
            row = lines[1].split(",")
            self.assertEqual(row[:2], ["127.0.0.1", "127.0.0.1"])
            # 5 x (20 + 8 + 100); how an address's traffic to itself splits into sent and received is the
            # table's rule, tested there.
            self.assertEqual((row[4], row[7], row[9]), ("640", "5", "UDP"))
            self.assertIn("dropped by the kernel: 0", err.decode())
        finally:
            subprocess.run(["ip", "netns", "del", ns])


if __name__ == "__main__":
    CLI, GEN = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
