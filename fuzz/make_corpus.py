#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/. Each frame input is one byte that picks the
link type (see FrameFuzz.cpp; 0x40 makes it a live capture with an MTU, 0x80 gives a local address), one byte
added to the wire length (and to the MTU), then the frame's bytes.
The capture-file seeds named bad-* are the damaged files of tests/bad_input_test.py, written by its
--write-fuzz-corpus form from flowsentry-gen output."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# Indices into the fuzz target's link-type list.
EN10MB, SLL, SLL2, RAW, IPV4, NULL, LOOP, OTHER = range(8)


def ipv4(src, dst, proto, size):
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, size, 1, 0, 64, proto, 0, bytes(src), bytes(dst))
    return header + bytes(size - 20)


def write(name, link, extra, frame, local=False, live=False):
    path = os.path.join(HERE, "corpus", "frame", name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(bytes([link | (0x80 if local else 0) | (0x40 if live else 0), extra]) + frame)


def tcp(src, dst, size, captured=128):
    """A TCP datagram of `size` bytes (total length 0 above 64 KiB, as BIG TCP writes it), of which the
    first `captured` bytes are kept: an IPv4 header and a 32-byte TCP header."""
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, size if size <= 0xFFFF else 0, 1, 0, 64, 6, 0, bytes(src),
                         bytes(dst))
    segment = struct.pack("!HHIIBBHHH", 40000, 5201, 1, 1, 0x80, 0x10, 512, 0, 0) + bytes(12)
    return (header + segment + bytes(size))[:min(size, captured)]


macs = bytes.fromhex("020000000001020000000002")
udp = ipv4([10, 0, 0, 1], [10, 0, 0, 2], 17, 60)
tcp_in = ipv4([10, 0, 0, 2], [10, 0, 0, 1], 6, 40)
write("ethernet-udp", EN10MB, 0, macs + b"\x08\x00" + udp)
write("ethernet-tcp-local", EN10MB, 0, macs + b"\x08\x00" + tcp_in, local=True)
write("ethernet-padded", EN10MB, 0, (macs + b"\x08\x00" + ipv4([10, 0, 0, 1], [10, 0, 0, 2], 1, 28)).ljust(60, b"\0"))
write("ethernet-snaplen", EN10MB, 20, macs + b"\x08\x00" + udp[:40])
write("vlan", EN10MB, 0, macs + bytes.fromhex("8100000508 00".replace(" ", "")) + udp)
write("qinq", EN10MB, 0, macs + bytes.fromhex("88a80005810000060800") + udp)
write("arp", EN10MB, 0, macs + b"\x08\x06" + bytes(28))
write("ethernet-short", EN10MB, 0, macs)
write("sll", SLL, 0, bytes.fromhex("00000001000602000000000100000800") + udp)
write("sll2", SLL2, 0, bytes.fromhex("0800000000000002000100060200000000010000") + udp)
write("raw", RAW, 0, udp)
write("raw-v6", RAW, 0, b"\x60" + udp[1:])


def ipv6(next_header, payload, rest=b"", length=None):
    """An IPv6 header from fd00:f5::1 to fd00:f5::2 and what follows it; `length` overrides the payload length."""
    src = bytes.fromhex("fd0000f5000000000000000000000001")
    dst = bytes.fromhex("fd0000f5000000000000000000000002")
    size = len(rest) if length is None else length
    return struct.pack("!IHBB", 0x60000000, size, next_header, 64) + src + dst + rest + bytes(payload)


udp6 = struct.pack("!HHHH", 40000, 53, 8, 0)
hop = bytes.fromhex("11000104 00000000")  # hop-by-hop, PadN, then UDP
write("ethernet-v6-udp", EN10MB, 0, macs + b"\x86\xdd" + ipv6(17, 0, udp6))
write("ethernet-v6-local", EN10MB | 0x20, 0,  # 0x20: the local address is fd00:f5::1
      macs + b"\x86\xdd" + ipv6(58, 0, bytes.fromhex("8000000000010001")),
      local=True)
write("sll-v6", SLL, 0, bytes.fromhex("000000010006020000000001000086dd") + ipv6(17, 0, udp6))
write("sll2-v6", SLL2, 0, bytes.fromhex("86dd000000000002000100060200000000010000") + ipv6(17, 0, udp6))
write("raw-v6-chain", RAW, 0, ipv6(0, 0, bytes.fromhex("2b000104000000003c00000000000000") + hop + udp6))
write("raw-v6-ah", RAW, 0, ipv6(51, 0, bytes.fromhex("3c0100000000010000000001") + bytes.fromhex("0600010400000000")))
write("raw-v6-fragment", RAW, 0, ipv6(44, 0, bytes.fromhex("3c0005c800000007") + bytes(8)))
write("raw-v6-esp", RAW, 0, ipv6(50, 16))
write("raw-v6-cut-chain", RAW, 4, ipv6(0, 0, bytes.fromhex("3c04"), length=200))
write("raw-v6-option-loop", RAW, 0, ipv6(60, 0, bytes.fromhex("3c00010400000000") * 12))
write("raw-v6-jumbo", RAW, 255, ipv6(0, 0, bytes.fromhex("1100c20400011170") + udp6, length=0))
write("raw-v6-short", RAW, 0, ipv6(17, 0, udp6)[:39])
write("null-v6", NULL, 0, b"\x0a\x00\x00\x00" + ipv6(17, 0, udp6))
write("loop-v6-darwin", LOOP, 0, b"\x00\x00\x00\x1e" + ipv6(17, 0, udp6))
write("live-gso-udp-v6", RAW, 60, ipv6(0, 0, hop + struct.pack("!HHHH", 40000, 53, 8008, 0), length=8016),
      live=True)
