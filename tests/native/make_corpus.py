#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora (committed under tests/native/corpus): small JSON
documents and small ZIP archives made by Python's zipfile, each covering one feature the
reader or parser handles. Usage: make_corpus.py [CORPUS_FOLDER]
"""
import io
import os
import struct
import sys
import zipfile
import zlib

out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                      os.path.join(os.path.dirname(__file__), "corpus"))

JSON = {
    "appsettings.json": '{\n  "ApiKey": "key",\n  "ApiSecret": "s\\u00e9cret",\n'
                        '  "FarmConfig": { "Url": "https://primary.orvane.test", "Port": 443 },\n'
                        '  "Setup": { "ForceReplace": ["FarmConfig.Url", "Logging"] },\n'
                        '  "Logging": { "Level": "Info", "Retain": 7, "Enabled": true }\n}\n',
    "numbers.json": '[0, -0.0, 01, 1., -.5, 1e, 1e-, 1E+2, 2.50, 0.1, 1e-5, 1.5e-07, '
                    '9007199254740993, 1e20, 1.7976931348623157e308, 2.2250738585072014e-308, '
                    '0.30000000000000004, 123456789.123456789]',
    "strings.json": '{"esc": "\\"\\\\\\/\\b\\f\\n\\r\\t", "u": "\\u0000\\u001f\\uD83D\\uDE00",'
                    ' "lone": "\\ud800x\\udc00", "raw": "tab\there", "b": 1, "B": 2, "a": [], '
                    '"b": {}, "": null}',
    "nested.json": "[" * 40 + "{\"k\": [true, false, null]}" + "]" * 40,
    "keys.json": '{"farmConfig": 1, "FarmConfig": 2, "\u00e9": 3, "\U0001F600": 4, "z": 5}',
    "bad-trailing-comma.json": '{"a": [1, 2,], }',
    "bad-escape.json": '"\\x41 \\u12G4"',
    "bad-after-root.json": '{} {}',
    "bom-and-space.json": "\ufeff \t\r\n{\"a\" : 1 }\n",
}


def write_json():
    folder = os.path.join(out, "json")
    os.makedirs(folder, exist_ok=True)
    for name, text in JSON.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(text.encode("utf-8", "surrogatepass"))
    # UTF-16LE after FF FE: units the UTF-8 path cannot produce (lone surrogate, NUL).
    units = '{"a": "x\ud800y\u0000z"}'
    with open(os.path.join(folder, "utf16-units.json"), "wb") as f:
        f.write(b"\xff\xfe" + units.encode("utf-16-le", "surrogatepass"))


def zip_bytes(entries, compression=zipfile.ZIP_DEFLATED, stream=False, force_zip64=False,
              comment=b""):
    buffer = io.BytesIO()

    class Unseekable(io.RawIOBase):
        def writable(self):
            return True

        def write(self, data):
            return buffer.write(data)

    target = Unseekable() if stream else buffer
    with zipfile.ZipFile(target, "w", compression) as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 2, 3, 4, 6))
            info.compress_type = compression
            if name.endswith("/"):
                info.external_attr = 0o40755 << 16 | 0x10
                z.writestr(info, b"")
            else:
                with z.open(info, "w", force_zip64=force_zip64) as f:
                    f.write(data)
        z.comment = comment
    return buffer.getvalue()


def unicode_path_zip():
    """A CP437-named entry with an Info-ZIP Unicode path field (0x7075) for its real name."""
    raw = "r\u00e9sum\u00e9.txt_".encode("cp437")  # as long as "placeholder"
    real = "r\u00e9sum\u00e9 \u20ac.txt".encode()
    extra = struct.pack("<HHBI", 0x7075, 5 + len(real), 1, zlib.crc32(raw)) + real
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as z:
        info = zipfile.ZipInfo("placeholder", date_time=(2024, 1, 2, 3, 4, 6))
        info.extra = extra
        z.writestr(info, b"hello")
    # zipfile stores names it can encode in ASCII or with the UTF-8 flag; put the CP437
    # bytes in place of the placeholder (same length) in both headers.
    data = buffer.getvalue()
    assert len(raw) == len(b"placeholder")
    return data.replace(b"placeholder", raw)


def write_zip():
    folder = os.path.join(out, "zip")
    os.makedirs(folder, exist_ok=True)
    text = b"".join(b"line %03d of the agent\n" % i for i in range(40))
    archives = {
        "stored.zip": zip_bytes([("a.txt", b"hello\n")], zipfile.ZIP_STORED),
        "deflated-tree.zip": zip_bytes([("Agent/", b""), ("Agent/bin/", b""),
                                        ("Agent/bin/x.dll", text),
                                        ("Agent/appsettings.template.json", b'{"Setup": {}}\n'),
                                        ("Agent/empty.bin", b"")]),
        "descriptor.zip": zip_bytes([("d/a.txt", text), ("d/b.txt", b"bb")], stream=True),
        "zip64.zip": zip_bytes([("big.txt", text)], force_zip64=True),
        "utf8-name.zip": zip_bytes([("donn\u00e9es/caf\u00e9 \u20ac.txt", b"caf\xc3\xa9\n")]),
        "comment.zip": zip_bytes([("c.txt", b"c")], comment=b"a comment after the end record"),
        "empty.zip": zip_bytes([]),
        "unicode-path.zip": unicode_path_zip(),
        "unsafe-name.zip": zip_bytes([("../evil.txt", b"x"), ("a\\..\\b", b"y")],
                                     zipfile.ZIP_STORED),
        "bomb.zip": zip_bytes([("zeros.bin", bytes(200_000))]),
    }
    for name, data in archives.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


write_json()
write_zip()
