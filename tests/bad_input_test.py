#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""flowsentry-cli --read over damaged and unreadable capture files, one table: each must end with exit
status 1 (not a signal), one message on stderr that names the file and says what is wrong, and, where the
reader could go on up to the damage, the rows counted before it.

    bad_input_test.py PATH/TO/flowsentry-cli PATH/TO/flowsentry-gen
    bad_input_test.py PATH/TO/flowsentry-cli PATH/TO/flowsentry-gen --write-fuzz-corpus DIR
The second form writes the damaged files into the capture-file fuzz corpus instead of testing.
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from cli_util import Tools, cells, expected_rows, generate, run

PCAP_RECORD = 16 + 14 + 100  # record header, Ethernet header, 100-byte datagram


def patched(data, offset, value):
    b = bytearray(data)
    b[offset:offset + len(value)] = value
    return bytes(b)


def pcapng_blocks(data):
    """(offset, type) of each block of a well-formed little-endian pcapng file."""
    blocks, at = [], 0
    while at < len(data):
        kind, size = struct.unpack("<II", data[at:at + 8])
        blocks.append((at, kind))
        at += size
    return blocks


def damaged_files(pcap, pcapng):
    """(name, content, what the message says, packets counted before the damage or None) for each file."""
    packets = [at for at, kind in pcapng_blocks(pcapng) if kind == 6]
    idb = next(at for at, kind in pcapng_blocks(pcapng) if kind == 1)
    return [
        ("truncated-record.pcap", pcap[:24 + 20 * PCAP_RECORD + 50], "damaged after 20 packets", 20),
        ("truncated-record-header.pcap", pcap[:24 + 9 * PCAP_RECORD + 8], "damaged after 9 packets", 9),
        ("corrupt-magic.pcap", patched(pcap, 0, b"\x00\x11\x22\x33"), "not a pcap or pcapng capture file", None),
        ("corrupt-version.pcap", patched(pcap, 4, struct.pack("<HH", 9, 9)), "version", None),
        ("header-cut.pcap", pcap[:12], "not a pcap or pcapng capture file (it ends inside the file header)",
         None),
        # A record that says it holds nothing is skipped (counted as too short); its bytes are then read as
        # the next record's header, whose length libpcap refuses.
        ("zero-length-record.pcap", patched(pcap, 24 + 30 * PCAP_RECORD + 8, struct.pack("<II", 0, 0)),
         "libpcap cannot read the file after 31 packets: invalid packet capture length", 30),
        # Damaged, or a record longer than libpcap takes: it cannot tell, nor can we.
        ("huge-record.pcap", patched(pcap, 24 + 7 * PCAP_RECORD + 8, struct.pack("<II", 0x7FFFFFFF, 0x7FFFFFFF)),
         "libpcap cannot read the file after 7 packets: invalid packet capture length", 7),
        ("unsupported-link.pcap", patched(pcap, 20, struct.pack("<I", 147)), "its link type 147 is not supported",
         None),
        ("truncated-block.pcapng", pcapng[:packets[10] + 30], "damaged after 10 packets", 10),
        ("huge-block.pcapng", patched(pcapng, packets[5] + 4, struct.pack("<I", 0x7FFFFFF0)),
         "damaged after 5 packets", 5),
        ("short-block.pcapng", patched(pcapng, packets[5] + 4, struct.pack("<I", 8)), "damaged after 5 packets", 5),
        ("unknown-interface.pcapng", patched(pcapng, packets[3] + 8, struct.pack("<I", 5)),
         "damaged after 3 packets", 3),
        ("unsupported-link.pcapng", patched(pcapng, idb + 8, struct.pack("<H", 147)),
         "its link type 147 is not supported", None),
        ("not-a-capture.txt", b"hello, this is text\n" * 10, "not a pcap or pcapng capture file", None),
        ("random-bytes.bin", random.Random(7).randbytes(4096), "not a pcap or pcapng capture file", None),
        ("empty.pcap", b"", "the file is empty, not a pcap or pcapng capture file", None),
    ]


def good_files(directory):
    pcap = generate(os.path.join(directory, "good.pcap"), "--packets", "50", "--flows", "5", "--min-size", "100",
                    "--max-size", "100")
    pcapng = generate(os.path.join(directory, "good.pcapng"), "--pcapng", "--packets", "20", "--flows", "3",
                      "--min-size", "100", "--max-size", "100")
    with open(pcap, "rb") as a, open(pcapng, "rb") as b:
        return a.read(), b.read()


