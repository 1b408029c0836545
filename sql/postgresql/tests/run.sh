#!/bin/sh
# The PostgreSQL extension against a real, throwaway server: installs it into
# pg_config's directories, starts a server as the postgres user and runs the
# regression script through pg_regress, which compares its output with
# expected/. Needs root; exits 77 (skipped) otherwise.
#   run.sh <build folder> <pg_config>
set -eu
build=$1
PG_CONFIG=$2
here=$(cd "$(dirname "$0")" && pwd)
if [ "$(id -u)" -ne 0 ] || ! id postgres >/dev/null 2>&1; then
    echo "skipped: needs root and the postgres user (installs into the server's folders, runs it as postgres)"
    exit 77
fi
. "$here/scratch_server.sh"

cmake --install "$build" --component postgresql >/dev/null
scratch_init
scratch_start
regress=$(dirname "$("$PG_CONFIG" --pgxs)")/../test/regress/pg_regress
mkdir "$SCRATCH/out" && chown postgres: "$SCRATCH/out"
if ! as_postgres "$regress" --bindir="$PG_BINDIR" --host="$PGHOST" --port="$PGPORT" --inputdir="$here" \
        --outputdir="$SCRATCH/out" --dbname=clscrypt_regression clscrypt; then
    cat "$SCRATCH/out/regression.diffs" 2>/dev/null || true
    tail -20 "$SCRATCH/server.log"
    exit 1
fi
