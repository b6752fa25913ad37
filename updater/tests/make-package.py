#!/usr/bin/env python3
"""Writes a zip package for the tests.

    make-package.py OUTPUT < entries.json

entries.json is a list of {"name": ..., "data": text, "mode": octal int,
"link": true for a symbolic-link entry whose data is the link target,
"from": a file whose bytes are the data, "append": text added to them,
"zeros": a count of zero bytes as the data (written in blocks),
"stored": true to store the data uncompressed,
"dos": true for an entry made on a system without Unix modes,
"declared": the uncompressed size written into the headers instead of the
real one}.
Prints the package's CRC-32/JAMCRC, the checksum an update server announces.
"""
import json
import struct
import sys
import zipfile
import zlib

BLOCK = 1 << 20


def write_entry(package, entry):
    info = zipfile.ZipInfo(entry["name"])
    info.compress_type = zipfile.ZIP_STORED if entry.get("stored") else zipfile.ZIP_DEFLATED
    info.create_system = 0 if entry.get("dos") else 3  # unix: the mode below is stored
    if entry.get("dos"):
        info.external_attr = 0
    elif entry.get("link"):
        info.external_attr = (0o120777 << 16)
    elif entry["name"].endswith("/"):
        info.external_attr = (0o40755 << 16) | 0x10
    else:
        info.external_attr = (0o100000 | entry.get("mode", 0o644)) << 16
    if "zeros" in entry:
        with package.open(info, "w") as out:
            left = entry["zeros"]
            while left > 0:
                out.write(bytes(min(BLOCK, left)))
                left -= BLOCK
        return
    data = entry.get("data", "").encode("latin-1")
    if "from" in entry:
        with open(entry["from"], "rb") as source:
            data = source.read() + entry.get("append", "").encode()
    package.writestr(info, data)


def forge_declared_sizes(path, entries):
    with zipfile.ZipFile(path) as package:
        infos = package.infolist()
        position = package.start_dir
    with open(path, "r+b") as out:
        for info, entry in zip(infos, entries):
            out.seek(position)
            header = out.read(46)
            assert header[:4] == b"PK\x01\x02"
            name, extra, comment = struct.unpack("<HHH", header[28:34])
            if "declared" in entry:
                size = struct.pack("<I", entry["declared"])
                out.seek(position + 24)
                out.write(size)
                out.seek(info.header_offset + 22)
                out.write(size)
            position += 46 + name + extra + comment


entries = json.load(sys.stdin)
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as package:
    for entry in entries:
        write_entry(package, entry)
forge_declared_sizes(sys.argv[1], entries)

crc = 0
with open(sys.argv[1], "rb") as written:
    for block in iter(lambda: written.read(BLOCK), b""):
        crc = zlib.crc32(block, crc)
print(crc ^ 0xFFFFFFFF)
