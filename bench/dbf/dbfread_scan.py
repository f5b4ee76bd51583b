#!/usr/bin/python3
"""Scans a table with python3-dbfread reading NAME and EMAIL of every record.

Prints: dbfread <records> <seconds> <peak RSS KiB>
"""
import resource
import sys
import time

import dbfread


def main():
    path = sys.argv[1]
    start = time.perf_counter()
    count = 0
    total = 0
    for record in dbfread.DBF(path, encoding="cp437", load=False):
        total += len(record["NAME"]) + len(record["EMAIL"])
        count += 1
    seconds = time.perf_counter() - start
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("dbfread %d %.6f %d %d" % (count, seconds, rss, total))


if __name__ == "__main__":
    main()
