# Starts and stops throwaway VictoriaMetrics servers on 127.0.0.1 with their data in
# temporary folders, beside the private influxd of scripts/lib/influxd.sh (source that
# first: its free_port and wait_answering are used). start_victoria VARIABLE [RETENTION]
# starts one, with -retentionPeriod RETENTION unless empty (the server's default then,
# one month), and exports its base URL in VARIABLE; every one stops on exit.

victoria_dirs=()
victoria_pids=()

start_victoria() {
  local variable=$1 retention=${2:-} port dir url pid flags=()
  dir=$(mktemp -d "${TMPDIR:-/tmp}/quarvel-victoria.XXXXXX")
  port=$(free_port)
  [ -z "$retention" ] || flags=(-retentionPeriod "$retention")
  victoria-metrics -storageDataPath "$dir/data" -httpListenAddr "127.0.0.1:$port" ${flags[@]+"${flags[@]}"} \
    >"$dir/victoria.log" 2>&1 &
  pid=$!
  victoria_dirs+=("$dir")
  victoria_pids+=("$pid")
  trap 'stop_victoria; stop_influxd' EXIT
  url="http://127.0.0.1:$port"
  export "$variable=$url"
  wait_answering victoria-metrics "$url/health" 200 "$pid" "$dir/victoria.log"
}

stop_victoria() {
  local pid dir
  for pid in ${victoria_pids[@]+"${victoria_pids[@]}"}; do
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null || true
    fi
  done
  for dir in ${victoria_dirs[@]+"${victoria_dirs[@]}"}; do rm -rf "$dir"; done
  victoria_pids=()
  victoria_dirs=()
}
