# A throwaway PostgreSQL server for the tests and the benchmark, sourced by
# them. Run as root: the server runs as the postgres user, with its data and
# socket folder under /tmp, no TCP (listen_addresses=''), and is stopped and
# removed by a trap. Needs PG_CONFIG set.
#   scratch_init              the folder (SCRATCH) and a new cluster in it
#   scratch_start [options]   starts it (extra server options); sets PGHOST, PGPORT
#   as_postgres command...    runs a command as postgres (OPENSSL_CONF passes)

PG_BINDIR=$("$PG_CONFIG" --bindir)

as_postgres() {
    runuser -u postgres -- env ${OPENSSL_CONF:+OPENSSL_CONF="$OPENSSL_CONF"} "$@"
}

scratch_stop() {
    if [ -n "${SCRATCH:-}" ] && [ -d "$SCRATCH" ]; then
        as_postgres "$PG_BINDIR/pg_ctl" -D "$SCRATCH/data" -m immediate -w stop >/dev/null 2>&1 || true
        rm -rf "$SCRATCH"
    fi
}

# The socket and its lock file live in our own folder, so the port only has
# to be one no TCP listener holds (when ss is there to ask).
free_port() {
    port=54329
    while command -v ss >/dev/null && [ -n "$(ss -Hltn "sport = :$port" 2>/dev/null)" ]; do
        port=$((port + 1))
    done
    echo "$port"
}

scratch_init() {
    SCRATCH=$(mktemp -d /tmp/clscrypt-pg.XXXXXX)
    trap scratch_stop EXIT
    trap 'scratch_stop; exit 130' INT TERM
    chown postgres: "$SCRATCH"
    as_postgres "$PG_BINDIR/initdb" -D "$SCRATCH/data" -E UTF8 --locale=C -A trust -U postgres >"$SCRATCH/initdb.log" 2>&1 ||
        { cat "$SCRATCH/initdb.log" >&2; return 1; }
}

scratch_start() {
    PGPORT=$(free_port)
    PGHOST=$SCRATCH
    export PGHOST PGPORT
    as_postgres "$PG_BINDIR/pg_ctl" -D "$SCRATCH/data" -l "$SCRATCH/server.log" -w \
        -o "-c listen_addresses='' -k $SCRATCH -p $PGPORT $*" start >/dev/null ||
        { cat "$SCRATCH/server.log" >&2; return 1; }
}
