#!/usr/bin/env python3
"""The .xlsx tests' independent side: openpyxl reads what Gathra wrote, zipfile crafts hostile books.

  xlsx_tool.py read BOOK                 one line per sheet ("#" and its name), then one per cell:
                                         sheet number, reference, openpyxl's type, the value as JSON
  xlsx_tool.py craft KIND BOOK OUT       OUT is BOOK made hostile in one way (see KINDS)
  xlsx_tool.py mentions BOOK WORD        the entries whose name or content holds WORD
  xlsx_tool.py same ORIGINAL BOOK PART.. every entry of ORIGINAL but the PARTs is in BOOK with the same
                                         method, CRC and compressed bytes; prints the ones that are not
"""
import json
import struct
import sys
import warnings
import zipfile
import zlib

import openpyxl

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


def read(path):
    book = openpyxl.load_workbook(path)
    for number, sheet in enumerate(book.worksheets, 1):
        print("#\t" + sheet.title)
        for row in sheet.iter_rows():
            for cell in row:
                if cell.value is not None:
                    print("%d\t%s\t%s\t%s" % (number, cell.coordinate, cell.data_type,
                                              json.dumps(cell.value, ensure_ascii=False)))


def sheet(data):
    return ('<?xml version="1.0" encoding="UTF-8"?>' + data.replace("MAIN", MAIN)).encode()


SHEETS = {
    "dtd": '<!DOCTYPE worksheet [<!ENTITY a "aaaaaaaa"><!ENTITY b "&a;&a;&a;&a;">]>'
           '<worksheet xmlns="MAIN"><sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>&b;</t></is></c>'
           '</row></sheetData></worksheet>',
    "rows": '<worksheet xmlns="MAIN"><sheetData><row r="1048577"><c r="A1048577"><v>1</v></c></row>'
            '</sheetData></worksheet>',
    "columns": '<worksheet xmlns="MAIN"><sheetData><row r="1"><c r="XFE1"><v>1</v></c></row>'
               '</sheetData></worksheet>',
    "calcchain": '<worksheet xmlns="MAIN"><sheetData><row r="1"><c r="A1"><f>1+1</f><v>2</v></c></row>'
                 '</sheetData></worksheet>',
    "strings": '<worksheet xmlns="MAIN"><sheetData><row r="1"><c r="A1" t="s"><v>7</v></c></row>'
               '</sheetData></worksheet>',
}


# Sheets of many repeated pieces, as (head, piece, count, tail): a declared size of 2,000 bytes over 1 GiB
# of blanks; 32 MiB of elements never closed; 4.9 million <col> elements.
FLOODS = {
    "liar": ('<worksheet xmlns="MAIN"><sheetData>', b" " * (1 << 20), 1024, b"</sheetData></worksheet>"),
    "nesting": ('<worksheet xmlns="MAIN"><sheetData>', b"<a>" * (1 << 18), 43, b""),
    "cols": ('<worksheet xmlns="MAIN"><cols>', b'<col min="1" max="1" style="1"/>' * (1 << 15), 150,
             b"</cols><sheetData/></worksheet>"),
}


class Repeating:
    """Deflate that compresses a repeated piece once: each ends on a full flush, so it stands alone."""

    def __init__(self, *_):
        self.made = {}

    def compress(self, data):
        if data not in self.made:
            deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
            self.made[data] = deflate.compress(data) + deflate.flush(zlib.Z_FULL_FLUSH)
        return self.made[data]

    def flush(self):
        return b"\x03\x00"  # an empty last block


def flood(target, name, kind):
    head, piece, count, tail = FLOODS[kind]
    usual, zipfile._get_compressor = zipfile._get_compressor, Repeating
    try:
        with target.open(name, "w") as entry:
            entry.write(sheet(head))
            for _ in range(count):
                entry.write(piece)
            entry.write(tail)
    finally:
        zipfile._get_compressor = usual


