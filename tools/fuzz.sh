#!/usr/bin/env bash
# Runs every fuzz target in BUILD_DIR for SECONDS; fails on any finding.
set -euo pipefail
build=$1
seconds=$2
status=0

# A few well-formed inputs to start from, so that the fuzzer reaches past
# the checksum and the magic early.
seed() {
  case $1 in
    gpsd_client_fuzz)
      # The first byte: bit 0 keeps the peer silent after its lines instead
      # of hanging up, bit 1 makes it a listing for /dev/ttyACM0.
      printf '\x02{"class":"VERSION","release":"3.22"}\r\n{"class":"DEVICES","devices":[{"class":"DEVICE","path":"/dev/ttyACM0","activated":"2026-01-01T00:00:00.000Z"}]}\r\n$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n' >"$2/listed"
      printf '\x01{"class":"WATCH","enable":true,"nmea":true}\r\n{"class":"TPV","mode":1}\r\n$GPGGA,1,2*4E\r\n' >"$2/watching"
      printf '\x00{"class":"ERROR","message":"Unrecognized request"}\r\n' >"$2/error"
      # gpsd's answer to ?POLL, at the time the target's clock reads.
      printf '\x01{"class":"POLL","time":"2026-12-06T12:00:00.300Z","active":1,"tpv":[{"class":"TPV","device":"/dev/ttyACM0","mode":3,"time":"2026-12-06T12:00:00.000Z","lat":-33.856426667,"lon":151.217416667}],"sky":[]}\r\n' >"$2/polled"
      ;;
    position_fuzz)
      printf '$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n' >"$2/munich"
      printf '$GPGGA,1,2*4E\r\n$GPRMC,081836,A,3751.65,S,14507.36,E,000.0,360.0,130998,011.3,E*62' >"$2/melbourne"
      ;;
    rexx_reply_fuzz)
      printf 'RXR1\0\0\0\0\1\2\0\0\0OK' >"$2/ok"
      printf 'RXM1\0\0\2\0\3\0MAP\0\0\1\0\4\0\0\0goto' >"$2/request"
      ;;
    goto_text_fuzz)
      printf 'goto 48.1173 11.516667 12' >"$2/munich"
      printf 'goto -90 -180.000001 -2147483648' >"$2/edge"
      ;;
    read_args_fuzz)
      printf '\x00/dev/ttyACM\x000\x009600\x00ZOOM=12\x00VERBOSE' >"$2/words"
      ;;
  esac
}
for target in "$build"/*_fuzz; do
  name=$(basename "$target")
  corpus=$(mktemp -d)
  seed "$name" "$corpus"
  echo "fuzzing $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
       -artifact_prefix="$build/$name-" "$corpus" 2>"$build/$name.log"; then
    tail -30 "$build/$name.log"
    echo "fuzz: $name found a fault; the input is in $build/$name-*" >&2
    status=1
  else
    # The final coverage, e.g. "#123456 DONE cov: 310 ft: 1024 corp: 80/3Kb".
    echo "$name: final $(grep -m1 -E '^#[0-9]+[[:space:]]+DONE' "$build/$name.log" | grep -oE 'cov: [0-9]+ ft: [0-9]+')"
  fi
  rm -rf "$corpus"
done
exit $status
