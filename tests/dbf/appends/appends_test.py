#!/usr/bin/python3
"""Appends and damage as other programs see them.

- `dbftool import` (shared appends) killed at every pwrite64 and ftruncate: dbfread lists only whole
  records, the header counts every record but at most the one being
  appended, ogrinfo agrees with the header, and a later import appends after every record.
- An import stopped by a full disk (a small tmpfs; skipped when it cannot be mounted) leaves no
  fragment of a record: the file is the header, whole counted records and at most the end marker.
- Damaged tables (a field of length 0; a table grown by zeros) are refused by every command, which
  writes nothing.

Usage: appends_test.py PATH_TO_DBFTOOL. Needs Debian's python3-dbfread (run with /usr/bin/python3);
strace, ogrinfo (gdal-bin) and mounting a tmpfs are used when available.
"""
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import dbfread

DBFTOOL = None


def tool(*args, check=True):
    proc = subprocess.run([DBFTOOL, *args], capture_output=True)
    if check and proc.returncode != 0:
        raise AssertionError("dbftool %s failed (%d): %s" %
                             (" ".join(args), proc.returncode, proc.stderr.decode("utf-8", "replace")))
    return proc


def header(path):
    with open(path, "rb") as f:
        b = f.read(12)
    count, hlen, rlen = struct.unpack("<iHH", b[4:12])
    return count, hlen, rlen


def whole_records(path):
    _, hlen, rlen = header(path)
    return max(0, (os.path.getsize(path) - hlen) // rlen)


def names(path):
    return [r["NAME"] for r in dbfread.DBF(path, encoding="cp437")]


def ogr_count(path):
    """Feature count as GDAL reads it; None when ogrinfo is not installed."""
    if shutil.which("ogrinfo") is None:
        return None
    out = subprocess.run(["ogrinfo", "-ro", "-al", "-so", path], capture_output=True, text=True)
    m = re.search(r"Feature Count: (\d+)", out.stdout)
    if not m:
        raise AssertionError("ogrinfo could not read %s: %s%s" % (path, out.stdout, out.stderr))
    return int(m.group(1))


def digest(*paths):
    h = hashlib.sha256()
    for p in paths:
        with open(p, "rb") as f:
            h.update(f.read())
    return h.hexdigest()


def write_csv(path, rows, width=None):
    with open(path, "w", newline="") as f:
        f.write("NAME\r\n")
        for r in rows:
            f.write((r if width is None else r.ljust(width, "x")) + "\r\n")


class Base(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)


class ImportKilledAtEveryWrite(Base):
    BASE = ["b1", "b2"]
    NEW = ["a1", "a2", "a3"]

    def test_every_kill_leaves_whole_counted_records(self):
        if subprocess.run(["strace", "-f", "-o", "/dev/null", "true"], capture_output=True).returncode != 0:
            self.skipTest("strace cannot trace here")
        pristine = self.path("pristine.dbf")
        tool("create", pristine, "NAME,C,10", "N,N,3")
        write_csv(self.path("base.csv"), self.BASE)
        tool("import", pristine, self.path("base.csv"))
        write_csv(self.path("new.csv"), self.NEW)
        write_csv(self.path("later.csv"), ["later"])
        probe = self.path("t.dbf")
        expected = self.BASE + self.NEW
        kills = 0
        for call in ("pwrite64", "ftruncate"):
            for n in range(1, 200):
                shutil.copy(pristine, probe)
                run = subprocess.run(["strace", "-f", "-o", "/dev/null", "-e",
                                      "inject=%s:signal=KILL:when=%d" % (call, n),
                                      DBFTOOL, "import", probe, self.path("new.csv")], capture_output=True)
                if run.returncode == 0:
                    break
                kills += 1
                where = "killed at %s #%d" % (call, n)
                count, _, _ = header(probe)
                seen = names(probe)
                self.assertEqual(seen, expected[:len(seen)], where)
                # Only the record being appended when the kill came may be uncounted (dbfread reads
                # on to the end marker, so it may list that one too).
                self.assertIn(whole_records(probe) - count, (0, 1), where)
                self.assertIn(len(seen), (count, whole_records(probe)), where)
                if ogr_count(probe) is not None:
                    self.assertEqual(ogr_count(probe), count, where)
                # Another append goes after every whole record, never over one.
                whole = whole_records(probe)
                tool("import", probe, self.path("later.csv"))
                self.assertEqual(names(probe), expected[:whole] + ["later"], where)
        self.assertGreater(kills, 3)
        shutil.copy(pristine, probe)
        tool("import", probe, self.path("new.csv"))
        self.assertEqual(names(probe), expected)
        self.assertEqual(header(probe)[0], 5)


class ImportOnAFullDisk(Base):
    def test_no_fragment_after_the_last_whole_record(self):
        mnt = self.path("mnt")
        os.mkdir(mnt)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", mnt],
                          capture_output=True).returncode != 0:
            self.skipTest("a small tmpfs cannot be mounted here (not root?)")
        try:
            table = os.path.join(mnt, "full.dbf")
            tool("create", table, "NAME,C,250")
            rows = ["r%d" % i for i in range(400)]  # 100 KB of records: more than the disk holds
            write_csv(self.path("rows.csv"), rows, width=250)
            run = tool("import", table, self.path("rows.csv"), check=False)
            self.assertNotEqual(run.returncode, 0, "the disk did not fill")
            count, hlen, rlen = header(table)
            size = os.path.getsize(table)
            self.assertGreater(count, 0)
            self.assertIn(size - (hlen + count * rlen), (0, 1), "a fragment follows the last whole record")
            seen = names(table)
            self.assertEqual(seen, [r.ljust(250, "x") for r in rows[:count]])
            if ogr_count(table) is not None:
                self.assertEqual(ogr_count(table), count)
            dump = tool("dump", table)
            self.assertEqual(dump.stdout.decode().count("\n") >= count, True)
        finally:
            subprocess.run(["umount", mnt], capture_output=True)


