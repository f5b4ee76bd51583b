#!/usr/bin/python3
"""Tables cross the border between our engine and two independent readers/writers unchanged.

Usage: peers_test.py PATH_TO_DBFTOOL
Needs Debian's python3-dbfread and python3-dbf (run with /usr/bin/python3).
"""
import datetime
import decimal
import json
import os
import subprocess
import sys
import tempfile
import unittest

import dbf
import dbfread

DBFTOOL = None

# The rows dbftool imports: accented names (all in code page 437), numbers with and without
# decimals, logicals, dates, memo texts with line breaks, quotes and commas, one empty memo.
ROWS = [
    {"NAME": "José Müller", "AMOUNT": "12.50", "COUNT": "42", "ACTIVE": "T",
     "JOINED": "20260131", "NOTES": "line one\r\nline two"},
    {"NAME": "Zoë Ångström", "AMOUNT": "-3.25", "COUNT": "-7", "ACTIVE": "F",
     "JOINED": "19991201", "NOTES": 'says "hi", then leaves'},
    {"NAME": "Ana Peña", "AMOUNT": "0.00", "COUNT": "0", "ACTIVE": "T",
     "JOINED": "", "NOTES": ""},
    {"NAME": "François Çelik", "AMOUNT": "99999.99", "COUNT": "99999", "ACTIVE": "F",
     "JOINED": "20000229", "NOTES": "ü" * 300 + "\r\nend"},
]
DELETED_INDEX = 1  # record 2 is deleted after the import


def run_tool(*args, check=True):
    proc = subprocess.run([DBFTOOL, *args], capture_output=True)
    if check and proc.returncode != 0:
        raise AssertionError("dbftool %s failed (%d): %s" %
                             (" ".join(args), proc.returncode, proc.stderr.decode("utf-8", "replace")))
    return proc


def csv_field(value):
    if any(c in value for c in ',"\r\n'):
        return '"' + value.replace('"', '""') + '"'
    return value


