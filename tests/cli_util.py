# SPDX-License-Identifier: GPL-3.0-or-later
"""Shared by the Python tests of flowsentry-cli: the paths of the programs under test, how to run them, and an
independent reader of capture files that says which rows the CLI must print."""
import contextlib
import ipaddress
import os
import socket
import struct
import subprocess
import time


class Tools:
    """Set from the command line by each test script."""
    cli = ""
    gen = ""


HEADINGS = ["Src Address", "Dest Address", "Send Data", "Rcv Data", "Total Data", "Send Packets",
            "Rcv Packets", "Total Packets", "Date / Time", "Proto"]
LINK_HEADER = {1: 14, 113: 16, 276: 20, 101: 0, 0: 4, 108: 4}  # DLT number -> header length
ETHER_VERSION = {b"\x08\x00": 4, b"\x86\xdd": 6}
FAMILY_VERSION = {2: 4, 10: 6, 24: 6, 28: 6, 30: 6}  # loopback address families (Linux, BSDs, macOS)


def run(*args, prefix=(), **kw):
    env = dict(os.environ, TZ="UTC")
    return subprocess.run([*prefix, Tools.cli, *args], capture_output=True, env=env, timeout=120, **kw)


def generate(path, *args):
    subprocess.run([Tools.gen, "--out", path, *args], check=True)
    return path


def read_capture(path):
    """Yields (link type, captured bytes, wire length, seconds) for each record; stops quietly at damage.
    Records with nothing captured are skipped, as other readers do."""
    with open(path, "rb") as f:
        data = f.read()
    magic = data[:4]
    if magic in (b"\xd4\xc3\xb2\xa1", b"\xa1\xb2\xc3\xd4"):
        e = "<" if magic == b"\xd4\xc3\xb2\xa1" else ">"
        link = struct.unpack(e + "I", data[20:24])[0] & 0xFFFF
        at = 24
        while at + 16 <= len(data):
            sec, _usec, cap, length = struct.unpack(e + "IIII", data[at:at + 16])
            if at + 16 + cap > len(data) or cap > 262144:
                return
            if cap > 0:
                yield link, data[at + 16:at + 16 + cap], length, sec
            at += 16 + cap
    elif magic == b"\x0a\x0d\x0d\x0a":
        yield from read_pcapng(data)


def read_pcapng(data):
    """Every section (either byte order) and interface: (link type, time units a second, offset, snaplen)."""
    at, e, interfaces = 0, "<", []
    while at + 12 <= len(data):
        if data[at:at + 4] == b"\x0a\x0d\x0d\x0a":
            e = "<" if data[at + 8:at + 12] == b"\x4d\x3c\x2b\x1a" else ">"
            interfaces = []
        kind, size = struct.unpack(e + "II", data[at:at + 8])
        if size < 12 or at + size > len(data):
            return
        body = data[at + 8:at + size - 4]
        if kind == 1:
            link, _reserved, snaplen = struct.unpack(e + "HHI", body[:8])
            units, offset, opt = 1000000, 0, 8
            while opt + 4 <= len(body):
                code, olen = struct.unpack(e + "HH", body[opt:opt + 4])
                value = body[opt + 4:opt + 4 + olen]
                if code == 0:
                    break
                if code == 9:
                    units = 2 ** (value[0] & 0x7F) if value[0] & 0x80 else 10 ** value[0]
                elif code == 14:
                    offset = struct.unpack(e + "q", value)[0]
                opt += 4 + (olen + 3) // 4 * 4
            interfaces.append((link, units, offset, snaplen))
        elif kind in (2, 6):
            if kind == 6:
                iface, hi, lo, cap, length = struct.unpack(e + "IIIII", body[:20])
            else:
                iface, _drops, hi, lo, cap, length = struct.unpack(e + "HHIIII", body[:20])
            if iface >= len(interfaces):
                return
            link, units, offset, _snaplen = interfaces[iface]
            if cap > 0:
                yield link, body[20:20 + cap], length, ((hi << 32) | lo) // units + offset
        elif kind == 3:
            link, _units, _offset, snaplen = interfaces[0]
            length = struct.unpack(e + "I", body[:4])[0]
            cap = min(length, len(body) - 4, snaplen or length)
            if cap > 0:
                yield link, body[4:4 + cap], length, 0
        at += size


def link_version(link, frame):
    """The IP version the link header names: 4, 6, 0 for either (raw IP), None for no IP."""
    if link == 1:
        return ETHER_VERSION.get(frame[12:14])
    if link == 113:
        return ETHER_VERSION.get(frame[14:16])
    if link == 276:
        return ETHER_VERSION.get(frame[0:2])
    if link in (0, 108):
        family = struct.unpack(">I", frame[:4])[0]
        return FAMILY_VERSION.get(family, FAMILY_VERSION.get(struct.unpack("<I", frame[:4])[0]))
    return 0


