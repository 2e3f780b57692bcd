# What the benchmark scripts share. Source it after setting `bench` (the script's name, for
# messages); query and create_database use $url, the server's base URL.

say() { echo "$bench: $*" >&2; }
die() { echo "$bench: $*" >&2; exit 1; }

# build_release DIR TARGET...: configures DIR as a Release build without the tests and
# the window, and builds the targets there; dies with the build's output when it fails.
build_release() {
  local dir=$1 log
  shift
  say "building $* (Release) in $dir"
  log=$(mktemp "${TMPDIR:-/tmp}/quarvel-bench-build.XXXXXX")
  if ! { cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DQUARVEL_BUILD_TESTS=OFF -DQUARVEL_BUILD_GUI=OFF &&
         cmake --build "$dir" -j"$(nproc)" --target "$@"; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    die "the build failed"
  fi
  rm -f "$log"
}

# Runs one InfluxQL statement; prints the JSON answer, fails on an error in it.
query() {
  local answer
  answer=$(curl -sS --fail -XPOST "$url/query" --data-urlencode "q=$1") || die "query failed: $1"
  if grep -q '"error"' <<<"$answer"; then die "query failed: $1: $answer"; fi
  echo "$answer"
}

policies=(RP_Sec RP_Min RP_Hour RP_Day)
measurements=(datalogX datalogM datalogH datalogD)  # each in the policy of the same index

create_database() {
  query "CREATE DATABASE \"$1\"" >/dev/null
  for rp in "${policies[@]}"; do
    query "CREATE RETENTION POLICY \"$rp\" ON \"$1\" DURATION INF REPLICATION 1" >/dev/null
  done
}

ticks=$(getconf CLK_TCK)
# CPU time (user + system) a process has used so far, in clock ticks; empty if unknown.
process_ticks() {
  [ -n "$1" ] && [ -r "/proc/$1/stat" ] || return 0
  sed 's/^.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'
}
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

# Lines written, from quarvel-cli's summary on its standard error.
lines_written() { awk -F: '/^Lines written:/ { gsub(/[ ,]/, "", $2); print $2 }' "$1"; }
