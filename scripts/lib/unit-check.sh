#!/usr/bin/env bash
# Fails when a systemd unit has a line systemd does not take, or when systemd-analyze
# rates its exposure above 2.5 (a bare service scores 8.4 or more). Skipped, with a
# message, where systemd-analyze or its offline mode is missing.
#
#   scripts/lib/unit-check.sh UNIT-FILE
set -euo pipefail
unit=${1:?usage: unit-check.sh UNIT-FILE}
[ -f "$unit" ] || { echo "unit-check: no $unit"; exit 1; }
if ! command -v systemd-analyze >/dev/null || ! systemd-analyze security --help 2>&1 | grep -q -- --offline; then
  echo "unit-check: skipped: no systemd-analyze with --offline here"
  exit 0
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
# --threshold is in tenths: 25 is an exposure of 2.5.
systemd-analyze security --offline=true --threshold=25 "$unit" >"$log" 2>&1 || status=$?
score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$log")
# Warnings name the file and line of a setting that was ignored.
if grep -F "$(basename "$unit"):" "$log" | grep -v 'Overall exposure'; then
  echo "unit-check: $unit has lines systemd ignores"
  exit 1
fi
[ -n "$score" ] || { cat "$log"; echo "unit-check: systemd-analyze gave no exposure for $unit"; exit 1; }
if [ "$status" -ne 0 ]; then
  grep '✗' "$log" || true
  echo "unit-check: $unit is rated $score, above 2.5"
  exit 1
fi
echo "unit-check: $unit is rated $score (at most 2.5)"
