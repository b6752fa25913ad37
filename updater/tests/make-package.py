#!/usr/bin/env python3
"""Writes a zip package for the tests.

    make-package.py OUTPUT < entries.json

entries.json is a list of {"name": ..., "data": text, "mode": octal int,
"link": true for a symbolic-link entry whose data is the link target,
"from": a file whose bytes are the data, "append": text added to them}.
Prints the package's CRC-32/JAMCRC, the checksum an update server announces.
"""
import json
import sys
import zipfile
import zlib

with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as package:
    for entry in json.load(sys.stdin):
        info = zipfile.ZipInfo(entry["name"])
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3  # unix: the mode below is stored
        if entry.get("link"):
            info.external_attr = (0o120777 << 16)
        elif entry["name"].endswith("/"):
            info.external_attr = (0o40755 << 16) | 0x10
        else:
            info.external_attr = (0o100000 | entry.get("mode", 0o644)) << 16
        data = entry.get("data", "").encode("latin-1")
        if "from" in entry:
            with open(entry["from"], "rb") as source:
                data = source.read() + entry.get("append", "").encode()
        package.writestr(info, data)

with open(sys.argv[1], "rb") as written:
    print(zlib.crc32(written.read()) ^ 0xFFFFFFFF)
