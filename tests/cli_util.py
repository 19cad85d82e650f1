# SPDX-License-Identifier: GPL-3.0-or-later
"""Shared by the Python tests of flowsentry-cli: the paths of the programs under test, how to run them, and an
independent reader of capture files that says which rows the CLI must print."""
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


def run(*args, prefix=(), **kw):
    env = dict(os.environ, TZ="UTC")
    return subprocess.run([*prefix, Tools.cli, *args], capture_output=True, env=env, timeout=120, **kw)


def generate(path, *args):
    subprocess.run([Tools.gen, "--out", path, *args], check=True)
    return path


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
            if size < 12 or at + size > len(data):
                return
            body = data[at + 8:at + size - 4]
            if kind == 1:
                links.append(struct.unpack("<H", body[:2])[0])
            elif kind == 6:
                iface, hi, lo, cap, length = struct.unpack("<IIIII", body[:20])
                if iface >= len(links):
                    return
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
