#!/usr/bin/env bash
# A private MariaDB server for the tests and the demo: its own data directory,
# a free loopback TCP port, one database and one administrator login.
#
#   scripts/mariadb.sh start DIR    initialise DIR/data once, start the server,
#                                   (re)create the database and the login and
#                                   write DIR/connection.env
#   scripts/mariadb.sh stop DIR     stop the server of DIR (no error when none runs)
#   scripts/mariadb.sh sql DIR ...  the mariadb client as root on the private socket
#
# Environment for start: HVC_MARIADB_DB (database, default hvc_test),
# HVC_MARIADB_LOGIN (default hvc_admin), HVC_MARIADB_PASSWORD (default: random).
# connection.env holds HVC_DB_HOST, HVC_DB_PORT, HVC_DB_NAME, HVC_DB_LOGIN,
# HVC_DB_PASSWORD and HVC_DB_SOCKET, one KEY=VALUE a line, and either
# HVC_DB_ODBC_DSN (the DSN of DIR/odbc.ini, for unixODBC's ODBCINI) or
# HVC_DB_ODBC_MISSING (why there is none).
set -euo pipefail

die() { printf 'mariadb.sh: %s\n' "$*" >&2; exit 1; }

mariadbd=$(command -v mariadbd || echo /usr/sbin/mariadbd)
[ -x "$mariadbd" ] || die "mariadbd not found (install mariadb-server)"

[ $# -ge 2 ] || { sed -n '2,15p' "$0" >&2; exit 2; }
command=$1 dir=$2
shift 2
data=$dir/data sock=$dir/mysqld.sock pidfile=$dir/mysqld.pid log=$dir/mysqld.log

# Debian's server defaults, since --no-defaults keeps /etc/mysql out.
server_options=(--character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci
                --innodb-log-file-size=8M --innodb-buffer-pool-size=32M)
user_option=()
[ "$(id -u)" = 0 ] && user_option=(--user=root)

client() { mariadb --no-defaults --socket="$sock" -uroot "$@"; }

running() { [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; }

stop() {
  running || { rm -f "$pidfile"; return 0; }
  local pid i
  pid=$(cat "$pidfile")
  kill "$pid"
  for i in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || { rm -f "$pidfile"; return 0; }
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
  rm -f "$pidfile"
}

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

initialise() {
  [ -d "$data/mysql" ] && return
  rm -rf "$data"
  mkdir -p "$dir"
  mariadb-install-db --no-defaults --datadir="$data" "${user_option[@]}" \
    --auth-root-authentication-method=socket --skip-test-db \
    "${server_options[@]}" >"$dir/install.log" 2>&1 \
    || { tail -n 20 "$dir/install.log" >&2; rm -rf "$data"; die "mariadb-install-db failed (log: $dir/install.log)"; }
}

# Starts on a free port; another process may take the port first, so retry.
start_server() {
  local attempt port i
  for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 30000))
    port_free "$port" || continue
    : >"$log"
    # Detached from every stream: CTest waits for inherited pipes to close.
    setsid "$mariadbd" --no-defaults --datadir="$data" "${user_option[@]}" \
      --skip-networking=0 --bind-address=127.0.0.1 --port="$port" --socket="$sock" \
      --pid-file="$pidfile" --log-error="$log" --skip-name-resolve "${server_options[@]}" \
      </dev/null >/dev/null 2>&1 &
    for i in $(seq 300); do
      if mariadb-admin --no-defaults --socket="$sock" -uroot ping >/dev/null 2>&1; then
        echo "$port"
        return 0
      fi
      grep -q 'Do you already have another' "$log" 2>/dev/null && break
      kill -0 $! 2>/dev/null || break
      sleep 0.1
    done
    stop
  done
  tail -n 20 "$log" >&2
  die "the server did not start (log: $log)"
}

case "$command" in
  start)
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    data=$dir/data sock=$dir/mysqld.sock pidfile=$dir/mysqld.pid log=$dir/mysqld.log
    stop
    initialise
    port=$(start_server)
    db=${HVC_MARIADB_DB:-hvc_test}
    login=${HVC_MARIADB_LOGIN:-hvc_admin}
    password=${HVC_MARIADB_PASSWORD:-pw-$(head -c 12 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' | head -c 12)}
    # The panel's database administrator: everything, from any host.
    client <<EOF
DROP DATABASE IF EXISTS \`$db\`;
CREATE DATABASE \`$db\` DEFAULT CHARSET=utf8;
CREATE OR REPLACE USER '$login'@'%' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON *.* TO '$login'@'%' WITH GRANT OPTION;
FLUSH PRIVILEGES;
EOF
    cat >"$dir/connection.env.tmp" <<EOF
HVC_DB_HOST=127.0.0.1
HVC_DB_PORT=$port
HVC_DB_NAME=$db
HVC_DB_LOGIN=$login
HVC_DB_PASSWORD=$password
HVC_DB_SOCKET=$sock
EOF
    # A DSN for the ADO suites (Wine's ADO reaches a database only through
    # unixODBC); the test run points ODBCINI at this file.
    driver=$(ls /usr/lib/*/odbc/libmaodbc.so 2>/dev/null | head -n 1 || true)
    # grep reads all of ldconfig's output: with -q it could stop early and, under
    # pipefail, make ldconfig's SIGPIPE count as a miss.
    if [ -n "$driver" ] && ldconfig -p | grep 'libodbc\.so\.2' >/dev/null; then
      cat >"$dir/odbc.ini" <<EOF
[hvctest]
Driver=$driver
Server=127.0.0.1
Port=$port
Database=$db
User=$login
Password=$password
EOF
      echo "HVC_DB_ODBC_DSN=hvctest" >>"$dir/connection.env.tmp"
    else
      rm -f "$dir/odbc.ini"
      echo "HVC_DB_ODBC_MISSING=unixODBC or the MariaDB ODBC driver is not installed (packages unixodbc, odbc-mariadb)" \
        >>"$dir/connection.env.tmp"
    fi
    mv "$dir/connection.env.tmp" "$dir/connection.env"
    echo "MariaDB $("$mariadbd" --version | awk '{print $3}') on 127.0.0.1:$port, database $db, login $login ($dir)"
    ;;
  stop)
    stop
    rm -f "$dir/connection.env" "$dir/odbc.ini"
    ;;
  sql)
    client "$@"
    ;;
  *)
    die "unknown command $command"
    ;;
esac
