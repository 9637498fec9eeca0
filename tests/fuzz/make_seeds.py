#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/<target>/.

Frames carry checksums worked out here (the sum of the covered bytes modulo 256), independently of the
program's own codec. Workbooks come from two writers: Gathra itself (bench_xls's writer through the
fuzzing build: fuzz_workbook run on the "fresh" and LibreOffice-template seeds with GATHRA_FUZZ_KEEP=1
leaves the workbook it wrote in its scratch folder; pass those with --gathra-xls) and LibreOffice
(soffice --headless --convert-to xls). The .xlsx books for fuzz_xlsx come the same way (fuzz_xlsx on its
"fresh" seed, --gathra-xlsx; soffice --convert-to xlsx).
Run it by hand when the formats change:
    python3 tests/fuzz/make_seeds.py [--gathra-xls FILE...] [--gathra-xlsx FILE...]
"""
import argparse
import os
import shutil
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def checksum(covered: bytes) -> bytes:
    return b"%02X" % (sum(covered) % 256)


def frame(kind: bytes, payload: bytes, crc_type: int = 0) -> bytes:
    body = b"^" + kind + payload + b"*"
    return body + checksum(body if crc_type == 0 else payload + b"*")


def put(target: str, name: str, data: bytes) -> None:
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def frames() -> None:
    # First byte: frame type index (#, 0, 1, 5, 9, ^) and, in bit 4, the checksum coverage.
    put("fuzz_frame", "answer", b"\x00" + frame(b"#", b"TERM01@3"))
    put("fuzz_frame", "record", b"\x01" + frame(b"0", b"A001,\x83\x65\x83\x58\x83\x67,12"))
    put("fuzz_frame", "record_crc1", b"\x11" + frame(b"0", b"A001,12", crc_type=1))
    put("fuzz_frame", "trail_at", b"\x00" + frame(b"#", b"\x83\x40\x83\x40@12"))
    put("fuzz_frame", "short", b"\x05^^*")


def lines() -> None:
    # 0xFF cuts the input into read chunks, 0xFE is a timed-out read.
    put("fuzz_line_assembler", "two_lines", b"OK\r\xffVOL\r")
    put("fuzz_line_assembler", "split", b"^0A0\xff01*4\xff5\r")
    put("fuzz_line_assembler", "too_long", b"x" * 300 + b"\xff" + b"y" * 10 + b"\rEND\r")
    put("fuzz_line_assembler", "timeout", b"^0A\xfe\xffEND\r")
    # Telnet as ser2net opens an RFC 2217 connection, then a speed answer and data with a doubled IAC.
    put("fuzz_telnet", "ser2net", b"\xff\xfb\x03\xff\xfd\x03\xff\xfb\x01\xff\xfd\x00\xff\xfb\x00\xff\xfd,"
        b"\xff\xfa,e\x00\x01\xc2\x00\xff\xf0^0A\xff\xff\r")


def settings() -> None:
    utf8 = ("[Gathra]\nSaveFolder=/home/op/保存\nBaud=115200\nPort=1\nMode=0\nCrcType=0\nOverWrite=0\n"
            "AutoStart=1\nMailSub=棚卸データ\nTimeAdjust=1\nXlsField7=1\n; コメント\n").encode("utf-8")
    put("fuzz_ini", "utf8", utf8)
    put("fuzz_ini", "crlf_bom", b"\xef\xbb\xbf" + utf8.replace(b"\n", b"\r\n"))
    put("fuzz_ini", "shift_jis", utf8.decode("utf-8").encode("cp932"))
    put("fuzz_ini", "mixed", utf8 + "MailSub=件名\n".encode("cp932"))
    put("fuzz_ini", "odd", b"[gathra]\n=\n[\nkey\n[Gathra]\nSaveFolder = /tmp \n")


def backups() -> None:
    put("fuzz_backup", "records", b"A001,12\r\nA002,\x83\x65\x83\x58\r\nA003,7\r\n")
    put("fuzz_backup", "bare_ends", b"A\rB\nC\r\nD")
    put("fuzz_backup", "empty_records", b"\r\n\r\n\r\r\n")


def uploads() -> None:
    # First byte: protocol (bit 0), checksum coverage (bit 1), date in the name (bit 2), terminal ID in the
    # name (bit 3). The rest: the terminal's lines, each ending with CR.
    good = [frame(b"#", b"TERM01@3"), frame(b"0", b"A001,12"), frame(b"1", b"A002,\x83\x65\x83\x58"),
            frame(b"2", b"A003,7"), b"END"]
    put("fuzz_upload", "good", b"\x08" + b"".join(line + b"\r" for line in good))
    repeat = [frame(b"#", b"T2@2"), frame(b"0", b"R1"), frame(b"0", b"R1"), b"bad", frame(b"1", b"R2"), b"END"]
    put("fuzz_upload", "repeat_and_bad", b"\x08" + b"".join(line + b"\r" for line in repeat))
    plain = [frame(b"#", b"P1@2"), b"rec1,1", b"rec2,2", b"END"]
    put("fuzz_upload", "protocol1", b"\x09" + b"".join(line + b"\r" for line in plain))


def mail_headers() -> None:
    # First byte: bit 0 makes the text the sender instead of the recipient. A 0x00 separates the address
    # (or subject) from the file name.
    put("fuzz_mail_header", "japanese_name", b"\x00" + "棚卸 担当 <user@example.jp>".encode("utf-8") + b"\x00"
        + "棚卸データ.xls".encode("utf-8"))
    put("fuzz_mail_header", "cp932_sender", b"\x01" + "在庫 <a@b.jp>".encode("cp932") + b"\x00report.txt")
    put("fuzz_mail_header", "smuggled", b"\x00a@b> NOTIFY=NEVER\x00x\r\nBcc: c@d")
    put("fuzz_mail_header", "quoted", b'\x00"A, B" <a@b.jp>\x00' + b"n" * 120)


def libreoffice_book(csv_text: str, extension: str):
    """The book LibreOffice makes of `csv_text` as .xls or .xlsx, or None without LibreOffice."""
    soffice = shutil.which("soffice")
    if soffice is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        csv = os.path.join(tmp, "lo.csv")
        with open(csv, "w", encoding="utf-8") as f:
            f.write(csv_text)
        subprocess.run([soffice, "-env:UserInstallation=file://" + tmp + "/profile", "--headless",
                        "--convert-to", extension, "--outdir", tmp, csv], check=True, capture_output=True,
                       timeout=300)
        with open(os.path.join(tmp, "lo." + extension), "rb") as f:
            return f.read()


def workbooks(gathra_xls) -> None:
    for i, path in enumerate(gathra_xls):
        with open(path, "rb") as f:
            put("fuzz_workbook", "gathra_%d" % i, b"\x00" + f.read())
    put("fuzz_workbook", "fresh", b"\x80")
    # "shared_chain" (kept, not rewritten here): sixteen streams of 8 KiB on one chain of 8 KiB, built
    # like the crafted books of workbook_faults_test.
    data = libreoffice_book("A001,テスト,12,3.5\nA002,,7,-1\n", "xls")
    if data is None:
        return
    # First byte: extend it as the output (bit 0 clear) or use it as the template (bit 0 set).
    put("fuzz_workbook", "libreoffice_extend", b"\x00" + data)
    put("fuzz_workbook", "libreoffice_template", b"\x01" + data)


def xlsx_workbooks(gathra_xlsx) -> None:
    # First byte: bit 0 set uses the book as the template; a one-byte input makes a new book.
    for i, path in enumerate(gathra_xlsx):
        with open(path, "rb") as f:
            put("fuzz_xlsx", "gathra_%d" % i, b"\x00" + f.read())
    put("fuzz_xlsx", "fresh", b"\x80")
    data = libreoffice_book("1,テスト,12,3.5\n2,,7,-1\n,=1+1,x,\n", "xlsx")
    if data is None:
        return
    put("fuzz_xlsx", "libreoffice_extend", b"\x00" + data)
    put("fuzz_xlsx", "libreoffice_template", b"\x01" + data)
    put("fuzz_xlsx", "libreoffice_split_append", b"\x08" + data)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--gathra-xls", nargs="*", default=[])
    parser.add_argument("--gathra-xlsx", nargs="*", default=[])
    args = parser.parse_args()
    frames()
    lines()
    settings()
    backups()
    uploads()
    mail_headers()
    os.makedirs(os.path.join(CORPUS, "fuzz_workbook"), exist_ok=True)
    workbooks(args.gathra_xls)
    xlsx_workbooks(args.gathra_xlsx)


if __name__ == "__main__":
    main()