class DbfreadReadsOurTables(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.table = os.path.join(self.tmp.name, "people.dbf")
        run_tool("create", self.table, "NAME,C,20", "AMOUNT,N,8,2", "COUNT,N,5,0", "ACTIVE,L",
                 "JOINED,D", "NOTES,M")
        names = list(ROWS[0].keys())
        lines = [",".join(names)]
        for row in ROWS:
            lines.append(",".join(csv_field(row[n]) for n in names))
        csv_path = os.path.join(self.tmp.name, "rows.csv")
        with open(csv_path, "w", encoding="utf-8", newline="") as f:
            f.write("\r\n".join(lines) + "\r\n")
        run_tool("import", self.table, csv_path)
        run_tool("delete", self.table, str(DELETED_INDEX + 1))

    def tearDown(self):
        self.tmp.cleanup()

    def expected(self, row):
        joined = row["JOINED"]
        return {
            "NAME": row["NAME"],
            "AMOUNT": float(row["AMOUNT"]),  # dbfread gives N fields with decimals as float
            "COUNT": int(row["COUNT"]),
            "ACTIVE": row["ACTIVE"] == "T",
            "JOINED": datetime.date(int(joined[:4]), int(joined[4:6]), int(joined[6:]))
            if joined else None,
            "NOTES": row["NOTES"],
        }

    @staticmethod
    def peer_record(record):
        """dbfread reads a headed memo text 8 bytes too long (it takes the block header's length
        as the text length, where the length counts the header too) and gives None for no memo;
        only NUL padding may follow our text."""
        r = dict(record)
        notes = r["NOTES"] or ""
        stripped = notes.rstrip("\0")
        if len(notes) - len(stripped) <= 8:
            r["NOTES"] = stripped
        return r

    def test_every_value_and_the_deletion_flag_read_back(self):
        table = dbfread.DBF(self.table, encoding="cp437", char_decode_errors="strict")
        self.assertEqual(table.field_names, list(ROWS[0].keys()))
        live = [self.peer_record(r) for r in table.records]
        deleted = [self.peer_record(r) for r in table.deleted]
        want_live = [self.expected(r) for i, r in enumerate(ROWS) if i != DELETED_INDEX]
        self.assertEqual(deleted, [self.expected(ROWS[DELETED_INDEX])])
        self.assertEqual(live, want_live)

    def test_field_layout_reads_back(self):
        table = dbfread.DBF(self.table, encoding="cp437")
        layout = [(f.name, f.type, f.length, f.decimal_count) for f in table.fields]
        self.assertEqual(layout, [("NAME", "C", 20, 0), ("AMOUNT", "N", 8, 2), ("COUNT", "N", 5, 0),
                                  ("ACTIVE", "L", 1, 0), ("JOINED", "D", 8, 0), ("NOTES", "M", 10, 0)])
        self.assertEqual(len(table), len(ROWS) - 1)

    def test_pack_leaves_a_table_the_peer_reads(self):
        run_tool("pack", self.table)
        table = dbfread.DBF(self.table, encoding="cp437")
        want = [self.expected(r) for i, r in enumerate(ROWS) if i != DELETED_INDEX]
        self.assertEqual([self.peer_record(r) for r in table], want)
        self.assertEqual(list(table.deleted), [])


class PeersFindTheCodePageInTheHeader(unittest.TestCase):
    """The header's language byte names the code page both ways, so no reader has to be told."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.tmp.cleanup()

    def test_dbfread_reads_our_accented_names_unprompted(self):
        csv_path = os.path.join(self.tmp.name, "rows.csv")
        with open(csv_path, "w", encoding="utf-8") as f:
            f.write("NAME\nJosé Müller\nπ Σ ≤ √ ∞ ░\n")
        for ansi, names in ((False, ["José Müller", "π Σ ≤ √ ∞ ░"]), (True, ["José Müller", "? ? ? ? ? ?"])):
            table = os.path.join(self.tmp.name, "ansi.dbf" if ansi else "oem.dbf")
            flag = ["--ansi"] if ansi else []
            run_tool(*flag, "create", table, "NAME,C,20")
            run_tool(*flag, *(["--replace"] if ansi else []), "import", table, csv_path)  # 1252 lacks π ...
            read = [r["NAME"] for r in dbfread.DBF(table, char_decode_errors="strict")]
            self.assertEqual(read, names)

    def test_a_windows_1252_table_of_another_program_exports_without_being_told(self):
        table = os.path.join(self.tmp.name, "peer.dbf")
        t = dbf.Table(table, "NAME C(20)", dbf_type="db3", codepage="cp1252")
        t.open(dbf.READ_WRITE)
        t.append(("José Müller €",))
        t.close()
        out = run_tool("export", table).stdout.decode("utf-8")
        self.assertEqual(out, "NAME\r\nJosé Müller €\r\n")


class EngineReadsPeerTables(unittest.TestCase):
    """Tables written by python3-dbf (dBASE III with a plain memo file) dumped through our engine."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.table = os.path.join(self.tmp.name, "peer.dbf")
        t = dbf.Table(self.table, "NAME C(20); AMOUNT N(8,2); CNT N(5,0); ACTIVE L; JOINED D; NOTES M",
                      dbf_type="db3", codepage="cp437")
        t.open(dbf.READ_WRITE)
        t.append(("José Müller", 12.5, 42, True, datetime.date(2026, 1, 31), "line one\r\nline two"))
        t.append(("Zoë Ångström", -3.25, -7, False, None, "x" * 700))
        t.append(("Ana Peña", 0, 0, True, datetime.date(2000, 2, 29), ""))
        dbf.delete(t[1])
        t.close()

    def tearDown(self):
        self.tmp.cleanup()

    def dump(self):
        out = run_tool("dump", self.table).stdout
        return json.loads(out.decode("utf-8"))

    def test_fields_and_version(self):
        d = self.dump()
        self.assertEqual(d["version"], 0x83)
        self.assertEqual([(f["name"], f["type"], f["length"], f["decimals"]) for f in d["fields"]],
                         [("NAME", "C", 20, 0), ("AMOUNT", "N", 8, 2), ("CNT", "N", 5, 0),
                          ("ACTIVE", "L", 1, 0), ("JOINED", "D", 8, 0), ("NOTES", "M", 10, 0)])

    def test_values_read_as_the_peer_stored_them(self):
        recs = self.dump()["records"]
        self.assertEqual([r["deleted"] for r in recs], [False, True, False])
        names = [r["values"][0] for r in recs]
        self.assertEqual(names, ["José Müller".ljust(20), "Zoë Ångström".ljust(20), "Ana Peña".ljust(20)])
        for r in recs:
            self.assertEqual(len(r["values"][1]), 8)
            self.assertEqual(len(r["values"][2]), 5)
        self.assertEqual([decimal.Decimal(r["values"][1].strip()) for r in recs],
                         [decimal.Decimal("12.50"), decimal.Decimal("-3.25"), decimal.Decimal("0")])
        self.assertEqual([int(r["values"][2]) for r in recs], [42, -7, 0])
        self.assertEqual([r["values"][3] for r in recs], ["T", "F", "T"])
        self.assertEqual([r["values"][4] for r in recs], ["20260131", "        ", "20000229"])
        self.assertEqual([r["values"][5] for r in recs], ["line one\r\nline two", "x" * 700, ""])

    def test_export_agrees_with_the_peer_reader(self):
        out = run_tool("export", self.table).stdout.decode("utf-8")
        lines = out.split("\r\n")
        self.assertEqual(lines[0], "NAME,AMOUNT,CNT,ACTIVE,JOINED,NOTES")
        peer = list(dbfread.DBF(self.table, encoding="cp437"))
        self.assertEqual(len(peer), 2)  # the deleted record is left out by both
        self.assertTrue(lines[1].startswith("José Müller,12.50,42,T,20260131,"))
        self.assertEqual(peer[0]["NAME"], "José Müller")


    def test_the_peer_appending_after_our_import_keeps_our_memo_texts(self):
        csv = os.path.join(self.tmp.name, "more.csv")
        with open(csv, "w", encoding="utf-8") as f:
            f.write("NAME,NOTES\r\nours one,first of ours\r\nours two,second of ours\r\n")
        run_tool("import", self.table, csv)
        t = dbf.Table(self.table)
        t.open(dbf.READ_WRITE)
        t.append(("theirs", 1, 1, True, None, "the peer's text"))
        t.close()
        notes = [r["values"][5] for r in self.dump()["records"]]
        self.assertEqual(notes[3:], ["first of ours", "second of ours", "the peer's text"])


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: peers_test.py PATH_TO_DBFTOOL")
    DBFTOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
