# Starts and stops a throwaway InfluxDB 1.x server on 127.0.0.1 with its data in a
# temporary folder. Source this file, then call start_influxd; it sets
# QUARVEL_INFLUX_URL and arranges for stop_influxd to run on exit.
# INFLUXD_HOST and INFLUXD_NETNS, when set, give another address to listen on and a
# network namespace to run in (bench/e2e --link puts the server behind a slow link).

influxd_dir=""
influxd_pid=""

free_port() {
  local port
  for _ in $(seq 1 200); do
    port=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  echo "no free port found" >&2
  return 1
}

start_influxd() {
  local http_port rpc_port host=${INFLUXD_HOST:-127.0.0.1} run=()
  [ -z "${INFLUXD_NETNS:-}" ] || run=(ip netns exec "$INFLUXD_NETNS")
  influxd_dir=$(mktemp -d "${TMPDIR:-/tmp}/quarvel-influxd.XXXXXX")
  http_port=$(free_port)
  rpc_port=$(free_port)
  while [ "$rpc_port" = "$http_port" ]; do rpc_port=$(free_port); done
  cat >"$influxd_dir/influxd.conf" <<CONF
reporting-enabled = false
bind-address = "$host:$rpc_port"
[meta]
  dir = "$influxd_dir/meta"
[data]
  dir = "$influxd_dir/data"
  wal-dir = "$influxd_dir/wal"
  query-log-enabled = false
[monitor]
  store-enabled = false
[subscriber]
  enabled = false
[http]
  bind-address = "$host:$http_port"
  log-enabled = false
  pprof-enabled = false
CONF
  # ip netns exec becomes influxd itself, so the pid is the server's.
  ${run[@]+"${run[@]}"} influxd run -config "$influxd_dir/influxd.conf" >"$influxd_dir/influxd.log" 2>&1 &
  influxd_pid=$!
  trap stop_influxd EXIT
  export QUARVEL_INFLUX_URL="http://$host:$http_port"
  wait_answering influxd "$QUARVEL_INFLUX_URL/ping" 204 "$influxd_pid" "$influxd_dir/influxd.log"
}

# wait_answering NAME URL STATUS PID LOG: waits up to 30 s until URL answers STATUS; fails,
# with the end of LOG, when the process PID exits first.
wait_answering() {
  local name=$1 url=$2 status=$3 pid=$4 log=$5
  for _ in $(seq 1 300); do
    if curl -s -o /dev/null -w '%{http_code}' "$url" 2>/dev/null | grep -q "$status"; then
      return 0
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "$name exited during start-up:" >&2
      tail -20 "$log" >&2
      return 1
    fi
    sleep 0.1
  done
  echo "$name did not answer on ${url%/*} within 30 s" >&2
  return 1
}

stop_influxd() {
  if [ -n "$influxd_pid" ] && kill -0 "$influxd_pid" 2>/dev/null; then
    kill "$influxd_pid" 2>/dev/null
    wait "$influxd_pid" 2>/dev/null || true
  fi
  influxd_pid=""
  [ -n "$influxd_dir" ] && rm -rf "$influxd_dir"
  influxd_dir=""
}
