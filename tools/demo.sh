#!/usr/bin/env bash
# The demo: shows the usage until the whole path can be shown.
set -euo pipefail
build=${1:-build}
"$build/navbeacon" --help
