#!/usr/bin/env python3
"""Builds the few carving fixtures for which no free writer exists: RAR 4 and
RAR 5 archives (stored), camera raw files told apart only by their header
(ORF "IIRO", RW2 "IIU", CR2 with "CR" at byte 8), a Fujifilm RAF and a Canon
CR3 around a real JPEG, and a flat ODF presentation for LibreOffice to convert."""
import struct
import sys
import zlib


def retag(src, marker, out):
    data = bytearray(open(src, "rb").read())
    assert data[:4] == b"II*\0", "a little-endian TIFF is expected"
    data[2] = marker
    data[3] = 0x4F if marker == 0x52 else 0x00
    open(out, "wb").write(data)


def cr2(jpeg_path, out):
    jpeg = open(jpeg_path, "rb").read()
    entries = []
    data_at = 16 + 2 + 12 * 5 + 4
    jpeg_at = data_at

    def entry(tag, typ, count, value):
        entries.append(struct.pack("<HHII", tag, typ, count, value))

    entry(0x0100, 3, 1, 160)
    entry(0x0101, 3, 1, 120)
    entry(0x0103, 3, 1, 6)
    entry(0x0111, 4, 1, jpeg_at)
    entry(0x0117, 4, 1, len(jpeg))
    head = b"II*\0" + struct.pack("<I", 16) + b"CR\x02\x00" + struct.pack("<I", 0)
    ifd = struct.pack("<H", len(entries)) + b"".join(entries) + struct.pack("<I", 0)
    open(out, "wb").write(head + ifd + jpeg)


def raf(jpeg_path, out):
    jpeg = open(jpeg_path, "rb").read()
    header = bytearray(160)
    header[0:16] = b"FUJIFILMCCD-RAW "
    header[16:20] = b"0201"
    header[20:28] = b"FF383501"
    header[28:60] = b"X-T3".ljust(32, b"\0")
    header[60:64] = b"0100"
    jpeg_at = len(header)
    cfa_header_at = jpeg_at + len(jpeg) + (-len(jpeg) % 16)
    cfa_header = struct.pack(">I", 2) + struct.pack(">HHI", 0x100, 4, 0x00780050) + bytes(6)
    cfa_at = cfa_header_at + len(cfa_header) + (-len(cfa_header) % 16)
    cfa = bytes((x * 7 + y * 3) & 0xFF for y in range(48) for x in range(80))
    struct.pack_into(">IIIIII", header, 84, jpeg_at, len(jpeg), cfa_header_at, len(cfa_header), cfa_at, len(cfa))
    body = bytearray(header)
    body += jpeg + bytes(cfa_header_at - jpeg_at - len(jpeg))
    body += cfa_header + bytes(cfa_at - cfa_header_at - len(cfa_header))
    body += cfa
    open(out, "wb").write(body)


def box(kind, payload):
    return struct.pack(">I", 8 + len(payload)) + kind + payload


def cr3(jpeg_path, out):
    jpeg = open(jpeg_path, "rb").read()
    ftyp = box(b"ftyp", b"crx " + struct.pack(">I", 1) + b"crx isom")
    canon = bytes.fromhex("85c0b687820f11e08111f4ce462b6a48")
    cncv = box(b"CNCV", b"CanonCR3_001/00.09.00/00.00.00")
    uuid = box(b"uuid", canon + cncv)
    mvhd = box(b"mvhd", bytes(4) + struct.pack(">IIII", 0, 0, 1000, 1000) + bytes(80))
    moov = box(b"moov", uuid + mvhd)
    mdat = box(b"mdat", jpeg)
    open(out, "wb").write(ftyp + moov + mdat)


def rar4(src, out):
    data = open(src, "rb").read()
    name = b"numbers.txt"

    def block(typ, flags, body):
        rest = struct.pack("<BHH", typ, flags, 7 + len(body)) + body
        return struct.pack("<H", zlib.crc32(rest) & 0xFFFF) + rest

    archive = block(0x73, 0, bytes(6))
    fields = struct.pack("<IIBIIBBHI", len(data), len(data), 3, zlib.crc32(data), 0x51210000, 20, 0x30,
                         len(name), 0o100644)
    file_header = block(0x74, 0x8000, fields + name)
    end = block(0x7B, 0x4000, b"")
    open(out, "wb").write(b"Rar!\x1a\x07\x00" + archive + file_header + data + end)


def vint(value):
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def rar5(src, out):
    data = open(src, "rb").read()
    name = b"numbers.txt"

    def header(body):
        sized = vint(len(body)) + body
        return struct.pack("<I", zlib.crc32(sized)) + sized

    main = header(vint(1) + vint(0) + vint(0))
    fields = (vint(2) + vint(0x02) + vint(len(data)) + vint(0x04) + vint(len(data)) + vint(0o100644)
              + struct.pack("<I", zlib.crc32(data)) + vint(0) + vint(1) + vint(len(name)) + name)
    file_header = header(fields)
    end = header(vint(5) + vint(0) + vint(0))
    open(out, "wb").write(b"Rar!\x1a\x07\x01\x00" + main + file_header + data + end)


FODP = """<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0"
 xmlns:presentation="urn:oasis:names:tc:opendocument:xmlns:presentation:1.0"
 office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.presentation">
 <office:body><office:presentation>
  <draw:page draw:name="page1">
   <draw:frame svg:x="2cm" svg:y="2cm" svg:width="20cm" svg:height="3cm">
    <draw:text-box><text:p>Sovanta finder filerne igen</text:p></draw:text-box>
   </draw:frame>
  </draw:page>
 </office:presentation></office:body>
</office:document>
"""


def main():
    kind = sys.argv[1]
    if kind == "retag":
        retag(sys.argv[2], int(sys.argv[3], 0), sys.argv[4])
    elif kind in ("cr2", "raf", "cr3", "rar4", "rar5"):
        globals()[kind](sys.argv[2], sys.argv[3])
    elif kind == "fodp":
        open(sys.argv[2], "w").write(FODP)
    else:
        sys.exit("unknown kind " + kind)


if __name__ == "__main__":
    main()
