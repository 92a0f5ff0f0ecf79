#!/usr/bin/env bash
# Runs every fuzz target in BUILD_DIR for SECONDS; fails on any finding.
set -euo pipefail
build=$1
seconds=$2
status=0
for target in "$build"/*_fuzz; do
  name=$(basename "$target")
  corpus=$(mktemp -d)
  echo "fuzzing $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
       -artifact_prefix="$build/$name-" "$corpus" 2>"$build/$name.log"; then
    tail -30 "$build/$name.log"
    echo "fuzz: $name found a fault; the input is in $build/$name-*" >&2
    status=1
  else
    tail -1 "$build/$name.log"
  fi
  rm -rf "$corpus"
done
exit $status
