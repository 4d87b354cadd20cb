#!/usr/bin/python3
"""Patch archives for the robustness tests, made with Python's zipfile, Info-ZIP's
zip, or written byte by byte where no archiver would write them.

Usage:
  archive_maker.py zipdir OUT.zip DIR
      every file under DIR (sorted, deflated, Unix modes kept), by zipfile
  archive_maker.py dosdir OUT.zip DIR
      the same with MS-DOS host entries and the archive attribute, as the
      original platform's tools write them: no Unix permissions at all
  archive_maker.py zerodir OUT.zip DIR
      the same with Unix host entries whose permission bits are all zero (the
      archive attribute only), as a ZipInfo came out before zipfile began to
      give an entry without any attributes 0600
  archive_maker.py zeroregdir OUT.zip DIR
      the same with the file type of a regular file and permission bits that
      are all zero, as zipfile's write() keeps a file of mode 000
  archive_maker.py samecrc GENUINE TEMPLATE OUT
      TEMPLATE, as long as GENUINE, with its first "@@@@" replaced by the four
      bytes that give it GENUINE's CRC-32
  archive_maker.py corpus SERVER_ROOT SCRIPTS TOKEN OUTSIDE
      the hostile corpus: SERVER_ROOT/<case>/<case>.zip for every recipe below,
      with SCRIPTS/<case>.dat (an enciphered update.dat) as its script, and an
      archive of script and one payload for every other script in SCRIPTS.
      TOKEN makes absolute names unique; OUTSIDE is a directory that links aim at.

The entries of the name recipes hold their own raw names as content, so a
test can tell which entry landed where.
"""

import os
import random
import stat
import struct
import subprocess
import sys
import tempfile
import warnings
import zipfile
import zlib

UNIX = 3
UTF8_FLAG = 0x800
GIB = 1 << 30


# ---- a zip writer that writes whatever it is told ----------------------------

class RawZip:
    """Entries with raw byte names, precompressed data and declared sizes that
    may lie; central records may point at one shared local header."""

    def __init__(self):
        self.body = bytearray()
        self.central = []

    def add(self, name, data=b"", *, compressed=None, crc=None, size=None, csize=None,
            flags=0, mode=0o100644, zip64=False):
        if compressed is None:
            packer = zlib.compressobj(9, zlib.DEFLATED, -15)
            compressed = packer.compress(data) + packer.flush()
        crc = zlib.crc32(data) if crc is None else crc
        size = len(data) if size is None else size
        csize = len(compressed) if csize is None else csize
        offset = len(self.body)
        record = dict(name=name, crc=crc, size=size, csize=csize, flags=flags, mode=mode,
                      zip64=zip64, offset=offset)
        self.body += self._local(record) + compressed
        self.central.append(record)
        return record

    def alias(self, record, name):
        """A second central record for the same local entry: its data again."""
        assert len(name) == len(record["name"])
        self.central.append(dict(record, name=name))

    @staticmethod
    def _zip64_extra(record, with_offset):
        values = [record["size"], record["csize"]] + ([record["offset"]] if with_offset else [])
        return struct.pack("<HH", 1, 8 * len(values)) + struct.pack("<%dQ" % len(values), *values)

    def _local(self, r):
        small = 0xFFFFFFFF if r["zip64"] else None
        extra = self._zip64_extra(r, False) if r["zip64"] else b""
        return struct.pack("<IHHHHHIIIHH", 0x04034B50, 45 if r["zip64"] else 20, r["flags"], 8,
                           0, 0x21, r["crc"], small or r["csize"], small or r["size"],
                           len(r["name"]), len(extra)) + r["name"] + extra

    def _central_record(self, r):
        small = 0xFFFFFFFF if r["zip64"] else None
        extra = self._zip64_extra(r, True) if r["zip64"] else b""
        return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, (UNIX << 8) | 45,
                           45 if r["zip64"] else 20, r["flags"], 8, 0, 0x21, r["crc"],
                           small or r["csize"], small or r["size"], len(r["name"]), len(extra),
                           0, 0, 0, r["mode"] << 16, small or r["offset"]) + r["name"] + extra

    def write(self, path):
        directory = b"".join(self._central_record(r) for r in self.central)
        end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(self.central), len(self.central),
                          len(directory), len(self.body), 0)
        with open(path, "wb") as f:
            f.write(self.body + directory + end)


