#!/bin/sh
# Creates the sample recipients table (NAME C(40), EMAIL C(60)) from recipients.csv beside this
# script, unless a table is already there. Usage: make_sample_table.sh BIN_DIR TABLE_PATH
set -eu
if [ $# -ne 2 ]; then
  echo "usage: $0 BIN_DIR TABLE_PATH" >&2
  exit 2
fi
bin_dir=$1
table=$2
here=$(cd "$(dirname "$0")" && pwd)
tool="$bin_dir/dbftool"

if [ -e "$table" ]; then
  exit 0
fi
if [ ! -x "$tool" ]; then
  echo "$0: $tool not found (build the project first)" >&2
  exit 1
fi
mkdir -p "$(dirname "$table")"
"$tool" create "$table" NAME,C,40 EMAIL,C,60
if ! "$tool" import "$table" "$here/recipients.csv"; then
  # Leave no half-filled table behind: the next run starts over.
  rm -f "$table"
  exit 1
fi
echo "Created $table with the sample recipients."
