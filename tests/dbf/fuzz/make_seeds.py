#!/usr/bin/python3
"""Writes the starting inputs of the table fuzzer into corpus/ (run once; the files are kept).

Each input is a table file, optionally followed by the memo marker and a memo file.
"""
import datetime
import os
import struct
import tempfile

import dbf

MARKER = b"\n--DBT--\n"
HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def descriptor(name, ftype, length, decimals=0):
    return name.encode().ljust(11, b"\0") + ftype.encode() + b"\0" * 4 + bytes([length, decimals]) + b"\0" * 14


def v3_table(version, fields, records, deleted=()):
    record_length = 1 + sum(f[2] for f in fields)
    header_length = 32 * len(fields) + 33
    head = struct.pack("<BBBBIHH", version, 126, 12, 7, len(records), header_length, record_length)
    head += b"\0" * 20 + b"".join(descriptor(*f) for f in fields) + b"\r"
    body = b""
    for i, rec in enumerate(records):
        body += (b"*" if i in deleted else b" ") + rec
    return head + body + b"\x1a"


def headed_memo(texts):
    """A headed-style memo file holding `texts` from block 1 on; returns (bytes, block numbers)."""
    blocks = [b"\0" * 512]
    numbers = []
    for t in texts:
        numbers.append(len(blocks))
        data = b"\xff\xff\x08\x00" + struct.pack("<i", len(t) + 8) + t
        data += b"\0" * (-len(data) % 512)
        blocks += [data[i:i + 512] for i in range(0, len(data), 512)]
    head = struct.pack("<i", len(blocks)) + b"\0" * 4 + b"seed".ljust(8, b"\0") + b"\0\0\x02\x01" + struct.pack("<H", 512)
    blocks[0] = head + b"\0" * (512 - len(head))
    return b"".join(blocks), numbers


def write(name, data):
    with open(os.path.join(CORPUS, name), "wb") as f:
        f.write(data)


def peer_table_with_plain_memo():
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "peer.dbf")
        t = dbf.Table(path, "NAME C(12); PAY N(7,2); OK L; BORN D; NOTES M", dbf_type="db3", codepage="cp437")
        t.open(dbf.READ_WRITE)
        t.append(("Jos\u00e9", 12.5, True, datetime.date(2026, 1, 31), "two\r\nlines"))
        t.append(("Ana", -1, False, None, "x" * 600))
        dbf.delete(t[1])
        t.close()
        with open(path, "rb") as f:
            table = f.read()
        with open(os.path.join(tmp, "peer.dbt"), "rb") as f:
            memo = f.read()
    return table + MARKER + memo


def main():
    os.makedirs(CORPUS, exist_ok=True)
    fields = [("NAME", "C", 10), ("AGE", "N", 3), ("PAY", "N", 8, 2), ("OK", "L", 1), ("BORN", "D", 8)]
    recs = [b"Ann       " + b" 42" + b"   12.50" + b"T" + b"20260131",
            b"Bob       " + b"  7" + b"   -1.00" + b"F" + b"        ",
            b"\x82l\x8a       " + b"***" + b"abcdefgh" + b"?" + b"2026x131"]
    write("table_without_memo_three_records_one_deleted", v3_table(0x03, fields, recs, deleted=(1,)))
    write("empty_table_header_only", v3_table(0x03, [("NAME", "C", 5)], []))
    memo, numbers = headed_memo([b"short text", b"y" * 700])
    mfields = [("NAME", "C", 4), ("NOTES", "M", 10)]
    mrecs = [b"one " + str(numbers[0]).rjust(10).encode(), b"two " + str(numbers[1]).rjust(10).encode(),
             b"none" + b" " * 10, b"bad " + b"    999999"]
    write("table_with_headed_memo_and_bad_reference", v3_table(0x8B, mfields, mrecs) + MARKER + memo)
    write("table_with_plain_memo_from_peer", peer_table_with_plain_memo())
    v2 = bytearray(521)
    v2[0] = 0x02
    struct.pack_into("<HBBBH", v2, 1, 1, 12, 7, 126, 6)
    v2[8:24] = b"NAME".ljust(11, b"\0") + b"C" + bytes([5]) + b"\0\0\0"
    v2[24] = 0x0D
    write("version2_table_one_record", bytes(v2) + b" Hello\x1a")
    write("prolog_shorter_than_32_bytes", b"\x03\x7e\x0c\x07" + b"\0" * 20)


if __name__ == "__main__":
    main()
