#!/usr/bin/python3
"""Writes a table the way another program does: python3-dbf (Debian's) with a missing number,
amount, date and logical in record 2, and record 1's COUNT overwritten with '*' as programs do
for a number that did not fit. Usage: make_peer_table.py PATH"""
import datetime
import struct
import sys

import dbf

path = sys.argv[1]
table = dbf.Table(path, 'NAME C(10); EMAIL C(20); COUNT N(5,0); AMOUNT N(8,2); JOINED D; OK L',
                  codepage='cp437', dbf_type='db3')
table.open(dbf.READ_WRITE)
table.append(('Ann', 'ann@example.com', 42, 12.5, datetime.date(1945, 12, 31), True))
table.append(('Bob', 'bob@example.com', None, None, None, None))
table.close()

with open(path, 'r+b') as f:
    header = f.read(12)
    header_len, = struct.unpack('<H', header[8:10])
    f.seek(header_len + 1 + 10 + 20)  # record 1: flag, NAME, EMAIL, then COUNT
    f.write(b'*****')
