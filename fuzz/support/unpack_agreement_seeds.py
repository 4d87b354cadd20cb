#!/usr/bin/python3
"""Writes the seeds of the unpack_agreement fuzz target into the folder given
(fuzz/corpus/unpack_agreement): small archives as Info-ZIP's zip, bsdtar and
Python's zipfile write them, and archives written byte by byte whose local
headers and central directory disagree in one field each (name, sizes, CRC,
offset, method, flags) or whose end record does.

Usage: fuzz/support/unpack_agreement_seeds.py OUT_DIR
Needs zip and bsdtar (Debian: zip, libarchive-tools)."""

import io
import os
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

UNIX = 3
DOS_TIME = (5 << 11) | (6 << 5)           # 05:06:00
DOS_DATE = ((2024 - 1980) << 9) | (3 << 5) | 4  # 2024-03-04
ENCRYPTED, DESCRIPTOR, UTF8 = 1 << 0, 1 << 3, 1 << 11


# ---- archives written field by field ----------------------------------------

def deflated(data):
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    return packer.compress(data) + packer.flush()


def entry(name, data, method=8, mode=0o100644, flags=0, local=None, central=None):
    """One entry; `local` and `central` override what either record says."""
    return dict(name=name, data=data, method=method, mode=mode, flags=flags,
                local=local or {}, central=central or {})


def build(entries, prefix=b"", comment=b"", end=None, drop_central=()):
    body = bytearray(prefix)
    records = []
    for e in entries:
        payload = deflated(e["data"]) if e["method"] == 8 else e["data"]
        fields = dict(name=e["name"], method=e["method"], flags=e["flags"],
                      crc=zlib.crc32(e["data"]), csize=len(payload), size=len(e["data"]),
                      offset=len(body))
        local = dict(fields, **e["local"])
        central = dict(fields, **e["central"])
        descriptor = local["flags"] & DESCRIPTOR
        body += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, local["flags"], local["method"],
                            DOS_TIME, DOS_DATE, 0 if descriptor else local["crc"],
                            0 if descriptor else local["csize"],
                            0 if descriptor else local["size"], len(local["name"]), 0)
        body += local["name"] + payload
        if descriptor:
            body += struct.pack("<IIII", 0x08074B50, local["crc"], local["csize"], local["size"])
        records.append(dict(central, mode=e["mode"]))
    start = len(body)
    kept = [r for i, r in enumerate(records) if i not in drop_central]
    for r in kept:
        body += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, (UNIX << 8) | 20, 20, r["flags"],
                            r["method"], DOS_TIME, DOS_DATE, r["crc"], r["csize"], r["size"],
                            len(r["name"]), 0, 0, 0, 0, r["mode"] << 16, r["offset"])
        body += r["name"]
    fields = {"count": len(kept), "size": len(body) - start, "offset": start, "disk": 0,
              **(end or {})}
    body += struct.pack("<IHHHHIIH", 0x06054B50, fields["disk"], 0, fields.get("here", fields["count"]),
                        fields["count"], fields["size"], fields["offset"], len(comment)) + comment
    return bytes(body)


SCRIPT = entry(b"update.dat", b"\x8c\x1f enciphered script stand-in " * 3)
TEXT = b"a line of text that compresses well\n" * 12
NOISE = bytes((i * 7919 + 13) % 251 for i in range(300))


def crafted():
    """name -> bytes: one disagreement between the two readings each."""
    def three(**overrides):
        second = entry(b"data/a.txt", TEXT, **overrides)
        return [SCRIPT, second, entry(b"data/noise.bin", NOISE, method=0)]

    crc = zlib.crc32(TEXT)
    size = len(TEXT)
    csize = len(deflated(TEXT))
    seeds = {
        "crafted-agreeing": build(three()),
        "crafted-descriptor": build(three(flags=DESCRIPTOR)),
        "name-same-length": build(three(central=dict(name=b"data/b.txt"))),
        "name-longer-in-directory": build(three(central=dict(name=b"data/ab.txt"))),
        "name-shorter-in-directory": build(three(central=dict(name=b"data/.txt"))),
        "name-climbs-in-directory": build(three(central=dict(name=b"../a.txt"))),
        "compressed-size": build(three(central=dict(csize=csize + 1))),
        "size": build(three(central=dict(size=size - 1))),
        "size-in-front": build(three(local=dict(size=size + 5))),
        "crc": build(three(central=dict(crc=crc ^ 1))),
        "crc-in-descriptor": build(three(flags=DESCRIPTOR, local=dict(crc=crc ^ 0x100))),
        "offset": build(three(central=dict(offset=0))),
        "method-stored-in-front": build(three(local=dict(method=0))),
        "method-stored-in-directory": build(three(central=dict(method=0))),
        "encrypted-in-front": build(three(local=dict(flags=ENCRYPTED))),
        "encrypted-in-directory": build(three(central=dict(flags=ENCRYPTED))),
        "utf8-in-directory": build(three(central=dict(flags=UTF8))),
        "descriptor-in-directory": build(three(central=dict(flags=DESCRIPTOR))),
        "entry-missing-from-directory": build(three(), drop_central=(1,)),
        "end-record-count": build(three(), end=dict(count=2)),
        "end-record-offset": build(three(), end=dict(offset=1)),
        "end-record-offset-placeholder": build(three(), end=dict(offset=0xFFFFFFFF)),
        "end-record-count-placeholder": build(three(), end=dict(count=0xFFFF)),
        "end-record-directory-size": build(three(), end=dict(size=1)),
        "end-record-disk": build(three(), end=dict(disk=1)),
        "end-record-entries-here": build(three(), end=dict(here=2)),
        "comment": build(three(), comment=b"published 2024-03-04"),
        "data-before-first-entry": build(three(), prefix=b"#!/bin/sh\nexit 0\n"),
    }
    # Stored data of a file whose sizes only follow it.
    stored = [SCRIPT, entry(b"data/noise.bin", NOISE, method=0, flags=DESCRIPTOR)]
    seeds["stored-sizes-behind"] = build(stored)
    # An end record inside the comment of the real one: which one counts?
    inner = build([entry(b"update.dat", b"other script")])
    seeds["end-record-in-comment"] = build(three(), comment=inner[inner.rfind(b"PK\x05\x06"):])
    # A ZIP64 end record and its locator inside stored data, where a reader
    # that searches backwards for the locator finds them.
    hidden = bytearray(b"stored data ")
    zip64_end_at = 30 + len(b"update.dat") + len(SCRIPT["data"]) + 30 + len(b"hidden.bin")
    zip64_end_at += len(hidden)
    hidden += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, 1, 1, 0, 0)
    hidden += struct.pack("<IIQI", 0x07064B50, 0, zip64_end_at, 1)
    seeds["zip64-locator-in-data"] = build(
        [entry(b"update.dat", SCRIPT["data"], method=0), entry(b"hidden.bin", bytes(hidden), method=0)])
    return seeds


