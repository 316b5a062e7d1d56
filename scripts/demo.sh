#!/usr/bin/env bash
# A short scripted session through the command-line host, as a migration
# agent's script would drive the DLL.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
run="$root/scripts/wine-run.sh"
export LC_ALL=C.UTF-8
"$run" --prepare
"$run" --server-start
trap '"$run" --server-stop' EXIT
host="$root/build/x86_64/bin/hvcdmt.exe"

say() { printf '\n$ hvcdmt %s\n' "$*"; "$run" "$host" "$@"; echo "(exit $?)"; }

say --help
say idn-to-ascii "bücher.example"
say idn-to-utf8 "xn--bcher-kva.example"
say idn-to-ascii "例子.测试"
say idn-to-ascii "$(printf 'a%.0s' $(seq 64)).example"
say base64-decode "SGVsbG8sIG1pZ3JhdGlvbiBhZ2VudCE="

# Directories: a nested tree on C:, moved to the second volume V: (a
# directory on another Linux file system, mapped by wine-run.sh) and back,
# entry by entry; then a read-only file in it, which keeps the tree on its
# volume (the move is rolled back) and which only --force removes.
. "$root/scripts/wine-env.sh"
show_tree() { printf '\n$ find %s\n' "$1"; (cd "$1" && find . | sort); }
say mkdir-nested 'C:\hvcdmt-demo\site\httpdocs\img'
say mkdir 'C:\hvcdmt-demo\site\logs'
printf '<h1>demo</h1>\n' > "$WINEPREFIX/drive_c/hvcdmt-demo/site/httpdocs/index.html"
printf 'GET /\n' > "$WINEPREFIX/drive_c/hvcdmt-demo/site/logs/access.log"
show_tree "$WINEPREFIX/drive_c/hvcdmt-demo"
say rename-dir 'C:\hvcdmt-demo\site' 'V:\hvcdmt-demo-site'
show_tree "$WINEPREFIX/dosdevices/v:/hvcdmt-demo-site"
say rename-dir 'V:\hvcdmt-demo-site' 'C:\hvcdmt-demo\site'
show_tree "$WINEPREFIX/drive_c/hvcdmt-demo"
printf '\n$ attrib +r C:\\hvcdmt-demo\\site\\httpdocs\\index.html\n'
"$run" attrib +r 'C:\hvcdmt-demo\site\httpdocs\index.html'
say rename-dir 'C:\hvcdmt-demo\site' 'V:\hvcdmt-demo-site'
show_tree "$WINEPREFIX/drive_c/hvcdmt-demo"
say rmtree 'C:\hvcdmt-demo'
say rmtree --force 'C:\hvcdmt-demo'
say rmtree 'C:\hvcdmt-demo'

# The management service's parameters, from the stand-in service (orvexsrv)
# and a parameter file; the Wine server's stop at exit ends it in any case.
params="$(mktemp /tmp/hvcdmt-demo-params.XXXXXX)"
printf '%s\n' 'param PRODUCT_ROOT_D=C:\Program Files\Orvex' 'param ORVEX_DATABASE_PROVIDER_NAME=MySQL' \
  'password pwd=demo-secret' > "$params"
printf '\n$ orvexsrv %s &\n' "$(basename "$params")"
"$run" "$root/build/x86_64/bin/orvexsrv.exe" "Z:${params//\//\\}" &
for _ in $(seq 50); do "$run" "$host" param PRODUCT_ROOT_D >/dev/null 2>&1 && break; sleep 0.2; done
say param PRODUCT_ROOT_D
say param ORVEX_DATABASE_PROVIDER_NAME
say param NO_SUCH_PARAMETER
printf '\n$ orvexsrv --stop\n'; "$run" "$root/build/x86_64/bin/orvexsrv.exe" --stop; sleep 0.5
say param PRODUCT_ROOT_D
rm -f "$params"

# Commands run as other accounts through the stand-in run-as service
# (runassrv). Under Wine every account is the same Unix user: the service
# records the SID it was asked for and starts the command as itself.
printf '\n$ runassrv &\n'
"$run" "$root/build/x86_64/bin/runassrv.exe" &
for _ in $(seq 50); do "$run" "$host" exec -- cmd /c exit 0 >/dev/null 2>&1 && break; sleep 0.2; done
say exec --user system --input $'migration agent\n' -- cmd /c 'more & echo to stderr 1>&2 & exit 3'
say exec --user guest --env SITE=example.com --dir 'C:\windows' -- cmd /c 'cd & echo %SITE%'
say exec --user no-such-account -- cmd /c exit 0
printf '\n$ runassrv --stop\n'; "$run" "$root/build/x86_64/bin/runassrv.exe" --stop; sleep 0.5
say exec -- cmd /c exit 0