def craft(kind, path, out):
    with open(path, "rb") as f:
        original = f.read()
    if kind == "damaged":
        with open(out, "wb") as f:
            f.write(original[: len(original) // 2] + original[-200:])
        return
    source = zipfile.ZipFile(path)
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as target:
        for info in source.infolist():
            data = source.read(info)
            if kind in FLOODS and info.filename == "xl/worksheets/sheet1.xml":
                flood(target, info.filename, kind)
                continue
            if kind in SHEETS and info.filename == "xl/worksheets/sheet1.xml":
                data = sheet(SHEETS[kind])
            if kind == "calcchain" and info.filename == "xl/_rels/workbook.xml.rels":
                data = data.replace(b"</Relationships>", b'<Relationship Id="rIdC" Type="http://schemas.'
                                    b'openxmlformats.org/officeDocument/2006/relationships/calcChain" '
                                    b'Target="calcChain.xml"/></Relationships>')
            if kind == "shared" and info.filename == "xl/workbook.xml":
                data = data.replace(b"</sheets>", b'<sheet name="Again" sheetId="99" r:id="rId1"/></sheets>')
            if kind == "calcchain" and info.filename == "[Content_Types].xml":
                data = data.replace(b"</Types>", b'<Override PartName="/xl/calcChain.xml" ContentType="'
                                    b'application/vnd.openxmlformats-officedocument.spreadsheetml.calcChain+xml"'
                                    b'/></Types>')
            target.writestr(info.filename, data)
        if kind == "calcchain":
            target.writestr("xl/calcChain.xml", sheet('<calcChain xmlns="MAIN"><c r="A1" i="1"/></calcChain>'))
        if kind == "dotdot":
            target.writestr("xl/../../evil.txt", b"x")
        elif kind == "absolute":
            target.writestr("/etc/evil.txt", b"x")
        elif kind == "twin":
            target.writestr("xl/styles.xml", source.read("xl/styles.xml"))
        elif kind == "bomb":
            target.writestr("xl/media/zeros.bin", bytes(1 << 16))
    if kind == "bomb":
        declare_size(out, "xl/media/zeros.bin", 600 << 20)
    elif kind == "liar":
        declare_size(out, "xl/worksheets/sheet1.xml", 2000)


# Makes the headers of entry `name` declare `size` unpacked bytes, as a zip bomb's do.
def declare_size(path, name, size):
    info = zipfile.ZipFile(path).getinfo(name)
    with open(path, "r+b") as f:
        data = bytearray(f.read())
    struct.pack_into("<I", data, info.header_offset + 22, size)
    central = data.rfind(b"PK\x01\x02" + data[info.header_offset + 4:info.header_offset + 6])
    while data[central + 46:central + 46 + len(name)] != name.encode():
        central = data.rfind(b"PK\x01\x02", 0, central)
    struct.pack_into("<I", data, central + 24, size)
    with open(path, "wb") as f:
        f.write(data)


def mentions(path, word):
    book = zipfile.ZipFile(path)
    for info in book.infolist():
        if word in info.filename or word.encode() in book.read(info):
            print(info.filename)


def same(original, book, parts):
    a = zipfile.ZipFile(original)
    b = zipfile.ZipFile(book)
    for info in a.infolist():
        if info.filename in parts:
            continue
        try:
            other = b.getinfo(info.filename)
        except KeyError:
            print("missing " + info.filename)
            continue
        if (info.compress_type, info.CRC, info.compress_size) != (other.compress_type, other.CRC,
                                                                  other.compress_size) or \
                raw(original, info) != raw(book, other):
            print("changed " + info.filename)


def raw(path, info):
    with open(path, "rb") as f:
        f.seek(info.header_offset)
        header = f.read(30)
        skip = int.from_bytes(header[26:28], "little") + int.from_bytes(header[28:30], "little")
        f.seek(skip, 1)
        return f.read(info.compress_size)


if __name__ == "__main__":
    warnings.simplefilter("ignore")  # zipfile warns of the twin entries it is asked to write
    command = sys.argv[1]
    if command == "read":
        read(sys.argv[2])
    elif command == "craft":
        craft(sys.argv[2], sys.argv[3], sys.argv[4])
    elif command == "mentions":
        mentions(sys.argv[2], sys.argv[3])
    elif command == "same":
        same(sys.argv[2], sys.argv[3], set(sys.argv[4:]))
