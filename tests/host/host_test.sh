#!/bin/bash
# Checks the host program's messages and exit codes.
#   host_test.sh args HOST   arguments, configuration errors, URLs, the lock
#   host_test.sh run HOST    run on a real TUN device in a namespace of its own
#                            (root and /dev/net/tun; exit 77 when missing)
set -u
mode=$1
host=$2
export SARVOLT_MIN_POW_DIFFICULTY=8 # quick identities
unset SARVOLT_LOG SARVOLT_ARM_MESSAGES

work=$(mktemp -d "/tmp/sarvolt-host-test.$$.XXXXXX")
ns=""
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do { kill -KILL "$p" && wait "$p"; } 2>/dev/null; done
  [ -n "$ns" ] && ip netns del "$ns" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}

# expect NAME CODE PATTERN CMD...: CMD exits with CODE and its stdout+stderr
# match the extended regular expression PATTERN.
expect() {
  local name=$1 code=$2 pattern=$3
  shift 3
  local out rc
  out=$("$@" 2>&1)
  rc=$?
  if [ "$rc" -ne "$code" ]; then
    fail "$name: exit $rc, wanted $code; output: $out"
  elif ! grep -Eq -- "$pattern" <<<"$out"; then
    fail "$name: output does not match /$pattern/: $out"
  else
    echo "ok: $name"
  fi
}

