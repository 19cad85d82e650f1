#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/. Each frame input is one byte that picks the
link type (see FrameFuzz.cpp), one byte added to the wire length, then the frame's bytes."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# Indices into the fuzz target's link-type list.
EN10MB, SLL, SLL2, RAW, IPV4, NULL, LOOP, OTHER = range(8)


def ipv4(src, dst, proto, size):
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, size, 1, 0, 64, proto, 0, bytes(src), bytes(dst))
    return header + bytes(size - 20)


def write(name, link, extra, frame, local=False):
    path = os.path.join(HERE, "corpus", "frame", name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(bytes([link | (0x80 if local else 0), extra]) + frame)


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
write("ipv4", IPV4, 0, tcp_in, local=True)
write("null-le", NULL, 0, b"\x02\x00\x00\x00" + udp)
write("loop-be", LOOP, 0, b"\x00\x00\x00\x02" + udp)
write("unsupported", OTHER, 0, udp)
write("header-19", RAW, 0, udp[:19])
write("self", RAW, 0, ipv4([10, 0, 0, 1], [10, 0, 0, 1], 6, 40), local=True)
