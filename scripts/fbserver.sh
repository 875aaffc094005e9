#!/usr/bin/env bash
# A private Firebird server for the tests that open libraries on a server ("host/port:/path/lib.klb").
#
#   bash scripts/fbserver.sh start DIR [PORT]   start one, listening on 127.0.0.1 only, on PORT or a free port
#   bash scripts/fbserver.sh stop DIR           stop the one started in DIR
#
# Everything lives in DIR: the server's configuration root, its own security database with a known SYSDBA
# password, its lock folder, its log and the folder of the databases it may open (DIR/data; it opens no other
# file). The system's Firebird service and its configuration are neither used nor touched.
#
# start writes DIR/server.env (KEY=value lines: KELVADO_FB_SERVER=127.0.0.1/<port>, KELVADO_FB_SERVER_USER,
# KELVADO_FB_SERVER_PASSWORD, KELVADO_FB_SERVER_DATA, KELVADO_FB_SERVER_PID). When no server can be had here
# (the server package is not installed, no port can be bound) it writes the reason to DIR/unavailable
# instead and the tests skip with it; under CI (CI=true) that is an error, since CI must test the server.
set -uo pipefail

action=${1:-}
dir=${2:-}
wanted_port=${3:-}
if [ -z "$action" ] || [ -z "$dir" ]; then
  echo "usage: $0 start|stop DIR" >&2
  exit 2
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

server_bin=/usr/sbin/firebird
password=kelvado-test-sysdba

stop() {
  if [ -f "$dir/server.pid" ]; then
    local pid
    pid=$(cat "$dir/server.pid")
    # Only the process this script started, found by the id it recorded (and still that program).
    if [ -n "$pid" ] && [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$server_bin" ]; then
      kill "$pid" 2>/dev/null
      for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      kill -9 "$pid" 2>/dev/null
    fi
    rm -f "$dir/server.pid"
  fi
  rm -f "$dir/server.env"
}

unavailable() {
  stop
  echo "$*" > "$dir/unavailable"
  echo "fbserver: no Firebird server: $*" >&2
  if [ "${CI:-}" = true ]; then exit 1; fi
  exit 0
}

# Whether something accepts connections on the port.
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

start() {
  stop
  rm -rf "$dir/root" "$dir/lock" "$dir/tmp" "$dir/unavailable" "$dir/security3.fdb"
  mkdir -p "$dir/root" "$dir/lock" "$dir/tmp" "$dir/data"

  # scripts/deps.sh installs the package (only when missing).
  [ -x "$server_bin" ] && command -v isql-fb >/dev/null ||
    unavailable "the Debian packages firebird3.0-server and firebird3.0-utils are not installed (scripts/deps.sh installs them)"

  local sys=""
  for c in /usr/lib/x86_64-linux-gnu/firebird/3.0 /usr/lib/aarch64-linux-gnu/firebird/3.0 /usr/lib/firebird/3.0; do
    if [ -f "$c/plugins/libEngine12.so" ]; then sys=$c; break; fi
  done
  [ -n "$sys" ] || unavailable "the Firebird 3 engine (plugins/libEngine12.so) was not found"
  local sec_sql=/usr/share/firebird/3.0/security.sql
  [ -f "$sec_sql" ] || unavailable "$sec_sql (package firebird3.0-server) is missing"

  # The configuration root: the system's engine, plugins and messages, our own configuration. The engine
  # refuses a character-set module reached through a symbolic link, so that one is copied.
  for entry in plugins firebird.msg lib UDF; do
    [ -e "$sys/$entry" ] && ln -s "$sys/$entry" "$dir/root/$entry"
  done
  mkdir -p "$dir/root/intl"
  cp "$sys/intl/"* "$dir/root/intl/"
  [ -e "$sys/plugins.conf" ] && cp "$sys/plugins.conf" "$dir/root/plugins.conf"

  export FIREBIRD="$dir/root" FIREBIRD_LOCK="$dir/lock" FIREBIRD_TMP="$dir/tmp"
  write_conf() {
    cat > "$dir/root/firebird.conf" <<EOF
# Written by scripts/fbserver.sh: a private test server.
ServerMode = Super
Providers = Engine12
RemoteServicePort = $1
RemoteBindAddress = 127.0.0.1
SecurityDatabase = $dir/security3.fdb
DatabaseAccess = Restrict $dir/data
AuthServer = Srp
UserManager = Srp
WireCrypt = Enabled
UdfAccess = None
ExternalFileAccess = None
EOF
  }
  write_conf 0

  # Its own security database, as the package builds the system's one, with a known SYSDBA password.
  {
    echo "create database '$dir/security3.fdb';" | isql-fb -q &&
      isql-fb -q -user SYSDBA -i "$sec_sql" "$dir/security3.fdb" &&
      echo "create or alter user SYSDBA password '$password' using plugin Srp; commit;" |
        isql-fb -q -user SYSDBA "$dir/security3.fdb"
  } > "$dir/security.log" 2>&1 ||
    unavailable "cannot build the server's security database: $(tr '\n' ' ' < "$dir/security.log")"

  # A free port: a start that fails to bind, or finds the port taken, tries the next one.
  local base=$(( 20000 + ($$ * 7919) % 20000 )) tries=20
  if [ -n "$wanted_port" ]; then base=$wanted_port; tries=1; fi
  for try in $(seq 0 $((tries - 1))); do
    local port=$(( base + try * 13 ))
    listening "$port" && continue
    write_conf "$port"
    setsid "$server_bin" > "$dir/server.log" 2>&1 < /dev/null &
    local pid=$!
    echo "$pid" > "$dir/server.pid"
    for _ in $(seq 100); do
      kill -0 "$pid" 2>/dev/null || break
      if listening "$port"; then
        cat > "$dir/server.env" <<EOF
KELVADO_FB_SERVER=127.0.0.1/$port
KELVADO_FB_SERVER_USER=SYSDBA
KELVADO_FB_SERVER_PASSWORD=$password
KELVADO_FB_SERVER_DATA=$dir/data
KELVADO_FB_SERVER_PID=$pid
EOF
        echo "fbserver: Firebird server $pid on 127.0.0.1/$port, databases in $dir/data"
        exit 0
      fi
      sleep 0.1
    done
    stop
  done
  unavailable "the server did not start on any port tried (log: $dir/server.log, $dir/root/firebird.log)"
}

case "$action" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