# wait_for FILE PATTERN SECONDS
wait_for() {
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    grep -Eq -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

args_tests() {
  local cfg=$work/agent.toml
  # run is expected to refuse here; should it not, it stays off the machine's
  # network (a namespace of its own when root) and is stopped after 20 s.
  local run=(timeout -s KILL 20)
  [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null && run+=(unshare -n)
  # Usage and version.
  expect "--help on stdout" 0 "agent.toml in the working directory" sh -c "'$host' --help 2>/dev/null"
  expect "-h names the default TUN" 0 "default: sarvolt0" sh -c "'$host' -h 2>/dev/null"
  expect "--help lists the exit codes" 0 "3 another process" "$host" --help
  expect "--version" 0 "^sarvolt-host [0-9]+\.[0-9]+\.[0-9]+ \(" "$host" --version
  expect "no command" 2 "no command given" "$host"
  expect "unknown command" 2 "unknown command frob" "$host" frob
  expect "unknown option" 2 "unknown option -x" "$host" -x id
  expect "add without a URL" 2 "add needs a URL" "$host" -c "$cfg" add
  expect "-t outside run" 2 "belong to run" "$host" -c "$cfg" -t tun0 id

  # Configuration files that cannot be loaded.
  expect "missing folder" 1 "cannot load $work/none/agent.toml: .*\(-105\): $work/none: No such file or directory" \
    "$host" -c "$work/none/agent.toml" id
  expect "folder as the file" 1 "cannot load $work: .*: $work: Is a directory" "$host" -c "$work" id
  expect "list of a missing file" 1 "list: cannot load $work/missing.toml: .*$work/missing.toml: No such file" \
    "$host" -c "$work/missing.toml" list
  printf 'mtu = 1280\nidentity = [\n' >"$work/bad.toml"
  expect "malformed TOML shows line and column" 1 "line 2.*column|column.*line 2" "$host" -c "$work/bad.toml" id
  expect "malformed TOML in an edit" 1 "add file:///etc/hosts: cannot load $work/bad.toml: .*\(-106\)" \
    "$host" -c "$work/bad.toml" add file:///etc/hosts
  for c in list "disable file:///etc/hosts"; do  # the library's error line once, not once per load
    # shellcheck disable=SC2086
    n=$("$host" -c "$work/bad.toml" $c 2>&1 | grep -c "line 2")
    [ "$n" -eq 1 ] && echo "ok: one TOML error line ($c)" || fail "TOML error line shown $n times ($c)"
  done

  # Editing networks.
  expect "id creates the file" 0 "^[0-9a-f]{64}$" sh -c "'$host' -c '$cfg' id 2>/dev/null"
  echo 'name = "n"' >"$work/net.toml"
  expect "add" 0 "" "$host" -c "$cfg" add "file://$work/net.toml"
  expect "duplicate add" 1 "add file://$work/net.toml: the network is already in the configuration \(-5\)" \
    "$host" -c "$cfg" add "file://$work/net.toml"
  expect "disable" 0 "" "$host" -c "$cfg" disable "file://$work/net.toml"
  expect "repeated disable" 1 "the network is already disabled \(-7\)" "$host" -c "$cfg" disable "file://$work/net.toml"
  expect "remove of a missing URL" 1 "remove file:///nowhere: the network is not in the configuration \(-4\)" \
    "$host" -c "$cfg" remove file:///nowhere
  cp "$work/net.toml" "$work/net2.toml"
  expect "localhost file URL" 0 "" "$host" -c "$cfg" add "file://localhost$work/net2.toml"
  expect "http URL" 0 "" "$host" -c "$cfg" add "http://127.0.0.1:9/net.toml"
  expect "controller URL" 0 "" "$host" -c "$cfg" add "controller://"

  # URLs the agent could never fetch.
  expect "typo in the scheme" 2 "fiel:///tmp/n.toml: the agent cannot fetch fiel URLs" \
    "$host" -c "$cfg" add fiel:///tmp/n.toml
  expect "ftp" 2 "cannot fetch ftp URLs" "$host" -c "$cfg" add ftp://127.0.0.1/n.toml
  expect "file URL with a host" 2 "file://tmp/net.toml: .*not on host \"tmp\"" "$host" -c "$cfg" add file://tmp/net.toml
  expect "no scheme" 2 "is not a URL" "$host" -c "$cfg" add /tmp/net.toml
  expect "URL that does not parse" 1 "add http://exa mple/: the URL does not parse \\(-3\\)$" \
    "$host" -c "$cfg" add "http://exa mple/"
  expect "file URL naming no file" 0 "warning: file://$work/nothing.toml names no readable file: .*No such file" \
    "$host" -c "$cfg" add "file://$work/nothing.toml"
  expect "refused URLs were not added" 0 "" sh -c "! '$host' -c '$cfg' list 2>&1 | grep -Eq '^(fiel|ftp|file://tmp)'"

  # Long TUN names are refused before anything starts.
  expect "long TUN name" 2 "sixteen-chars-xx cannot name a network interface" \
    "${run[@]}" "$host" -c "$work/never.toml" run -t sixteen-chars-xx </dev/null
  [ -e "$work/never.toml" ] && fail "a refused run created its configuration"

  # A status file that cannot be opened.
  expect "status file" 1 "cannot open the status file $work/none/s.txt: No such file" \
    "${run[@]}" "$host" -c "$cfg" run -s "$work/none/s.txt" </dev/null
  mkfifo "$work/s.fifo"  # nobody reads it: refused, not waited on
  expect "status FIFO without a reader" 1 "cannot open the status file $work/s.fifo: " \
    "${run[@]}" "$host" -c "$cfg" run -s "$work/s.fifo" </dev/null

  # A held lock names its holder.
  echo 4242 >"$cfg.lock"
  (exec 9<"$cfg.lock" && flock -w 10 9 && exec sleep 30) &
  pids+=($!)
  local held=0 i
  for ((i = 0; i < 100 && !held; i++)); do
    flock -n "$cfg.lock" true && sleep 0.1 || held=1
  done
  if [ "$held" -eq 1 ]; then
    expect "held lock" 3 "$cfg is in use: process 4242 runs an agent on it" \
      "${run[@]}" "$host" -c "$cfg" run -t svtnever </dev/null
  else
    fail "the test could not take the lock"
  fi

  # Log levels: info by default, more with SARVOLT_LOG or -v.
  rm -f "$work/fresh.toml"
  expect "info by default" 0 "generating new one" "$host" -c "$work/fresh.toml" id
  expect "no debug lines by default" 0 "" sh -c "! '$host' -c '$work/fresh.toml' id 2>&1 | grep -Eq '<(debug|info)>'"
  expect "SARVOLT_LOG=trace" 0 "<debug> .*Loading or generating" env SARVOLT_LOG=trace "$host" -c "$work/fresh.toml" id
  expect "-vv" 0 "<debug> .*Loading or generating" "$host" -vv -c "$work/fresh.toml" id
  expect "SARVOLT_LOG=error hides info" 0 "" \
    sh -c "! SARVOLT_LOG=error '$host' -c '$work/fresh2.toml' id 2>&1 | grep -q 'generating'"
}

run_tests() {
  if [ "$(id -u)" -ne 0 ] || [ ! -c /dev/net/tun ] || ! command -v ip >/dev/null; then
    echo "SKIPPED: needs root, /dev/net/tun and ip"
    exit 77
  fi
  ns="svt-host-$$"
  ip netns add "$ns" || { echo "SKIPPED: cannot create a network namespace"; exit 77; }
  ip -n "$ns" link set lo up
  local cfg=$work/agent.toml tun="svh$$"
  tun=${tun:0:15}

  # An ip(8) that fails to bring the link up, with two lines on stderr.
  mkdir "$work/bin"
  cat >"$work/bin/ip" <<EOF
#!/bin/sh
if [ "\$1 \$2 \$4" = "link set up" ]; then echo "fake: cannot bring \$3 up" >&2; echo "second line" >&2; exit 2; fi
exec $(command -v ip) "\$@"
EOF
  chmod +x "$work/bin/ip"

  # run with stdin at its end stays up until SIGTERM, with the agent's MTU.
  ip netns exec "$ns" env PATH="$work/bin:$PATH" "$host" -c "$cfg" run -t "$tun" -s "$work/status.txt" </dev/null \
    >"$work/run.out" 2>"$work/run.log" &
  local pid=$!
  pids+=($pid)
  if ! wait_for "$work/run.out" "agent started" 60; then
    fail "the agent did not start: $(cat "$work/run.out" "$work/run.log")"
    return
  fi
  sleep 2
  if ! kill -0 "$pid" 2>/dev/null; then
    fail "run ended at the end of stdin: $(cat "$work/run.log")"
    return
  fi
  echo "ok: run stays up with stdin at its end"
  expect "the link has the agent's MTU" 0 "mtu 1280 " ip -n "$ns" link show "$tun"
  if wait_for "$work/run.log" "^sarvolt-host: ip link set $tun up: fake: cannot bring $tun up$" 30 &&
    ! grep -q "second line" "$work/run.log"; then
    echo "ok: ip's error in one line"
  else
    fail "ip's error: $(grep -v '<' "$work/run.log")"
  fi
  kill -USR1 "$pid"
  if wait_for "$work/status.txt" "TUN MTU: 1280" 20; then echo "ok: SIGUSR1 writes the status file"; else
    fail "no status report in $work/status.txt"; fi
  expect "the lock file holds the pid" 0 "^$pid$" cat "$cfg.lock"

  # A second agent on the same configuration is refused.
  expect "second agent" 3 "$cfg is in use: process $pid runs an agent on it" \
    ip netns exec "$ns" "$host" -c "$cfg" run -t "${tun:0:12}b" </dev/null
  # A copy of the configuration has the same identity, so the same UDP port.
  cp "$cfg" "$work/copy.toml"
  ip netns exec "$ns" "$host" -c "$work/copy.toml" run -t "${tun:0:12}c" </dev/null >"$work/copy.log" 2>&1
  expect "a failed start exits 1" 0 "^1$" echo "$?"
  expect "a start failure is explained" 0 \
    "^sarvolt-host: cannot start the agent: the overlay node could not start \(-111\)$" cat "$work/copy.log"
  expect "the library's reason is shown" 0 "<error> .*Agent start failed: Node error: .*Address already in use" \
    cat "$work/copy.log"
  expect "no lines below INFO by default" 0 "" sh -c "! grep -Eq '<(debug|info)>' '$work/run.log'"

  kill -TERM "$pid"
  local i rc=""
  for ((i = 0; i < 300; i++)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"
      rc=$?
      break
    fi
    sleep 0.1
  done
  if [ "$rc" != 0 ]; then fail "SIGTERM: exit '$rc' (empty: still running)"; else echo "ok: SIGTERM ends the run"; fi

  # The configuration's mtu and the sealing setting decide the MTU.
  sed -i '1i mtu = 1_400' "$cfg"
  mtu_run run2 "the configured MTU" 1400
  sed -i '/^mtu = /d' "$cfg"
  SARVOLT_ARM_MESSAGES=false mtu_run run3 "the MTU without sealing" 1328
}

# One run until it has started: the TUN link's MTU is checked, then SIGTERM.
mtu_run() {  # name, what, mtu
  ip netns exec "$ns" "$host" -c "$cfg" run -t "$tun" </dev/null >"$work/$1.out" 2>"$work/$1.log" &
  local pid=$!
  pids+=($pid)
  if wait_for "$work/$1.out" "agent started" 60; then
    expect "$2" 0 "mtu $3 " ip -n "$ns" link show "$tun"
  else
    fail "run $1 did not start: $(cat "$work/$1.log")"
  fi
  kill -TERM "$pid"
  wait "$pid"
}

case $mode in
  args) args_tests ;;
  run) run_tests ;;
  *) echo "usage: $0 args|run HOST" >&2; exit 2 ;;
esac
[ "$failed" -eq 0 ] && echo "all passed"
exit "$failed"
