// What every dbftool command shares: its options, its two kinds of failure, the engine set up for
// one run (failures thrown, text taken untranslated and converted by the tool itself), opening a
// table with clear messages and an optional wait for another program's lock, the table's code
// page, and checked output. Single-threaded; one session per run.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "csv/TextCodec.h"

namespace tavrin::tools {

// A failure of the tool's own (bad CSV, unknown column, a value that does not fit): exit status 1.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A command line that does not make sense: the usage is printed, exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Options {
  bool ansi = false;  // the table holds Windows-1252 text (else its header says, or 437)
  bool force = false;
  bool memo = false;       // pack: compact the memo file too
  bool replace = false;    // import: store characters the table's code page lacks as '?'
  int codepage = 0;        // create: the code page number asked for (0: none; --ansi is 1252)
  bool csvCp1252 = false;  // the CSV is Windows-1252 text instead of UTF-8
  char separator = ',';
  double waitSeconds = 0;  // how long to retry a lock another program holds
  std::string command;
  std::vector<std::string> args;  // after the command: the table, then the rest
};

// Writes the command's result to stdout; a failed write throws ToolError with the system's reason.
void Write(const std::string& s);
void FlushOutput();

// Puts the engine into the tool's mode for the length of a run and closes every area at the end,
// so the header reaches the file even when a command fails half-way.
class EngineSession {
 public:
  EngineSession();
  ~EngineSession();
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;
};

enum class Access { Read, Shared, Exclusive };

// Opens the table at `path` in area 1. Read: read-only, nothing is ever written to the table or its
// memo file, and a table the user may only read opens. A table held by another program is waited
// for up to o.waitSeconds. Failures a user can act on are reported as ToolError in plain words.
void OpenTable(const Options& o, Access access);

// Retries `attempt` until it answers true or o.waitSeconds have passed; answers the last result.
bool WithWait(const Options& o, const std::function<bool()>& attempt);

// The code page of the open table's text: Windows-1252 with --ansi, else the one the header's
// language byte names (code page 437 when it names none known).
CodePage TablePage(const Options& o);
// The language byte `create` writes: the one of --codepage (or --ansi), else code page 437's.
unsigned char LanguageByte(const Options& o);
// The number of the open table's code page: 1252 with --ansi, else the one its language byte names
// (437 when it names none known here).
int TablePageNumber(const Options& o);

struct HeaderFacts {
  int version = 0;
  int headerLength = 0;
  int language = 0;  // header byte 29 (newer layout only)
};
HeaderFacts ReadHeaderFacts();

}  // namespace tavrin::tools
