#!/usr/bin/env bash
# make bench: the figures of docs/benchmarks.md.
set -euo pipefail
bench=$1/navbeacon_bench
echo "== CPU cost of the parts (Google Benchmark)"
"$bench" --benchmark_min_time=0.5
echo
echo "== Instructions of one parse of a 9999-byte snapshot (callgrind)"
out=$(mktemp)
times=100
valgrind --tool=callgrind --callgrind-out-file="$out" \
  --toggle-collect='ParseRmcPosition*' "$bench" --parse-times $times 2>/dev/null
total=$(callgrind_annotate "$out" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
rm -f "$out"
echo "$total instructions for $times parses: $((total / times)) per parse," \
  "$(awk -v t="$total" -v n="$times" 'BEGIN { printf "%.1f", t / n / 9999 }') per byte"
echo
echo "== Whole program"
"$bench" --run-cost 20
"$bench" --window 3
"$bench" --break 20
"$bench" --latency 50
"$bench" --launch 30
"$bench" --follow 60
"$bench" --follow-flat 100
echo
echo "== The web map (navbeacon-maphost --web in headless Chromium)"
/usr/bin/python3 "$(dirname "$0")/web_bench.py" "$1" "$(cat "$1/nmea-dir")" 30
echo "== The web map under hostile clients"
/usr/bin/python3 "$(dirname "$0")/web_hostile_bench.py" "$1" "$(cat "$1/nmea-dir")"
echo "== navbeacon-maphost --marble (Marble under Xvfb)"
"$(dirname "$0")/../tools/with-marble.sh" "$bench" --marble 30
