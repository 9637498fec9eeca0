#!/usr/bin/env bash
# Starts and stops the database servers the ODBC tests and the benchmark use: each with its data in a
# folder of the caller's, run as an unprivileged user (the suite runs as root, and neither server
# agrees to run as root), listening on a Unix socket in that folder and on 127.0.0.1 at the given
# port. No system-wide service is touched.
#
#   db_servers.sh pg-start DIR PORT PASSWORD     initdb (first time) and start PostgreSQL 15
#   db_servers.sh pg-stop DIR [fast|immediate]   stop it
#   db_servers.sh pg-sql DIR PORT                run the SQL on standard input as the owner "gathra"
#                                                in database "gathra" (password in DIR/password)
#   db_servers.sh maria-start DIR PORT PASSWORD  install (first time) and start MariaDB
#   db_servers.sh maria-stop DIR
#   db_servers.sh maria-sql DIR                  run the SQL on standard input as root in database "gathra"
set -euo pipefail

PGBIN=/usr/lib/postgresql/15/bin
RUN_AS=nobody
RUN_GROUP=nogroup

as_user() {
    if [ "$(id -u)" -eq 0 ]; then
        setpriv --reuid="$RUN_AS" --regid="$RUN_GROUP" --clear-groups -- "$@"
    else
        "$@"
    fi
}

own() {
    if [ "$(id -u)" -eq 0 ]; then
        chown "$RUN_AS:$RUN_GROUP" "$1"
    fi
}

# With GATHRA_WATCH_PID set, a server is stopped once that process is gone, so a test program that
# crashes or is killed leaves no server behind.
watch() {
    if [ -n "${GATHRA_WATCH_PID:-}" ]; then
        setsid bash -c 'while kill -0 "$0" 2>/dev/null; do sleep 1; done; exec "$1" "$2" "$3"' \
            "$GATHRA_WATCH_PID" "$0" "$1" "$2" </dev/null >/dev/null 2>&1 &
    fi
}

cmd=$1
shift
case "$cmd" in
pg-start)
    dir=$1 port=$2 password=$3
    own "$dir"
    if [ ! -f "$dir/pg/PG_VERSION" ]; then
        printf '%s\n' "$password" >"$dir/pwfile"
        own "$dir/pwfile"
        as_user "$PGBIN/initdb" -D "$dir/pg" -U gathra --pwfile="$dir/pwfile" --auth=scram-sha-256 \
            -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1
        rm -f "$dir/pwfile"
    fi
    as_user "$PGBIN/pg_ctl" -D "$dir/pg" -l "$dir/pg.log" -w -t 60 \
        -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=40" start >/dev/null
    if ! PGPASSWORD=$password "$PGBIN/psql" -X -q -h "$dir" -p "$port" -U gathra -d postgres -tAc \
        "SELECT 1 FROM pg_database WHERE datname='gathra'" | grep -q 1; then
        PGPASSWORD=$password "$PGBIN/psql" -X -q -h "$dir" -p "$port" -U gathra -d postgres -c "CREATE DATABASE gathra"
    fi
    watch pg-stop "$dir"
    ;;
pg-stop)
    dir=$1 mode=${2:-fast}
    as_user "$PGBIN/pg_ctl" -D "$dir/pg" -m "$mode" -w -t 60 stop >/dev/null 2>&1 || true
    ;;
pg-sql)
    dir=$1 port=$2
    PGPASSWORD=$(cat "$dir/password") "$PGBIN/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U gathra \
        -d gathra -tA
    ;;
maria-start)
    dir=$1 port=$2 password=$3
    own "$dir"
    if [ ! -d "$dir/maria/mysql" ]; then
        mkdir -p "$dir/maria"
        own "$dir/maria"
        as_user mariadb-install-db --no-defaults --datadir="$dir/maria" --auth-root-authentication-method=normal \
            --skip-test-db >"$dir/maria-install.log" 2>&1
        fresh=1
    fi
    as_user mariadbd --no-defaults --datadir="$dir/maria" --socket="$dir/maria.sock" --port="$port" \
        --bind-address=127.0.0.1 --pid-file="$dir/maria.pid" --log-error="$dir/maria.log" \
        --innodb-flush-log-at-trx-commit=2 --skip-log-bin >/dev/null 2>&1 &
    for _ in $(seq 1 300); do
        if mariadb --no-defaults -S "$dir/maria.sock" -uroot -e "SELECT 1" >/dev/null 2>&1; then
            break
        fi
        sleep 0.1
    done
    if [ "${fresh:-0}" = 1 ]; then
        mariadb --no-defaults -S "$dir/maria.sock" -uroot -e "CREATE DATABASE gathra CHARACTER SET utf8mb4;
            CREATE USER 'gathra'@'localhost' IDENTIFIED BY '$password';
            CREATE USER 'gathra'@'127.0.0.1' IDENTIFIED BY '$password';
            GRANT ALL ON gathra.* TO 'gathra'@'localhost'; GRANT ALL ON gathra.* TO 'gathra'@'127.0.0.1';"
    fi
    watch maria-stop "$dir"
    ;;
maria-stop)
    dir=$1
    if [ -f "$dir/maria.pid" ]; then
        pid=$(cat "$dir/maria.pid")
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 1 300); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
    fi
    ;;
maria-sql)
    dir=$1
    mariadb --no-defaults -S "$dir/maria.sock" -uroot -N -B gathra
    ;;
*)
    echo "db_servers.sh: unknown command $cmd" >&2
    exit 2
    ;;
esac