class DamagedTablesAreRefusedAndLeftAlone(Base):
    def test_zero_field_length_refused_by_every_command(self):
        table, memo = self.path("m.dbf"), self.path("m.dbt")
        tool("create", table, "NAME,C,4", "NOTE,M")
        with open(self.path("rows.csv"), "w") as f:
            f.write("NAME,NOTE\r\nab,first text\r\ncd,second text\r\n")
        tool("import", table, self.path("rows.csv"))
        tool("delete", table, "1")
        with open(table, "r+b") as f:  # the NOTE descriptor's length byte
            f.seek(32 + 32 + 16)
            f.write(b"\0")
        before = digest(table, memo)
        for args in (("pack", table), ("dump", table), ("import", table, self.path("rows.csv"))):
            run = tool(*args, check=False)
            self.assertNotEqual(run.returncode, 0, args)
            self.assertIn("Field NOTE has length 0", run.stderr.decode(), args)
        self.assertEqual(digest(table, memo), before)

    def test_table_grown_by_zeros_refused_by_every_command(self):
        table = self.path("z.dbf")
        tool("create", table, "NAME,C,10")
        write_csv(self.path("rows.csv"), ["x", "y", "z"])
        tool("import", table, self.path("rows.csv"))
        os.truncate(table, 50 * 1024 * 1024)  # sparse: reads as zeros
        before = digest(table)
        for args in (("pack", table), ("dump", table), ("import", table, self.path("rows.csv"))):
            run = tool(*args, check=False)
            self.assertNotEqual(run.returncode, 0, args)
            self.assertIn("is damaged: record 4 is not a record", run.stderr.decode(), args)
        self.assertEqual(digest(table), before)
        self.assertEqual(os.path.getsize(table), 50 * 1024 * 1024)


if __name__ == "__main__":
    DBFTOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