write("ipv4", IPV4, 0, tcp_in, local=True)
write("null-le", NULL, 0, b"\x02\x00\x00\x00" + udp)
write("loop-be", LOOP, 0, b"\x00\x00\x00\x02" + udp)
write("unsupported", OTHER, 0, udp)
write("header-19", RAW, 0, udp[:19])
write("self", RAW, 0, ipv4([10, 0, 0, 1], [10, 0, 0, 1], 6, 40), local=True)
write("ethernet-fcs", EN10MB, 0, (macs + b"\x08\x00" + ipv4([10, 0, 0, 1], [10, 0, 0, 2], 1, 28)).ljust(64, b"\xee"))
# Super-packets in a live capture: the wire length is the frame plus 64 times the second byte, the MTU 68 plus
# 8 times it (1500 for 179: a GRO'd TCP datagram of about 11 KiB).
write("live-gro-tcp", EN10MB, 179, macs + b"\x08\x00" + tcp([10, 0, 0, 2], [10, 0, 0, 1], 11488, 114),
      local=True, live=True)
write("live-big-tcp", RAW, 255, tcp([10, 0, 0, 1], [10, 0, 0, 2], 100000), live=True)
write("live-gso-udp", RAW, 60, ipv4([10, 0, 0, 1], [10, 0, 0, 2], 17, 3908)[:68], live=True)
write("live-tcp-cut", RAW, 200, tcp([10, 0, 0, 1], [10, 0, 0, 2], 20000, 30), live=True)


# Capture files, whole and damaged, for the capture-file target (written by hand, little-endian).
def pcap(link, frames, snaplen=65535):
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, snaplen, link)
    for i, (frame, length) in enumerate(frames):
        out += struct.pack("<IIII", 1700000000 + i, 0, len(frame), length) + frame
    return out


def pcapng(link, frames):
    out = struct.pack("<IIIHHqI", 0x0A0D0D0A, 28, 0x1A2B3C4D, 1, 0, -1, 28)
    out += struct.pack("<IIHHII", 1, 20, link, 0, 65535, 20)
    for frame, length in frames:
        padded = frame + bytes(-len(frame) % 4)
        out += struct.pack("<IIIIIII", 6, 32 + len(padded), 0, 0, 0, len(frame), length) + padded
        out += struct.pack("<I", 32 + len(padded))
    return out


def write_file(name, content):
    path = os.path.join(HERE, "corpus", "capture-file", name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content)


# pcapng in either byte order, block by block: several interfaces and sections, every packet block type.
def block(e, kind, body):
    body += bytes(-len(body) % 4)
    return struct.pack(e + "II", kind, 12 + len(body)) + body + struct.pack(e + "I", 12 + len(body))


def section(e, blocks):
    return block(e, 0x0A0D0D0A, struct.pack(e + "IHHq", 0x1A2B3C4D, 1, 0, -1)) + b"".join(blocks)


def interface(e, link, snaplen, tsresol=None, tsoffset=None):
    options = b""
    if tsresol is not None:
        options += struct.pack(e + "HHB3x", 9, 1, tsresol)
    if tsoffset is not None:
        options += struct.pack(e + "HHq", 14, 8, tsoffset)
    if options:
        options += struct.pack(e + "HH", 0, 0)
    return block(e, 1, struct.pack(e + "HHI", link, 0, snaplen) + options)


def epb(e, iface, ts, frame, length=None):
    return block(e, 6, struct.pack(e + "IIIII", iface, ts >> 32, ts & 0xFFFFFFFF, len(frame),
                                   len(frame) if length is None else length) + frame)


def obsolete_pb(e, iface, ts, frame):
    return block(e, 2, struct.pack(e + "HHIIII", iface, 0, ts >> 32, ts & 0xFFFFFFFF, len(frame), len(frame)) + frame)


def spb(e, frame, length=None):
    return block(e, 3, struct.pack(e + "I", len(frame) if length is None else length) + frame)


