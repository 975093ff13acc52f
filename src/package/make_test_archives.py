#!/usr/bin/env python3
"""Writes the ZIP archives that package_tests extracts, made by standard tools: Python's
zipfile and Info-ZIP zip. Usage: make_test_archives.py OUTPUT_FOLDER

The folder gets "tree" (the files every good archive holds) and one archive per case. Broken
archives are good ones with a few bytes changed, found by parsing the archive here.
"""
import io
import os
import random
import shutil
import struct
import subprocess
import sys
import zipfile

out = os.path.abspath(sys.argv[1])
tree = os.path.join(out, "tree")

# The package every good archive holds: the agent in a folder named after the version, names
# in mixed letter case and outside ASCII, nested and empty folders, an empty file, and files
# larger than the extractor's chunk, one incompressible and one compressible.
rng = random.Random(5)
FILES = {
    "Agent-2.4.1/OrvaneCloudMonitorAgent.exe": bytes(rng.getrandbits(8) for _ in range(300_000)),
    "Agent-2.4.1/appsettings.template.json": b'{\n  "Setup": { "ForceReplace": [] }\n}\n',
    "Agent-2.4.1/ReadMe.TXT": b"Orvane agent\r\n",
    "Agent-2.4.1/empty.bin": b"",
    "Agent-2.4.1/lib/Deep/Nested/Module.DLL": b"".join(
        b"line %07d of a compressible module\n" % i for i in range(60_000)),
    # Exactly two of the extractor's 128 KiB output chunks.
    "Agent-2.4.1/lib/exact-chunks.bin": bytes(range(256)) * 1024,
    "Agent-2.4.1/donn\u00e9es/r\u00e9sum\u00e9 \u20ac.txt": "caf\u00e9\n".encode(),
}
EMPTY_FOLDERS = ["Agent-2.4.1/Logs", "Agent-2.4.1/data/cache/empty"]


