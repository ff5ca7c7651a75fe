#!/usr/bin/python3
"""Writes codec_vectors.txt: reference results of Python's base64 and quopri modules.

Run from this folder with /usr/bin/python3. Each line is
    <kind> <flag> <input as hex> <expected output as hex>
(an empty field is written as "-"). Kinds: base64-encode, base64-decode (flag 1: flush the
incomplete last group), qp-decode (flag 1: "_" is a blank, as in encoded header words).
"""
import base64
import quopri
import random

rng = random.Random(20240607)
lines = []


def add(kind, flag, data, expected):
    lines.append(f"{kind} {flag} {data.hex() or '-'} {expected.hex() or '-'}")


def mime_base64(data):
    # encodebytes breaks lines after 76 characters with LF and ends with one; the mail form uses
    # CR LF between lines and none at the end.
    return base64.encodebytes(data).rstrip(b"\n").replace(b"\n", b"\r\n")


samples = [b"", b"f", b"fo", b"foo", b"foob", b"fooba", b"foobar", bytes(range(256))]
samples += [rng.randbytes(n) for n in (1, 2, 3, 56, 57, 58, 59, 60, 113, 114, 115, 171, 172, 1000)]
for data in samples:
    add("base64-encode", 0, data, mime_base64(data))

for data in samples:
    encoded = mime_base64(data)
    # Without the flush flag a padded last group is incomplete (padding is skipped, not counted),
    # so only texts of whole groups decode completely.
    if len(data) % 3 == 0:
        add("base64-decode", 0, encoded, base64.b64decode(encoded))
    add("base64-decode", 1, encoded, base64.b64decode(encoded))
    # Blanks, tabs and stray line ends anywhere are skipped.
    noisy = b" \t".join(encoded[i:i + 5] for i in range(0, len(encoded), 5)) + b"\r\n"
    add("base64-decode", 1, noisy, base64.b64decode(noisy, validate=False))
    # Without padding the flush flag still yields the incomplete group's whole bytes.
    bare = encoded.rstrip(b"=")
    add("base64-decode", 1, bare, base64.b64decode(bare + b"=" * (-len(bare.replace(b"\r\n", b"")) % 4)))

qp_inputs = [
    b"a=3Db", b"=3d=3D", b"caf=C3=A9", b"soft=\r\nbreak", b"soft=\nbreak", b"end=",
    b"=G1", b"=4G", b"=4", b"100% = sure", b"a_b=5Fc", b"=\r\n=\r\n", b"line\r\nnext\r\n",
    b"tail=\r\n", b"=e2=82=ac euro", b"=\n", b"= \r\n",
    bytes(range(33, 127)).replace(b"=", b""),
]
for data in qp_inputs:
    add("qp-decode", 0, data, quopri.decodestring(data))
    add("qp-decode", 1, data, quopri.decodestring(data, header=True))

with open("codec_vectors.txt", "w") as out:
    out.write("# Made by make_codec_vectors.py from Python's base64 and quopri modules.\n")
    out.write("\n".join(lines) + "\n")
