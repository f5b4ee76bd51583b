// The files of a pack and the order in which they replace the table and its memo file. A pack
// writes the packed table (and, when it compacts the memo file, the new memo file) under new names
// beside the old ones; once they are on disk a commit mark is created, and only then are they
// renamed over the old names. So a pack stopped at any point leaves either the old files or the
// packed ones: before the mark the new files are leftovers, after it the renames are due, and
// whoever opens the table next for writing finishes them first (a reader meanwhile reads the packed
// files under their new names). A pack that keeps the memo file renames the table alone, so the
// pair on disk agrees at every moment for every reader. Engine thread only. Layout: doc/dbf_format.md.
#pragma once

#include <memory>
#include <string>

#include "dbf/File.h"

namespace tavrin::dbf {

struct PackNames {
  std::string table;     // the table file, links resolved
  std::string memo;      // its memo file, links resolved
  std::string newTable;  // the packed table: extension $DB
  std::string newMemo;   // the packed memo file: extension $$$
  std::string mark;      // the commit mark: extension $PK
};
PackNames PackNamesFor(const std::string& tableName);

// A pack of this table committed and its renames are not all done.
bool PackIsDue(const PackNames& names);

// Finishes a committed pack: renames what is still under its new name and removes the mark.
// The caller holds the table exclusively (or knows nobody else can). 0 or a code.
int FinishPack(const PackNames& names);

// Removes new files that an uncommitted pack left behind (nothing when a pack is due).
void RemovePackLeftovers(const PackNames& names);

// Makes the written and flushed new files the table and its memo file (`newMemo` may be null):
// mark, renames, mark removed. `*committed` says whether the mark was made durable: after that a
// failure leaves the pack due rather than undone. 0 or a code.
int CommitPack(const PackNames& names, File& newTable, File* newMemo, bool* committed);

// Before a table is opened: finishes a pack that is due when `write` (taking the table
// exclusively for it; 32 when someone else has it open), or otherwise answers in `*readTable` and
// `*readMemo` the files a reader must use ("" = the usual names). 0 or a code.
int ResolveDuePack(const std::string& tableName, bool write, bool lock, std::string* readTable,
                   std::string* readMemo);

}  // namespace tavrin::dbf
