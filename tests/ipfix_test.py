# SPDX-License-Identifier: GPL-3.0-or-later
"""flowsentry-cli --ipfix against a real collector: nfcapd on loopback writes what it receives, nfdump reads
it back, and every uniflow must carry exactly the bytes and packets of the CLI's table, and nothing else."""
import csv
import io
import ipaddress
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from cli_util import Tools, generate, namespace_pair, run

PROTO_NUMBERS = {"TCP": 6, "UDP": 17, "ICMP": 1, "ICMPv6": 58}
HAVE_NFDUMP = shutil.which("nfcapd") and shutil.which("nfdump")


def free_port(kind=socket.SOCK_DGRAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def table_uniflows(csv_text):
    """(src, dst, proto) -> (packets, bytes) from the CLI's csv: the send counters one way, the receive
    counters the other; an "other" row is sent as 0.0.0.0."""
    flows = {}
    for row in csv.DictReader(io.StringIO(csv_text)):
        proto = row["Proto"]
        proto = PROTO_NUMBERS[proto] if proto in PROTO_NUMBERS else int(proto.split(":")[1])
        src = "0.0.0.0" if row["Src Address"] == "other" else row["Src Address"]
        dst = "0.0.0.0" if row["Dest Address"] == "other" else row["Dest Address"]
        for key, packets, octets in (((src, dst, proto), row["Send Packets"], row["Send Data"]),
                                     ((dst, src, proto), row["Rcv Packets"], row["Rcv Data"])):
            if int(packets):
                old = flows.get(key, (0, 0))
                flows[key] = (old[0] + int(packets), old[1] + int(octets))
    return flows


class Collector:
    """nfcapd on 127.0.0.1 writing into a folder of its own; stop() ends it (it writes its file then)."""

    def __init__(self, folder, prefix=(), host="127.0.0.1"):
        self.folder = folder
        self.port = free_port()  # in a namespace of its own, any port is free
        self.process = subprocess.Popen([*prefix, "nfcapd", "-w", folder, "-p", str(self.port), "-b", host],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.prefix = prefix
        # nfcapd says nothing when it is ready: its socket is looked for instead, since a datagram sent
        # before it is bound would be lost.
        if not self.wait_for(lambda queued: queued is not None):
            self.process.kill()
            raise RuntimeError("nfcapd did not start: " + self.process.communicate()[0].decode())

    def wait_for(self, condition, seconds=20):
        """Waits until condition(bytes waiting in nfcapd's socket, None while there is none) holds."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and self.process.poll() is None:
            out = subprocess.run([*self.prefix, "ss", "-Hunl", "sport = :%d" % self.port],
                                 capture_output=True, text=True).stdout.split()
            if condition(int(out[1]) if len(out) > 1 else None):
                return True
            time.sleep(0.05)
        return False

    def stop(self):
        if self.process.poll() is None:
            # The last datagrams leave the sender's queues, then nfcapd reads them: it writes what it read.
            time.sleep(0.3)
            self.wait_for(lambda queued: not queued)
            self.process.send_signal(signal.SIGTERM)
        self.process.communicate(timeout=30)

    def records(self, aggregate=True):
        """(src, dst, proto) -> (packets, bytes), or with aggregate=False the list of records."""
        fmt = "fmt:%sa,%da,%pr,%pkt,%byt,%ts,%te"
        args = ["nfdump", "-R", self.folder, "-q", "-N", "-6", "-o", fmt]
        if aggregate:
            args[1:1] = ["-A", "srcip,dstip,proto"]
        out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
        rows = []
        for line in out.splitlines():
            cells = [c.strip() for c in line.split(",")]
            if len(cells) == 7:
                rows.append(((cells[0], cells[1], int(cells[2])), (int(cells[3]), int(cells[4])), cells[5],
                             cells[6]))
        if not aggregate:
            return rows
        return {key: counts for key, counts, _, _ in rows}


@unittest.skipUnless(HAVE_NFDUMP, "needs nfcapd and nfdump (Debian package nfdump) as the collector")
class Export(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="flowsentry-ipfix-")
        self.capture = generate(os.path.join(self.tmp, "mixed.pcap"), "--packets", "30000", "--flows", "300",
                                "--family", "mixed", "--rate", "100", "--start", "1700000000",
                                "--local", "10.250.0.1")
        self.collectors = []

    def tearDown(self):
        for collector in self.collectors:
            if collector.process.poll() is None:
                collector.process.kill()
                collector.process.wait()
        shutil.rmtree(self.tmp)

    def collector(self):
        folder = os.path.join(self.tmp, "flows%d" % len(self.collectors))
        os.mkdir(folder)
        self.collectors.append(Collector(folder))
        return self.collectors[-1]

    def test_collector_totals_equal_the_table(self):
        """A file read at once (one record per uniflow, forced end), and the same file trickled through
        standard input so that the active and idle timeouts split rows along the capture's clock."""
        whole = self.collector()
        result = run("--read", self.capture, "--ipfix", "127.0.0.1:%d" % whole.port, "--format", "csv",
                     "--max-entries", "250")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, b"")
        expected = table_uniflows(result.stdout.decode())
        self.assertIn(("0.0.0.0", "0.0.0.0", 6), expected)  # the overflow rows go out too
        whole.stop()
        self.assertEqual(whole.records(), expected)

        trickled = self.collector()
        process = subprocess.Popen(
            [Tools.cli, "--read", "-", "--ipfix", "udp:127.0.0.1:%d" % trickled.port, "--format", "csv",
             "--active-timeout", "20", "--idle-timeout", "5", "--observation-domain", "7"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        with open(self.capture, "rb") as f:
            data = f.read()
        chunk = len(data) // 12 + 1
        for at in range(0, len(data), chunk):
            process.stdin.write(data[at:at + chunk])
            process.stdin.flush()
            time.sleep(0.4)  # more than the CLI's pull interval: each chunk's rows are looked at apart
        out, err = process.communicate(timeout=60)
        self.assertEqual(process.returncode, 0, err)
        trickled.stop()
        expected = table_uniflows(out.decode())
        self.assertEqual(trickled.records(), expected)
        # Split into deltas: more records than uniflows, and the deltas add up (checked above).
        self.assertGreater(len(trickled.records(aggregate=False)), len(expected) * 2)

    def test_unreachable_collector(self):
        """Nobody listens: said once on stderr, and the table and the exit status are those of the
        capture."""
        plain = run("--read", self.capture, "--format", "csv")
        self.assertEqual(plain.returncode, 0)
        for target in ("127.0.0.1:%d" % free_port(), "tcp:127.0.0.1:%d" % free_port(socket.SOCK_STREAM)):
            with self.subTest(target=target):
                result = run("--read", self.capture, "--ipfix", target, "--format", "csv")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, plain.stdout)
                self.assertEqual(result.stderr.count(b"cannot send flow records to"), 1, result.stderr)


def hosts_name_localhost():
    """Whether /etc/hosts names 127.0.0.1 localhost, so that looking the name up sends nothing anywhere."""
    try:
        with open("/etc/hosts") as f:
            return any(line.split()[:1] == ["127.0.0.1"] and "localhost" in line.split()[1:] for line in f)
    except OSError:
        return False


def ipfix_uniflows(stream):
    """(src, dst, proto) -> (packets, bytes) from a TCP stream of IPFIX messages, read by the templates it
    carries; a data set before its template fails. Also the number of messages."""
    templates, flows, messages, at = {}, {}, 0, 0
    while at < len(stream):
        version, length = struct.unpack_from(">HH", stream, at)
        if version != 10 or length < 16:
            raise ValueError("not an IPFIX message at byte %d" % at)
        body, at, messages = stream[at + 16:at + length], at + length, messages + 1
        pos = 0
        while pos < len(body):
            set_id, set_length = struct.unpack_from(">HH", body, pos)
            content, pos = body[pos + 4:pos + set_length], pos + set_length
            if set_id == 2:
                p = 0
                while p + 4 <= len(content):
                    template, count = struct.unpack_from(">HH", content, p)
                    fields, p = [], p + 4
                    for _ in range(count):
                        element, size = struct.unpack_from(">HH", content, p)
                        p += 8 if element & 0x8000 else 4
                        fields.append((element & 0x7FFF, size))
                    templates[template] = fields
            elif set_id >= 256:
                fields = templates[set_id]
                size = sum(length for _, length in fields)
                for start in range(0, len(content) - size + 1, size):
                    values, q = {}, start
                    for element, length in fields:
                        values[element], q = content[q:q + length], q + length
                    key = (str(ipaddress.ip_address(values.get(8) or values[27])),
                           str(ipaddress.ip_address(values.get(12) or values[28])), values[4][0])
                    old = flows.get(key, (0, 0))
                    flows[key] = (old[0] + int.from_bytes(values[2], "big"),
                                  old[1] + int.from_bytes(values[1], "big"))
    return flows, messages


def normalized(flows):
    return {(str(ipaddress.ip_address(s)), str(ipaddress.ip_address(d)), p): c for (s, d, p), c in flows.items()}


class TcpCollector:
    """A collector on loopback over TCP that keeps each connection's bytes. It can wait before it reads, so
    that the exporter's socket fills up, and hang up on the first connection once the templates came."""

    def __init__(self, wait=0.0, hang_up_first=False):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.wait, self.hang_up_first = wait, hang_up_first
        self.streams, self.readers = [], []
        self.acceptor = threading.Thread(target=self.accept, daemon=True)
        self.acceptor.start()

    def accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            if self.hang_up_first and not self.readers and not self.streams:
                # The templates are read, then the connection is closed: the exporter's next write is
                # answered with a reset, and the one after that is where SIGPIPE would strike.
                self.streams.append(connection.recv(1 << 16))
                connection.close()
                continue
            index = len(self.streams)
            self.streams.append(b"")
            reader = threading.Thread(target=self.read, args=(connection, index), daemon=True)
            self.readers.append(reader)
            reader.start()

    def read(self, connection, index):
        time.sleep(self.wait)
        with connection:
            while data := connection.recv(1 << 20):
                self.streams[index] += data

    def stop(self):
        self.listener.close()
        for reader in self.readers:
            reader.join(timeout=30)


class TcpExport(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="flowsentry-ipfix-tcp-")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def test_a_slow_collector_gets_every_record(self):
        """139,000 records to a collector that reads nothing for a second: more than the socket holds, so the
        exporter keeps the rest and the end of the read waits until it has gone. The stream parses as IPFIX
        by its own templates and carries exactly the table's uniflows. The collector is named where
        /etc/hosts allows, so that the export waits for the name's look-up too."""
        capture = generate(os.path.join(self.tmp, "many.pcap"), "--packets", "200000", "--flows", "100000",
                           "--family", "mixed", "--local", "10.250.0.1")
        collector = TcpCollector(wait=1.0)
        target = "tcp:%s:%d" % ("localhost" if hosts_name_localhost() else "127.0.0.1", collector.port)
        result = run("--read", capture, "--ipfix", target, "--format", "csv", "--stats")
        collector.stop()
        self.assertEqual(result.returncode, 0, result.stderr)
        expected = normalized(table_uniflows(result.stdout.decode()))
        # A file read at once: one record per uniflow, every one of them sent.
        self.assertIn(b"flow records sent to %s: %d, lost: 0" % (target.encode(), len(expected)), result.stderr)
        self.assertEqual(len(collector.streams), 1)
        flows, messages = ipfix_uniflows(collector.streams[0])
        self.assertEqual(flows, expected)
        self.assertLess(messages, 200)  # full messages, not one per packet's worth

    def test_a_collector_that_hangs_up_is_reached_again(self):
        """The first connection is closed by the collector: said once, no SIGPIPE, and after the back-off a
        new connection gets the templates and the records from then on; the exit status is the capture's."""
        capture = generate(os.path.join(self.tmp, "mixed.pcap"), "--packets", "30000", "--flows", "300",
                           "--family", "mixed", "--rate", "100", "--start", "1700000000",
                           "--local", "10.250.0.1")
        collector = TcpCollector(hang_up_first=True)
        process = subprocess.Popen(
            [Tools.cli, "--read", "-", "--ipfix", "tcp:127.0.0.1:%d" % collector.port, "--format", "none",
             "--active-timeout", "20", "--idle-timeout", "5"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        with open(capture, "rb") as f:
            data = f.read()
        chunk = len(data) // 12 + 1
        for at in range(0, len(data), chunk):
            process.stdin.write(data[at:at + chunk])
            process.stdin.flush()
            time.sleep(0.4)
        _, err = process.communicate(timeout=60)
        collector.stop()
        self.assertEqual(process.returncode, 0, err)
        self.assertEqual(err.count(b"cannot send flow records to"), 1, err)
        self.assertEqual(err.count(b"sending flow records to tcp:127.0.0.1:%d again" % collector.port), 1, err)
        self.assertEqual(len(collector.streams), 2)
        flows, _ = ipfix_uniflows(collector.streams[1])
        self.assertTrue(flows)


@unittest.skipUnless(HAVE_NFDUMP, "needs nfcapd and nfdump (Debian package nfdump) as the collector")
@unittest.skipUnless(os.geteuid() == 0, "the live export tests make network namespaces and need root")
class LiveExport(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="flowsentry-ipfix-live-")
        self.collector = None

    def tearDown(self):
        if self.collector is not None and self.collector.process.poll() is None:
            self.collector.process.kill()
            self.collector.process.wait()
        shutil.rmtree(self.tmp)

    def test_active_timeout_deltas_add_up_to_the_row(self):
        """A live capture of a flow that lasts several active timeouts: its uniflow reaches the collector as
        deltas that follow each other in time and add up to the row, and every row arrives whole."""
        with namespace_pair("ipfix") as (a, b, _):
            # The collector listens on the namespace's loopback, which the capture on the veth does not see.
            self.collector = collector = Collector(self.tmp, prefix=("ip", "netns", "exec", a))
            cli = subprocess.Popen(["ip", "netns", "exec", a, Tools.cli, "--address", "10.250.0.1", "--format",
                                    "csv", "--ipfix", "127.0.0.1:%d" % collector.port, "--active-timeout", "1",
                                    "--idle-timeout", "30"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            # A datagram every 50 ms for 4.5 s from the other end (the first may come before the capture opens).
            sender = ("import socket,time\n"
                      "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                      "time.sleep(0.5)\n"
                      "for i in range(90): s.sendto(b'x'*200,('10.250.0.1',5555)); time.sleep(0.05)\n")
            subprocess.run(["ip", "netns", "exec", b, "python3", "-c", sender], check=True, timeout=30)
            time.sleep(0.3)
            cli.send_signal(signal.SIGINT)
            out, err = cli.communicate(timeout=20)
            self.assertEqual(cli.returncode, 0, err)
            collector.stop()
        expected = table_uniflows(out.decode())
        flow = ("10.250.0.2", "10.250.0.1", 17)
        self.assertGreater(expected[flow][0], 60, out)
        self.assertEqual(collector.records(), expected)
        deltas = sorted((start, end, counts) for key, counts, start, end in collector.records(aggregate=False)
                        if key == flow)
        self.assertGreaterEqual(len(deltas), 3, deltas)
        for before, after in zip(deltas, deltas[1:]):
            self.assertLessEqual(before[1], after[0], deltas)  # no second counted twice

    def test_a_slow_link_loses_no_record(self):
        """The collector behind a link of 20 Mbit/s: the exporter's socket fills and refuses datagrams, which
        wait in the exporter instead of being dropped (or of blocking), and the end of the read waits for
        them. nfdump then has every uniflow of the table."""
        capture = generate(os.path.join(self.tmp, "many.pcap"), "--packets", "100000", "--flows", "50000",
                           "--family", "mixed", "--local", "10.250.0.1")
        with namespace_pair("slow") as (a, b, dev):
            subprocess.run(["ip", "netns", "exec", a, "tc", "qdisc", "add", "dev", dev, "root", "tbf", "rate",
                            "20mbit", "burst", "32kbit", "limit", "8mb"], check=True)
            folder = os.path.join(self.tmp, "flows")
            os.mkdir(folder)
            self.collector = collector = Collector(folder, prefix=("ip", "netns", "exec", b), host="10.250.0.2")
            started = time.monotonic()
            result = run("--read", capture, "--ipfix", "10.250.0.2:%d" % collector.port, "--format", "csv",
                         "--stats", prefix=("ip", "netns", "exec", a))
            took = time.monotonic() - started
            collector.stop()
        self.assertEqual(result.returncode, 0, result.stderr)
        expected = table_uniflows(result.stdout.decode())
        self.assertIn(b"lost: 0", result.stderr)
        self.assertGreater(took, 1.0)  # the link, not the read, set the pace: the queue was used
        self.assertEqual(collector.records(), expected)


if __name__ == "__main__":
    Tools.cli, Tools.gen = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
