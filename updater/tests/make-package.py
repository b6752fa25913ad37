#!/usr/bin/env python3
"""Writes a zip package for the tests.

    make-package.py OUTPUT < entries.json

entries.json is a list of {"name": ..., "data": text, "mode": octal int,
"link": true for a symbolic-link entry whose data is the link target}.
"""
import json
import sys
import zipfile

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
        package.writestr(info, entry.get("data", ""))