# The panel database. Without an external server (ORVEX_DB_HOST and the other
# ORVEX_DB_* variables) a private MariaDB server is started for the demo, with
# the panel's default database and login ("hvc", "admin"); the stand-in
# service hands out its parameters and password as the panel's service does.
if [ -z "${ORVEX_DB_HOST:-}" ]; then
  demo_db="${HVC_CACHE:-/var/cache/hvcdmtutils}/mariadb/demo"
  printf '\n$ scripts/mariadb.sh start %s\n' "$demo_db"
  if HVC_MARIADB_DB=hvc HVC_MARIADB_LOGIN=admin "$root/scripts/mariadb.sh" start "$demo_db"; then
    trap '"$root/scripts/mariadb.sh" stop "$demo_db"; "$run" --server-stop' EXIT
    . "$demo_db/connection.env"
    printf '%s\n' "param MySQL_DB_HOST=$HVC_DB_HOST" "param MySQL_DB_PORT=$HVC_DB_PORT" "param mySQLDBName=$HVC_DB_NAME" \
      "param ORVEX_DATABASE_LOGIN=$HVC_DB_LOGIN" 'param ORVEX_DATABASE_PROVIDER_NAME=MySQL' \
      "password pwd=$HVC_DB_PASSWORD" > "$params"
    printf '\n$ orvexsrv %s &   (the panel database parameters)\n' "$(basename "$params")"
    "$run" "$root/build/x86_64/bin/orvexsrv.exe" "Z:${params//\//\\}" &
    for _ in $(seq 50); do "$run" "$host" param mySQLDBName >/dev/null 2>&1 && break; sleep 0.2; done
    say db-info
    say exec-db "create table clients (pool_id int auto_increment primary key, login varchar(32), cname varchar(64)) default charset=utf8"
    say exec-db "insert into clients (login, cname) values ('jdoe', 'John Doe')"
    say exec-db "insert into clients (login, cname) values ('mmuster', 'Max Mustermann')"
    say exec-db "create table parameters (id int auto_increment primary key, name varchar(64), value varchar(255))"
    say exec-db "insert into parameters (name, value) values ('version', '10.4'), ('locale', NULL)"
    say exec-db "create table ms_jet_counter (id int(10) unsigned auto_increment primary key, val int(10))"
    say query "select count(*) from clients"
    say query "select cname, login from clients where login = 'mmuster'"
    say query "select value from parameters where name = 'locale'"
    say query "select value from parameters where name = 'no-such-name'"
    say query "update clients set cname = cname"
    say exec-db "insert into no_such_table values (1)"
    printf '\n$ ORVEX_DB_NAME=mysql hvcdmt query "select database()"\n'
    ORVEX_DB_NAME=mysql "$run" "$host" query "select database()"; echo "(exit $?)"
    say password

    # Export the panel database and load it into a second database through
    # the same login: the tables and rows must come out the same.
    export_dir="$(mktemp -d /tmp/hvcdmt-demo-export.XXXXXX)"
    win_dir="Z:${export_dir//\//\\}"
    say db-export "$win_dir\\export"
    printf '\n$ head -c 300 export/data.xml\n'; head -c 300 "$export_dir/export/data.xml"; echo
    printf '\n$ ORVEX_DB_NAME=hvc_copy hvcdmt db-import-schema export\\schema.xml --recreate\n'
    ORVEX_DB_NAME=hvc_copy "$run" "$host" db-import-schema "$win_dir\\export\\schema.xml" --recreate; echo "(exit $?)"
    printf '\n$ ORVEX_DB_NAME=hvc_copy hvcdmt db-import-data export\\data.xml\n'
    ORVEX_DB_NAME=hvc_copy "$run" "$host" db-import-data "$win_dir\\export\\data.xml"; echo "(exit $?)"
    for db in hvc hvc_copy; do
      for check in "clients:concat_ws('|', pool_id, login, cname)" "parameters:concat_ws('|', id, name, ifnull(value, 'NULL'))"; do
        table=${check%%:*} row=${check#*:}
        statement="select concat(count(*), ' rows, md5 ', md5(group_concat($row order by 1 separator '/'))) from $table"
        printf '\n$ ORVEX_DB_NAME=%s hvcdmt query "%s"\n' "$db" "$statement"
        ORVEX_DB_NAME=$db "$run" "$host" query "$statement" | tr -d '\r'
      done
    done
    rm -rf "$export_dir"
    printf '\n$ orvexsrv --stop\n'; "$run" "$root/build/x86_64/bin/orvexsrv.exe" --stop; sleep 0.5
  fi
else
  printf '\nexternal database server %s (ORVEX_DB_*): read only\n' "$ORVEX_DB_HOST"
  say db-info
  say query "select version()"
fi
rm -f "$params"
exit 0