def deflated_zeros(total):
    """A deflate stream of `total` zero bytes, built from one fully flushed
    piece repeated: no history crosses a full flush, so the pieces chain."""
    piece = 16 << 20
    assert total % piece == 0
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    block = packer.compress(bytes(piece)) + packer.flush(zlib.Z_FULL_FLUSH)
    return block * (total // piece) + b"\x03\x00"  # an empty final block


def _gf2_times(matrix, vector):
    total, row = 0, 0
    while vector:
        if vector & 1:
            total ^= matrix[row]
        vector >>= 1
        row += 1
    return total


def _gf2_square(matrix):
    return [_gf2_times(matrix, matrix[n]) for n in range(32)]


def crc32_combine(crc1, crc2, length2):
    """zlib's crc32_combine: the CRC of A+B from those of A and B."""
    odd = [0xEDB88320] + [1 << n for n in range(31)]  # one zero bit
    even = _gf2_square(odd)
    odd = _gf2_square(even)
    while length2:
        even = _gf2_square(odd)
        if length2 & 1:
            crc1 = _gf2_times(even, crc1)
        length2 >>= 1
        if not length2:
            break
        odd = _gf2_square(even)
        if length2 & 1:
            crc1 = _gf2_times(odd, crc1)
        length2 >>= 1
    return crc1 ^ crc2


def zeros_crc(total):
    """The CRC-32 of `total` zero bytes, without reading them all: a bomb
    whose CRC is right fails on its size alone."""
    piece = 16 << 20
    count = total // piece
    crc, block, length = 0, zlib.crc32(bytes(piece)), piece
    while count:
        if count & 1:
            crc = crc32_combine(crc, block, length)
        block = crc32_combine(block, block, length)
        length *= 2
        count >>= 1
    return crc


# ---- the corpus ---------------------------------------------------------------

def names_archive(ctx, names, flags=0):
    z = RawZip()
    z.add(b"update.dat", ctx.script())
    for name in names:
        z.add(name, name, flags=flags)
    z.write(ctx.out)


def recipe_dotdot_leading(ctx):
    names_archive(ctx, [b"../lead1.txt", b"../../lead2.txt", b"../../../lead3.txt",
                        b"../../../../lead4.txt", b"..\\lead5.txt", b"..\\..\\lead6.txt"])


def recipe_dotdot_inner(ctx):
    names_archive(ctx, [b"a/../inner1.txt", b"a/b/../../inner2.txt", b"a/b/../c/inner3.txt",
                        b"a/./../../inner4.txt", b"a\\..\\inner5.txt", b"a/..\\inner6.txt",
                        b"a\\../inner7.txt"])


def recipe_dotdot_trailing(ctx):
    names_archive(ctx, [b"tail1/..", b"tail2/../..", b"..", b"../", b"tail3/../", b"...",
                        b"..name.txt", b"tail4\\..", b"", b"/", b"\\"])


def recipe_absolute(ctx):
    outside = ctx.outside.encode()
    names_archive(ctx, [b"/abs1.txt", b"//abs2.txt", b"/tmp/" + ctx.token + b"/abs3.txt",
                        b"\\abs4.txt", b"/../abs5.txt", outside + b"/abs6.txt"])


def recipe_drive_letters(ctx):
    names_archive(ctx, [b"C:\\drive1.txt", b"C:/drive2.txt", b"c:drive3.txt",
                        b"C:..\\..\\drive4.txt", b"\\\\server\\share\\drive5.txt",
                        b"Z:\\..\\drive6.txt", b"C:\\" + ctx.token + b"\\drive7.txt"])


def recipe_symlinks(ctx):
    z = RawZip()
    z.add(b"update.dat", ctx.script())
    link = stat.S_IFLNK | 0o777
    # A link to a directory outside, then an entry written through it.
    z.add(b"escape", ctx.outside.encode(), mode=link)
    z.add(b"escape/through_link.txt", b"escape/through_link.txt")
    # A relative link that climbs out, likewise.
    z.add(b"up", b"../../../../../../..", mode=link)
    z.add(b"up/through_up.txt", b"up/through_up.txt")
    # A link to a file outside, then a file of the same name.
    z.add(b"victim.txt", (ctx.outside + "/victim.txt").encode(), mode=link)
    z.add(b"victim.txt", b"victim.txt")
    z.write(ctx.out)


def recipe_duplicates(ctx):
    warnings.simplefilter("ignore", UserWarning)  # duplicates are the point
    with zipfile.ZipFile(ctx.out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("dup.txt", "first")
        z.writestr("update.dat", ctx.script("_duplicates_first"))
        z.writestr("dup.txt", "second")
        z.writestr("DUP.txt", "third")
        z.writestr("update.dat", ctx.script())


def recipe_bomb_deflate(ctx):
    # Honest sizes and CRCs: a small entry, then one of 5 GiB behind it.
    z = RawZip()
    z.add(b"update.dat", ctx.script())
    small = 16 << 20
    z.add(b"small.bin", compressed=deflated_zeros(small), crc=zeros_crc(small), size=small)
    z.add(b"bomb.bin", compressed=deflated_zeros(5 * GIB), crc=zeros_crc(5 * GIB), size=5 * GIB,
          zip64=True)
    z.write(ctx.out)


def recipe_bomb_overlap(ctx):
    z = RawZip()
    z.add(b"update.dat", ctx.script())
    shared = z.add(b"bomb0.bin", compressed=deflated_zeros(GIB // 2), crc=zeros_crc(GIB // 2),
                   size=GIB // 2)
    for i in range(1, 10):
        z.alias(shared, b"bomb%d.bin" % i)
    z.write(ctx.out)


def recipe_bomb_liar(ctx):
    z = RawZip()
    z.add(b"update.dat", ctx.script())
    z.add(b"liar.bin", compressed=deflated_zeros(3 * GIB), crc=0, size=100000)
    z.write(ctx.out)


def recipe_bomb_zip64(ctx):
    z = RawZip()
    z.add(b"update.dat", ctx.script())
    z.add(b"huge.bin", compressed=deflated_zeros(5 * GIB), crc=zeros_crc(5 * GIB),
          size=5 * GIB, zip64=True)
    z.write(ctx.out)


def info_zip(ctx, stage, arguments):
    subprocess.run(["zip", "-qX", ctx.out] + arguments, cwd=stage, check=True)


def recipe_encrypted_entry(ctx):
    with tempfile.TemporaryDirectory() as stage:
        ctx.stage_file(stage, "update.dat", ctx.script())
        ctx.stage_file(stage, "plain.txt", b"plain.txt")
        ctx.stage_file(stage, "secret.txt", b"secret.txt")
        info_zip(ctx, stage, ["update.dat", "plain.txt"])
        info_zip(ctx, stage, ["-P", "password", "secret.txt"])


def recipe_encrypted_script(ctx):
    with tempfile.TemporaryDirectory() as stage:
        os.mkdir(os.path.join(stage, "old"))
        ctx.stage_file(stage, "old/update.dat", ctx.script())
        ctx.stage_file(stage, "update.dat", ctx.script())
        ctx.stage_file(stage, "payload.txt", b"payload.txt")
        info_zip(ctx, stage, ["old/update.dat", "payload.txt"])
        info_zip(ctx, stage, ["-P", "password", "update.dat"])


def script_then(ctx, name, data, **entry):
    """A sound script and payload, then a last entry named like the script."""
    z = RawZip()
    z.add(b"update.dat", ctx.script())
    z.add(b"payload.txt", b"payload.txt")
    z.add(name, data, **entry)
    z.write(ctx.out)


def recipe_script_link(ctx):
    script_then(ctx, b"patch/update.dat", b"/etc/passwd", mode=stat.S_IFLNK | 0o777)


def recipe_script_undecodable(ctx):
    script_then(ctx, b"\x83\x5c/update.dat", ctx.script(), flags=UTF8_FLAG)


def recipe_script_escaping(ctx):
    script_then(ctx, b"a/../../update.dat", ctx.script())


def recipe_entries_flood(ctx):
    with zipfile.ZipFile(ctx.out, "w", zipfile.ZIP_STORED) as z:
        z.writestr("update.dat", ctx.script())
        z.writestr("payload.txt", "payload.txt")
        for i in range(65534):
            z.writestr("f/%d" % i, b"")


def recipe_download_over_cap(ctx):
    # Sparse: the server announces 11 GiB that take no room here.
    with open(ctx.out, "wb") as f:
        f.truncate(11 * GIB)


def recipe_zip64_forced(ctx):
    with zipfile.ZipFile(ctx.out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in (("update.dat", ctx.script()), ("data.bin", b"data.bin" * 1000)):
            info = zipfile.ZipInfo(name, (2024, 1, 2, 3, 4, 5))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with z.open(info, "w", force_zip64=True) as entry:
                entry.write(data)


def recipe_names_cp932(ctx):
    # ソ and 表 end in the byte 0x5C; the last name climbs out and is refused.
    names_archive(ctx, ["データ\\ソ表.txt".encode("cp932"), "ソ..\\f.txt".encode("cp932"),
                        "表\\..\\..\\g.txt".encode("cp932")])


def recipe_names_utf8(ctx):
    z = RawZip()
    z.add(b"update.dat", ctx.script())
    for name in ["更新/ファイル.txt".encode(), "音楽♪/曲.txt".encode()]:
        z.add(name, name, flags=UTF8_FLAG)
    # Flagged as UTF-8 but CP932: refused.
    z.add(b"\x83\x5c-bad.txt", b"bad", flags=UTF8_FLAG)
    z.write(ctx.out)


def recipe_empty(ctx):
    zipfile.ZipFile(ctx.out, "w").close()


def recipe_truncated(ctx):
    recipe_no_script(ctx)
    with zipfile.ZipFile(ctx.out, "a", zipfile.ZIP_DEFLATED) as z:
        z.writestr("update.dat", ctx.script())
    with open(ctx.out, "rb") as f:
        whole = f.read()
    with open(ctx.out, "wb") as f:
        f.write(whole[:len(whole) // 2])


def recipe_random_bytes(ctx):
    with open(ctx.out, "wb") as f:
        f.write(random.Random(20).randbytes(65536))


def recipe_no_script(ctx):
    with zipfile.ZipFile(ctx.out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("readme.txt", random.Random(21).randbytes(50000))
        z.writestr("updates.txt", "not the script")


def script_only(ctx):
    with zipfile.ZipFile(ctx.out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("update.dat", ctx.script())
        z.writestr("payload.txt", "payload.txt")


RECIPES = {name[len("recipe_"):]: f for name, f in globals().items()
           if name.startswith("recipe_")}


class Context:
    def __init__(self, root, scripts, case, token, outside):
        self.scripts = scripts
        self.case = case
        self.token = token.encode()
        self.outside = outside
        os.makedirs(os.path.join(root, case), exist_ok=True)
        self.out = os.path.join(root, case, case + ".zip")

    def script(self, case=None):
        with open(os.path.join(self.scripts, (case or self.case) + ".dat"), "rb") as f:
            return f.read()

    @staticmethod
    def stage_file(stage, name, data):
        with open(os.path.join(stage, name), "wb") as f:
            f.write(data)


def corpus(root, scripts, token, outside):
    """A recipe's archive for each recipe; for every other script in SCRIPTS
    (but those named with a leading "_") an archive of the script and one file."""
    for case, make in RECIPES.items():
        make(Context(root, scripts, case, token, outside))
    for name in sorted(os.listdir(scripts)):
        case = name[:-len(".dat")]
        if name.endswith(".dat") and not name.startswith("_") and case not in RECIPES:
            script_only(Context(root, scripts, case, token, outside))


def zipdir(out, directory):
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for base, dirs, files in os.walk(directory):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(base, name)
                z.write(path, os.path.relpath(path, directory))


def infodir(out, directory, create_system, external_attr):
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for base, dirs, files in os.walk(directory):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(base, name)
                info = zipfile.ZipInfo(os.path.relpath(path, directory), (2024, 5, 6, 7, 8, 10))
                info.create_system = create_system
                info.external_attr = external_attr
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    z.writestr(info, f.read())


def same_crc(genuine, template, out):
    """CRC-32 is affine in the message bits: the four chosen bytes are the
    solution of 32 linear equations over GF(2)."""
    with open(genuine, "rb") as f:
        want = zlib.crc32(f.read())
    with open(template, "rb") as f:
        data = bytearray(f.read())
    at = data.index(b"@@@@")
    data[at:at + 4] = bytes(4)
    base = zlib.crc32(data)
    basis = []  # (vector, the bits that make it), distinct leading bits, largest first
    for bit in range(32):
        data[at + bit // 8] ^= 1 << (bit % 8)
        vector, bits = zlib.crc32(data) ^ base, 1 << bit
        data[at + bit // 8] ^= 1 << (bit % 8)
        for known, known_bits in basis:
            if vector ^ known < vector:
                vector, bits = vector ^ known, bits ^ known_bits
        if vector:
            basis = sorted(basis + [(vector, bits)], reverse=True)
    target, chosen = want ^ base, 0
    for known, known_bits in basis:
        if target ^ known < target:
            target, chosen = target ^ known, chosen ^ known_bits
    assert target == 0
    for bit in range(32):
        if chosen >> bit & 1:
            data[at + bit // 8] ^= 1 << (bit % 8)
    assert zlib.crc32(data) == want
    with open(out, "wb") as f:
        f.write(data)


def dosdir(out, directory):
    # MS-DOS, the archive attribute and nothing else
    infodir(out, directory, 0, 0x20)


def zerodir(out, directory):
    infodir(out, directory, UNIX, 0x20)


def zeroregdir(out, directory):
    infodir(out, directory, UNIX, stat.S_IFREG << 16)


def main(argv):
    makers = {"zipdir": zipdir, "dosdir": dosdir, "zerodir": zerodir, "zeroregdir": zeroregdir}
    if len(argv) == 4 and argv[1] in makers:
        makers[argv[1]](argv[2], argv[3])
    elif len(argv) == 5 and argv[1] == "samecrc":
        same_crc(*argv[2:])
    elif len(argv) == 6 and argv[1] == "corpus":
        corpus(*argv[2:])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
