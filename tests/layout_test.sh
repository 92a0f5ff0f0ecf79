#!/bin/sh
# The tree's shape: includes point only down the folders (bench above
# app, maphost and gpssim; those above gps and rexx; those above
# platform), product code never includes from tests/, and no product file
# is over 450 lines.
# Run from anywhere; reads the source tree the script is in.
set -u
cd "$(dirname "$0")/.." || exit 2
rank() {
  case $1 in
    bench) echo 4 ;;
    app|maphost|gpssim) echo 3 ;;
    gps|rexx) echo 2 ;;
    platform) echo 1 ;;
    *) echo 0 ;;
  esac
}
status=0
for file in $(find app bench gps gpssim maphost platform rexx tools \
                  \( -name '*.cc' -o -name '*.h' \) 2>/dev/null | sort); do
  case $file in *_test.*|*_fuzz.*|tests/*) continue ;; esac
  folder=${file%%/*}
  for included in $(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file"); do
    target=${included%%/*}
    [ "$target" = "$included" ] && continue
    [ "$target" = "$folder" ] && continue
    if [ "$target" = tests ] && [ "$folder" != bench ]; then
      echo "$file includes $included: product code never includes from tests/"
      status=1
    elif [ "$target" != tests ] && [ "$(rank "$target")" -ge "$(rank "$folder")" ]; then
      echo "$file includes $included: includes point only down the folders"
      status=1
    fi
  done
  lines=$(wc -l < "$file")
  if [ "$lines" -gt 450 ]; then
    echo "$file has $lines lines, over 450: split it by job"
    status=1
  fi
done
exit $status