eth = [(macs + b"\x08\x00" + udp, 74), (macs + b"\x08\x00" + tcp_in, 54), (macs + b"\x08\x06" + bytes(28), 42)]
whole = pcap(1, eth)
write_file("ethernet.pcap", whole)
write_file("ethernet.pcapng", pcapng(1, eth))
write_file("raw.pcap", pcap(101, [(udp, 60), (udp[:19], 19)]))
write_file("snaplen.pcap", pcap(1, [(macs + b"\x08\x00" + udp[:30], 1514)], snaplen=44))
write_file("truncated-record.pcap", whole[:24 + 16 + 30])
write_file("truncated-header.pcap", whole[:10])
write_file("zero-length.pcap", pcap(1, [(b"", 0)]))
write_file("huge-record.pcap", whole[:24] + struct.pack("<IIII", 0, 0, 0x7FFFFFFF, 0x7FFFFFFF) + udp)
write_file("unknown-link.pcap", pcap(147, eth))
write_file("not-a-capture", b"GIF89a" + bytes(40))
sll = bytes.fromhex("00000001000602000000000100000800")
write_file("interfaces.pcapng", section("<", [
    interface("<", 1, 65535), interface("<", 101, 40, tsresol=9), interface("<", 113, 128, tsresol=0x86, tsoffset=-3600),
    interface("<", 147, 0), block("<", 5, b"statistics"),
    epb("<", 0, 1700000000000000, eth[0][0]), epb("<", 1, 1700000000123456789, udp[:40], 60),
    epb("<", 2, 1700000000 << 6, sll + tcp_in), epb("<", 3, 0, udp), epb("<", 0, 0, b""),
    obsolete_pb("<", 2, 5, sll + udp), spb("<", eth[1][0], 54), block("<", 0x40000BAD, b"custom")]))
write_file("sections.pcapng", section("<", [interface("<", 1, 96), epb("<", 0, 1, eth[0][0])]) +
           section(">", [interface(">", 0, 0, tsresol=3), interface(">", 108, 64), epb(">", 1, 2, b"\0\0\0\x02" + udp),
                         epb(">", 0, 3, b"\x02\0\0\0" + tcp_in), spb(">", b"\x02\0\0\0" + udp)]) +
           section("<", [epb("<", 0, 4, eth[0][0])]))


# The capture helper's stream (capture/SampleStream.h). The first byte sets the size of the pieces in which
# SampleStreamFuzz.cpp feeds the rest to the reader.
def write_stream(name, piece, content):
    path = os.path.join(HERE, "corpus", "sample-stream", name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(bytes([piece]) + content)


def sample(src, dst, size, proto, seconds, packets=1):
    return struct.pack("<IIIBxHq", src, dst, size, proto, packets, seconds)


header = b"FSSAMPLE" + struct.pack("<II", 4, 16)
ready = struct.pack("<II", 1, 0) + b"eth0".ljust(16, b"\0") + struct.pack("<II", 1, 0)
samples = struct.pack("<II", 2, 3) + sample(0x0A000001, 0x0A000002, 60, 6, 1700000000) + \
    sample(0x0A000002, 0x0A000001, 67566, 6, 1700000001, 46) + sample(0xC0A80001, 0x0A000001, 28, 1, -5)
# IPv6 samples: the sample with zero addresses, then the source and the destination address.
samples6 = struct.pack("<II", 6, 2) + \
    sample(0, 0, 48, 17, 1700000002) + bytes.fromhex("fd0000f5000000000000000000000001") + \
    bytes.fromhex("fd0000f5000000000000000000000002") + \
    sample(0, 0, 8336, 17, 1700000003, 6) + bytes.fromhex("fd0000f5000000000000000000000002") + \
    bytes.fromhex("fd0000f5000000000000000000000001")
stats = struct.pack("<II", 3, 0) + struct.pack("<QQQQ", 10, 2, 1, 0)
text = b"You don't have permission to capture on that device"
link_up, link_down, link_no_carrier = (struct.pack("<IIII", 5, 0, state, 0) for state in (0, 1, 2))
error = struct.pack("<II", 4, len(text)) + struct.pack("<II", 1, 0) + text.ljust(1016, b"\0")
write_stream("good-capture", 0, header + ready + samples + stats)
write_stream("good-link", 4, header + ready + samples + link_down + link_no_carrier + link_up + samples)
write_stream("good-error", 5, header + error)
write_stream("good-mixed", 9, header + ready + samples + samples6 + samples + stats)
write_stream("bad-cut-v6", 0x21, (header + ready + samples6)[:-20])
write_stream("bad-count-v6", 1, header + ready + struct.pack("<II", 6, 9000))
write_stream("bad-magic", 2, b"XSSAMPLE" + header[8:] + ready)
write_stream("bad-version", 0x40, b"FSSAMPLE" + struct.pack("<II", 3, 16) + ready)
write_stream("bad-count", 1, header + ready + struct.pack("<II", 2, 9000))
write_stream("bad-cut", 0xFF, (header + ready + samples)[:-7])
write_stream("bad-type", 3, header + ready + struct.pack("<II", 9, 0))
write_stream("bad-link", 1, header + ready + struct.pack("<IIII", 5, 0, 3, 0))