def write_tree():
    shutil.rmtree(tree, ignore_errors=True)
    for name, data in FILES.items():
        path = os.path.join(tree, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    for folder in EMPTY_FOLDERS:
        os.makedirs(os.path.join(tree, folder), exist_ok=True)


def tree_folders():
    folders = set()
    for name in list(FILES) + EMPTY_FOLDERS:
        parts = name.split("/")
        limit = len(parts) if name in EMPTY_FOLDERS else len(parts) - 1
        for i in range(1, limit + 1):
            folders.add("/".join(parts[:i]) + "/")
    return sorted(folders)


def python_zip(path, zf_kwargs=None, force_zip64=False, stream=None):
    """The tree through zipfile: folder entries first, the exe stored, the rest deflated."""
    target = stream if stream is not None else path
    with zipfile.ZipFile(target, "w", **(zf_kwargs or {})) as zf:
        for folder in tree_folders():
            zf.writestr(zipfile.ZipInfo(folder), b"")
        for name, data in FILES.items():
            info = zipfile.ZipInfo(name, date_time=(2024, 5, 1, 12, 0, 0))
            info.compress_type = zipfile.ZIP_STORED if name.endswith(".exe") else zipfile.ZIP_DEFLATED
            with zf.open(info, "w", force_zip64=force_zip64) as f:
                f.write(data)


class Unseekable(io.RawIOBase):
    """A write-only stream: zipfile then writes data descriptors, as when writing to a pipe."""

    def __init__(self, f):
        self.f = f

    def writable(self):
        return True

    def write(self, b):
        return self.f.write(b)


def info_zip(path, args, cwd):
    subprocess.run(["zip", "-q", *args], cwd=cwd, check=True)


def entries(path):
    """(name, central header offset, local header offset, data offset) of each entry."""
    data = open(path, "rb").read()
    with zipfile.ZipFile(path) as zf:
        infos = zf.infolist()
        end = data.rfind(b"PK\x05\x06")
        at = struct.unpack_from("<I", data, end + 16)[0]
        result = []
        for info in infos:
            assert data[at:at + 4] == b"PK\x01\x02"
            n, e, c = struct.unpack_from("<HHH", data, at + 28)
            local = info.header_offset
            ln, le = struct.unpack_from("<HH", data, local + 26)
            result.append((info.filename, at, local, local + 30 + ln + le, info))
            at += 46 + n + e + c
    return data, result


def patch(path, edits):
    data = bytearray(open(path, "rb").read())
    for offset, value in edits:
        data[offset:offset + len(value)] = value
    open(path, "wb").write(bytes(data))


def simple_zip(path, members, compress=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", compression=compress) as zf:
        for name, data in members:
            zf.writestr(zipfile.ZipInfo(name), data, compress_type=compress)


def check(condition, what):
    if not condition:
        sys.exit("make_test_archives: " + what)


def main():
    os.makedirs(out, exist_ok=True)
    write_tree()
    p = lambda name: os.path.join(out, name)

    # Good archives, all of the same tree.
    python_zip(p("nested-python.zip"))
    for name in ["nested-infozip.zip", "descriptor-infozip.zip"]:
        if os.path.exists(p(name)):
            os.remove(p(name))
    info_zip(p("nested-infozip.zip"), ["-r", p("nested-infozip.zip"), "."], tree)
    with open(p("descriptor-infozip.zip"), "wb") as f:  # zip writing to a pipe
        zip_proc = subprocess.Popen(["zip", "-q", "-r", "-", "."], cwd=tree, stdout=subprocess.PIPE)
        shutil.copyfileobj(zip_proc.stdout, f)
        check(zip_proc.wait() == 0, "zip to a pipe failed")
    with open(p("descriptor-python.zip"), "wb") as f:
        python_zip(None, stream=Unseekable(f))
    python_zip(p("zip64-forced.zip"), force_zip64=True)
    # Every size and offset that can be in a ZIP64 field, and the ZIP64 end records.
    saved = zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT
    zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = 0, 0
    try:
        python_zip(p("zip64-full.zip"), force_zip64=True)
    finally:
        zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = saved
    for name in ["descriptor-infozip.zip", "descriptor-python.zip"]:
        _, found = entries(p(name))
        check(any(info.flag_bits & 0x08 for *_, info in found), name + " has no data descriptor")
    check(b"PK\x06\x06" in open(p("zip64-full.zip"), "rb").read(), "no ZIP64 end record")
    data, found = entries(p("zip64-forced.zip"))
    check(all(data[local + 30 + len(name.encode()):][:2] == b"\x01\x00"
              for name, _, local, _, info in found if not info.is_dir()), "no ZIP64 local fields")
    for name in ["nested-python.zip", "nested-infozip.zip", "descriptor-infozip.zip",
                 "descriptor-python.zip", "zip64-forced.zip", "zip64-full.zip"]:
        subprocess.run(["unzip", "-tqq", p(name)], check=True)

    # Archives that cannot be opened, or hold nothing.
    open(p("not-a-zip.zip"), "wb").write(b"This is a text file, not a ZIP archive.\n" * 20)
    simple_zip(p("empty.zip"), [])
    simple_zip(p("folders-only.zip"), [("a/", b""), ("a/b/", b""), ("c/", b"")])
    whole = open(p("nested-python.zip"), "rb").read()
    open(p("truncated.zip"), "wb").write(whole[: len(whole) * 6 // 10])
    shutil.copy(p("nested-python.zip"), p("absurd-count.zip"))
    end = whole.rfind(b"PK\x05\x06")
    patch(p("absurd-count.zip"), [(end + 8, struct.pack("<HH", 60000, 60000))])

    # Damaged entries. Each archive starts with a good file, "first.txt".
    payload = bytes(rng.getrandbits(8) for _ in range(5000))
    simple_zip(p("corrupt-crc.zip"), [("first.txt", b"first\n"), ("payload.bin", payload)],
               compress=zipfile.ZIP_STORED)
    data, found = entries(p("corrupt-crc.zip"))
    patch(p("corrupt-crc.zip"), [(found[1][3] + 100, bytes([data[found[1][3] + 100] ^ 0xFF]))])

    zeros = b"\0" * 4_000_000
    for name, declared in [("oversized.zip", 1000), ("undersized.zip", len(zeros) + 1000)]:
        simple_zip(p(name), [("first.txt", b"first\n"), ("zeros.bin", zeros)])
        _, found = entries(p(name))
        _, central, local, _, _ = found[1]
        size = struct.pack("<I", declared)
        patch(p(name), [(central + 24, size), (local + 22, size)])

    # Directories that declare more than any disk holds (ZIP64 sizes in the central
    # directory): 1 EiB in one entry, and two entries of 8 EiB whose sum overflows 64 bits.
    for name, declared in [("huge-declared.zip", [2**60]),
                           ("overflowing-total.zip", [2**63, 2**63])]:
        saved = zipfile.ZIP64_LIMIT
        zipfile.ZIP64_LIMIT = 0
        try:
            simple_zip(p(name), [("first.txt", b"first\n")] +
                       [("huge-%d.bin" % i, b"\0" * 1000) for i in range(len(declared))])
        finally:
            zipfile.ZIP64_LIMIT = saved
        _, found = entries(p(name))
        edits = []
        for (entry, central, _, _, _), size in zip(found[1:], declared):
            extra = central + 46 + len(entry.encode())
            check(open(p(name), "rb").read()[extra:extra + 2] == b"\x01\x00", name + " ZIP64 field")
            edits.append((extra + 4, struct.pack("<Q", size)))
        patch(p(name), edits)

    simple_zip(p("truncated-entry.zip"), [("first.txt", b"first\n"), ("payload.bin", payload)],
               compress=zipfile.ZIP_STORED)
    _, found = entries(p("truncated-entry.zip"))
    _, central, local, _, _ = found[1]
    size = struct.pack("<I", len(payload) + 4000)  # more data than the archive still holds
    patch(p("truncated-entry.zip"), [(central + 20, size), (central + 24, size)])

    simple_zip(p("overlap.zip"), [("first.txt", b"A" * 100), ("second.txt", b"A" * 100)],
               compress=zipfile.ZIP_STORED)
    _, found = entries(p("overlap.zip"))
    patch(p("overlap.zip"), [(found[1][1] + 42, struct.pack("<I", found[0][2]))])

    with zipfile.ZipFile(p("unsupported-method.zip"), "w") as zf:
        zf.writestr(zipfile.ZipInfo("first.txt"), b"first\n")
        zf.writestr("packed.txt", b"lzma " * 100, compress_type=zipfile.ZIP_LZMA)
    if os.path.exists(p("encrypted.zip")):
        os.remove(p("encrypted.zip"))
    secret = os.path.join(out, "secret-src")
    os.makedirs(secret, exist_ok=True)
    open(os.path.join(secret, "first.txt"), "wb").write(b"first\n")
    info_zip(p("encrypted.zip"), ["-P", "secret", p("encrypted.zip"), "first.txt"], secret)

    # A name in CP437, the encoding of names without the UTF-8 flag: 0x82 is "\u00e9".
    simple_zip(p("cp437-name.zip"), [("cafX.txt", b"cp437\n")])
    data = open(p("cp437-name.zip"), "rb").read().replace(b"cafX.txt", b"caf\x82.txt")
    open(p("cp437-name.zip"), "wb").write(data)

    # Entry names that would land outside the destination or nowhere a file may go. Each
    # archive holds a harmless file first; none of them may write anything.
    traversal = [
        "../escape-01.txt",
        "sub/../../escape-02.txt",
        "..\\escape-03.txt",
        "sub\\..\\..\\escape-04.txt",
        "/orvane-zip-escape-05.txt",
        "\\orvane-zip-escape-06.txt",
        "C:/orvane-zip-escape-07.txt",
        "C:orvane-zip-escape-08.txt",
        "//localhost/C$/orvane-zip-escape-09.txt",
        "sub/file.txt:stream",
        "sub/.. /escape-11.txt",
        "sub/.../escape-12.txt",
        "sub/NUL.txt",
        "..",
        "sub/evil?.txt",
        "sub/evilXtxt",  # the X becomes a NUL byte below
    ]
    for i, name in enumerate(traversal, 1):
        path = p("unsafe-%02d.zip" % i)
        simple_zip(path, [("harmless.txt", b"harmless\n"), (name, b"escaped\n")])
        if "X" in name:
            data = open(path, "rb").read().replace(b"evilXtxt", b"evil\0txt")
            open(path, "wb").write(data)
    open(p("stamp"), "w").write("ok\n")


main()