class BadInput(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        os.chmod(self.dir.name, 0o755)  # the unreadable file's row runs the CLI as another user

    def tearDown(self):
        self.dir.cleanup()

    def unreadable_file(self):
        """A file the CLI cannot read, and how to run the CLI so; None and why when that cannot be arranged."""
        path = os.path.join(self.dir.name, "unreadable.pcap")
        shutil.copy(os.path.join(self.dir.name, "good.pcap"), path)
        os.chmod(path, 0)
        if os.geteuid() != 0:
            return path, (), None
        # Permission bits do not stop root: read it as nobody instead.
        nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        if shutil.which("setpriv") is None:
            return path, (), "setpriv (util-linux) is missing, so root cannot run the CLI as another user"
        if subprocess.run([*nobody, "test", "-x", Tools.cli]).returncode != 0:
            return path, (), "user nobody cannot run %s (the build tree is not readable to it)" % Tools.cli
        return path, nobody, None

    def test_each_bad_file_fails_cleanly(self):
        pcap, pcapng = good_files(self.dir.name)
        cases = []
        for name, content, reason, intact in damaged_files(pcap, pcapng):
            path = os.path.join(self.dir.name, name)
            with open(path, "wb") as f:
                f.write(content)
            cases.append((name, path, reason, intact, (), None))
        directory = os.path.join(self.dir.name, "a-directory.pcap")
        os.mkdir(directory)
        cases.append(("directory", directory, "cannot be read: Is a directory", None, (), None))
        cases.append(("missing file", os.path.join(self.dir.name, "missing.pcap"), "No such file or directory",
                      None, (), None))
        unreadable, prefix, skip = self.unreadable_file()
        cases.append(("unreadable file", unreadable, "Permission denied", None, prefix, skip))

        for name, path, reason, intact, prefix, skip in cases:
            with self.subTest(name):
                if skip:
                    self.skipTest(skip)
                out = run("--read", path, "--format", "csv", prefix=prefix)
                self.assertGreaterEqual(out.returncode, 0, "killed by signal %d" % -out.returncode)
                self.assertEqual(out.returncode, 1, out.stderr)
                err = out.stderr.decode().splitlines()
                self.assertEqual(len(err), 1, err)
                self.assertTrue(err[0].startswith("flowsentry-cli: %s: " % path), err[0])
                self.assertIn(reason, err[0])
                if intact is None:
                    self.assertEqual(out.stdout, b"")
                else:
                    want = [",".join(cells(r)) for r in reversed(expected_rows(path))]
                    self.assertEqual(out.stdout.decode().splitlines()[1:], want)
                    self.assertEqual(sum(int(line.split(",")[7]) for line in want), intact)


def ipv6(next_header, rest, payload=None):
    src = bytes.fromhex("fd0000f5000000000000000000000002")
    dst = bytes.fromhex("fd0000f5000000000000000000000001")
    size = len(rest) if payload is None else payload
    return struct.pack("!IHBB", 0x60000000, size, next_header, 64) + src + dst + rest


def damaged_ipv6_file():
    """A raw-IP capture of damaged IPv6 datagrams: (frame, wire length) each."""
    udp = struct.pack("!HHHH", 53, 40000, 8, 0)
    records = [
        (ipv6(17, udp), 48),
        (ipv6(17, udp)[:30], 30),  # the header cut short
        (ipv6(17, udp, payload=1000), 48),  # a payload length larger than the frame
        # A hop-by-hop header of 40 bytes in a datagram of 56: the chain runs past the end.
        (ipv6(0, bytes([60, 4]) + bytes(14)), 56),
        # 200 empty destination options headers, each naming the next.
        (ipv6(60, bytes([60, 0, 1, 4, 0, 0, 0, 0]) * 200), 1640),
        (ipv6(0, b""), 200),  # cut by the snapshot length before its first extension header
        (ipv6(44, bytes([6, 0, 0x05, 0xc8, 0, 0, 0, 7]) + bytes(8)), 56),  # a later fragment
    ]
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101)
    for i, (frame, length) in enumerate(records):
        out += struct.pack("<IIII", 1700000000 + i, 0, len(frame), length) + frame
    return out


class DamagedIpv6(unittest.TestCase):
    def test_damaged_ipv6_datagrams_count_by_the_rules(self):
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "damaged-ipv6.pcap")
            with open(path, "wb") as f:
                f.write(damaged_ipv6_file())
            out = run("--read", path, "--format", "csv", "--local", "fd00:f5::1", "--stats")
            self.assertEqual(out.returncode, 0, out.stderr)
            want = [",".join(cells(r)) for r in reversed(expected_rows(path, "fd00:f5::1"))]
            self.assertEqual(out.stdout.decode().splitlines()[1:], want)
            self.assertEqual([line.split(",")[9] for line in want], ["TCP", "Proto:0", "Proto:60", "UDP"])
            self.assertIn("packets seen: 7, counted: 6, dropped by the kernel: n/a (file), not IP: 0, too short: 1",
                          out.stderr.decode())


def write_fuzz_corpus(directory):
    with tempfile.TemporaryDirectory() as scratch:
        for name, content, _reason, _intact in damaged_files(*good_files(scratch)):
            with open(os.path.join(directory, "bad-" + name), "wb") as f:
                f.write(content)
    with open(os.path.join(directory, "bad-ipv6-datagrams.pcap"), "wb") as f:
        f.write(damaged_ipv6_file())


if __name__ == "__main__":
    Tools.cli, Tools.gen = sys.argv[1], sys.argv[2]
    if sys.argv[3:4] == ["--write-fuzz-corpus"]:
        write_fuzz_corpus(sys.argv[4])
    else:
        unittest.main(argv=[sys.argv[0], "-v"])