def ipv6_protocol(ip, end):
    """The upper-layer protocol after the extension headers, as far as `end` bytes of `ip` allow."""
    proto, at = ip[6], 40
    while True:
        if proto in (0, 43, 60, 135, 51):
            if at + 2 > end:
                return proto
            step = (ip[at + 1] + 2) * 4 if proto == 51 else (ip[at + 1] + 1) * 8
            proto, at = ip[at], at + step
        elif proto == 44:
            if at + 4 > end:
                return proto
            proto, later = ip[at], struct.unpack("!H", ip[at + 2:at + 4])[0] >> 3
            if later:
                return proto
            at += 8
        else:
            return proto


def datagram(link, frame, length):
    """(src, dst, proto, bytes) of the datagram a frame carries, or None."""
    head = LINK_HEADER.get(link)
    if head is None or len(frame) < head:  # a link type Flowsentry does not read: counted as not IP
        return None
    version = link_version(link, frame)
    ip = frame[head:]
    if version is None or not ip or ip[0] >> 4 not in (4, 6) or (version and ip[0] >> 4 != version):
        return None
    size = length - head
    if ip[0] >> 4 == 6:
        if len(ip) < 40 or size < 40:
            return None
        payload = struct.unpack("!H", ip[4:6])[0]
        if payload and 40 + payload <= size:
            size = 40 + payload
        src, dst = str(ipaddress.IPv6Address(ip[8:24])), str(ipaddress.IPv6Address(ip[24:40]))
        return src, dst, ipv6_protocol(ip, min(len(ip), size)), size
    if len(ip) < 20:
        return None
    total = struct.unpack("!H", ip[2:4])[0]
    if link == 1 and size <= 46 and 20 <= total < size:  # Ethernet padding
        size = total
    return socket.inet_ntoa(ip[12:16]), socket.inet_ntoa(ip[16:20]), ip[9], size


def expected_rows(path, local=None):
    """Entries in creation order: [src, dst, proto, send bytes, rcv bytes, send pkts, rcv pkts, last time]."""
    entries, order = {}, []
    for link, frame, length, sec in read_capture(path):
        found = datagram(link, frame, length)
        if found is None:
            continue
        src, dst, proto, size = found
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
    return {6: "TCP", 17: "UDP", 1: "ICMP", 58: "ICMPv6"}.get(p, "Proto:%d" % p)


def cells(row, text=False):
    """A row's cells as csv and json write them (times in ISO 8601; these tests run in UTC), or with `text`
    as the text format (the window's Save As) writes them."""
    src, dst, proto, sd, rd, sp, rp, sec = row
    when = time.strftime("%H:%M:%S %m/%d/%Y" if text else "%Y-%m-%dT%H:%M:%S+00:00", time.gmtime(sec))
    return [src, dst, str(sd), str(rd), str(sd + rd), str(sp), str(rp), str(sp + rp), when, proto_text(proto)]


def text_time_as_iso(cell):
    """The text format's time cell ("%H:%M:%S %m/%d/%Y", UTC) as csv and json write it."""
    return time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.strptime(cell, "%H:%M:%S %m/%d/%Y"))


@contextlib.contextmanager
def namespace_pair(name):
    """Two network namespaces joined by a veth pair, 10.250.0.1 in the first and 10.250.0.2 in the second,
    each with its loopback up; yields their names and the first one's end of the veth."""
    a, b = "fs-%s-a-%d" % (name, os.getpid()), "fs-%s-b-%d" % (name, os.getpid())
    dev, peer = "fs%sa%d" % (name[:2], os.getpid()), "fs%sb%d" % (name[:2], os.getpid())
    try:
        for command in (["netns", "add", a], ["netns", "add", b], ["-n", a, "link", "set", "lo", "up"],
                        ["-n", b, "link", "set", "lo", "up"],
                        ["link", "add", dev, "netns", a, "type", "veth", "peer", "name", peer, "netns", b],
                        ["-n", a, "addr", "add", "10.250.0.1/24", "dev", dev],
                        ["-n", b, "addr", "add", "10.250.0.2/24", "dev", peer],
                        ["-n", a, "link", "set", dev, "up"], ["-n", b, "link", "set", peer, "up"]):
            subprocess.run(["ip", *command], check=True)
        yield a, b, dev
    finally:
        subprocess.run(["ip", "netns", "del", a])
        subprocess.run(["ip", "netns", "del", b])
