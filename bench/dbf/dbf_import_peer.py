#!/usr/bin/python3
"""Appends the rows of a CSV file to a new table with python3-dbf, the way dbftool import does.

Usage: dbf_import_peer.py TABLE CSV
Prints: python3-dbf <records> <seconds> <peak RSS KiB>
"""
import csv
import datetime
import resource
import sys
import time

import dbf


def main():
    table_path, csv_path = sys.argv[1], sys.argv[2]
    start = time.perf_counter()
    table = dbf.Table(table_path, "NAME C(30); EMAIL C(40); AMOUNT N(10,2); JOINED D",
                      dbf_type="db3", codepage="cp437")
    table.open(dbf.READ_WRITE)
    count = 0
    with open(csv_path, newline="", encoding="utf-8") as f:
        reader = csv.reader(f)
        next(reader)
        for name, email, amount, joined in reader:
            day = datetime.date(int(joined[:4]), int(joined[4:6]), int(joined[6:]))
            table.append((name, email, float(amount), day))
            count += 1
    table.close()
    seconds = time.perf_counter() - start
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("python3-dbf %d %.6f %d" % (count, seconds, rss))


if __name__ == "__main__":
    main()