# ---- archives written by archivers ------------------------------------------

def stage(root):
    def put(name, data, mode=0o644):
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
        os.utime(path, (1709528760, 1709528760))
    put("update.dat", b"\x8c\x1f enciphered script stand-in")
    put("data/a.txt", TEXT)
    put("data/sub/noise.bin", NOISE)
    put("data/empty.txt", b"")
    put("tool.sh", b"#!/bin/sh\necho tool\n", 0o4755)
    os.symlink("data/a.txt", os.path.join(root, "link"))


def archivers(root):
    files = "update.dat data tool.sh"
    commands = {
        "info-zip-deflated": f"zip -qr OUT {files}",
        "info-zip-stored": f"zip -qr0X OUT {files}",
        "info-zip-pipe": f"zip -qr - {files} | cat > OUT",
        "info-zip-pipe-stored": f"zip -qr0X - {files} | cat > OUT",
        "info-zip-symlink": f"zip -qryX OUT {files} link",
        "bsdtar-deflated": f"bsdtar --format zip -cf OUT {files}",
        "bsdtar-stored": f"bsdtar --format zip --options zip:compression=store -cf OUT {files}",
        "info-zip-self-extracting":
            f"zip -qrX a.zip {files} && printf 'stub' | cat - a.zip > OUT && rm a.zip && "
            "zip -qA OUT",
    }
    seeds = {}
    for name, command in commands.items():
        out = os.path.join(root, "..", "out.zip")
        subprocess.run(command.replace("OUT", out), shell=True, check=True, cwd=root)
        with open(out, "rb") as f:
            seeds[name] = f.read()
        os.remove(out)
    return seeds


def zipfile_seeds():
    def info(name, mode=0o100644, system=UNIX, attributes=None):
        item = zipfile.ZipInfo(name, date_time=(2024, 3, 4, 5, 6, 0))
        item.create_system = system
        item.external_attr = (mode << 16) if attributes is None else attributes
        item.compress_type = zipfile.ZIP_DEFLATED
        return item

    def archive(stream=None, stored=False):
        out = stream or io.BytesIO()
        with zipfile.ZipFile(out, "w") as z:
            for item, data in [
                (info("update.dat"), b"\x8c\x1f script"),
                (info("データ/説明.txt"), TEXT),           # a UTF-8 name
                (info("bin/tool", 0o100755), b"#!/bin/sh\n"),
                (info("bin/"), b""),
                (info("readme.txt", system=0, attributes=0x21), b"read only, DOS"),
                (info("../outside.txt"), b"climbs"),
            ]:
                if stored:
                    item.compress_type = zipfile.ZIP_STORED
                z.writestr(item, data)
        return out

    class Unseekable(io.RawIOBase):
        def __init__(self):
            self.data = bytearray()

        def writable(self):
            return True

        def write(self, b):
            self.data += b
            return len(b)

    piped = Unseekable()
    archive(piped)
    piped_stored = Unseekable()
    archive(piped_stored, stored=True)
    return {
        "zipfile-deflated": archive().getvalue(),
        "zipfile-stored": archive(stored=True).getvalue(),
        "zipfile-unseekable": bytes(piped.data),
        "zipfile-unseekable-stored": bytes(piped_stored.data),
    }


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        root = os.path.join(work, "stage")
        os.makedirs(root)
        stage(root)
        seeds = {**archivers(root), **zipfile_seeds(), **crafted()}
    for name, data in sorted(seeds.items()):
        assert len(data) <= 4096, name  # scripts/fuzz reads no more
        with open(os.path.join(out, name + ".zip"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
