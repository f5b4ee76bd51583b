"""Reads a packed-or-not test table with dbfread, as another program would, and checks that every
record reads its own memo text. Record ID i holds 150 * i times the byte whose hex digits are the
decimal 60 + i (as the shell's printf made it); records 2 and 5 may be there (deleted) or gone,
every other one must be there and live.
Usage: memo_texts.py TABLE.dbf. Exit 0 when every record reads its own text, 1 (with the faults) else."""
import sys

import dbfread


def expected(i):
    return chr(int(str(60 + i), 16)) * (150 * i)


def own_text(note, i):
    # dbfread takes the length in a block header as the text's length, so up to 8 bytes past the
    # text are read along; the text itself must be whole and first.
    want = expected(i)
    return note is not None and note.startswith(want) and len(note) <= len(want) + 8


def main(path):
    faults = []
    table = dbfread.DBF(path, encoding="cp437", char_decode_errors="strict")
    live = []
    for rec in table:
        live.append(rec["ID"])
        if not own_text(rec["NOTE"], rec["ID"]):
            faults.append("record %s reads %r" % (rec["ID"], (rec["NOTE"] or "")[:20]))
    for rec in table.deleted:
        if rec["ID"] not in (2, 5):
            faults.append("record %s is deleted" % rec["ID"])
        if not own_text(rec["NOTE"], rec["ID"]):
            faults.append("deleted record %s reads %r" % (rec["ID"], (rec["NOTE"] or "")[:20]))
    if live != [1, 3, 4, 6, 7, 8, 9, 10]:
        faults.append("live records %s" % live)
    for f in faults:
        print(f)
    return 1 if faults else 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1]))
    except Exception as e:  # a table the reader cannot read at all is a fault too
        print("dbfread failed: %s" % e)
        sys.exit(1)
