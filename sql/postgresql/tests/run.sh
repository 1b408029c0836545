#!/bin/sh
# The PostgreSQL extension against a real, throwaway server: installs it into
# pg_config's directories (the system's: PostgreSQL 15 reads extension
# control files from its share folder only, there is no
# extension_control_path, so a scratch prefix cannot serve), starts a server
# as the postgres user, runs the regression script through pg_regress, which
# compares its output with expected/, then test_server.py (the server log,
# statement timeouts and cancel requests). Needs root; exits 77 (skipped)
# otherwise.
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

echo "installing the extension into the system's PostgreSQL folders: $("$PG_CONFIG" --pkglibdir)," \
    "$("$PG_CONFIG" --sharedir)/extension (PostgreSQL 15 loads extensions from there only)"
cmake --install "$build" --component postgresql >/dev/null
scratch_init
cp "$here/../../../tests/data/conformance.json" "$SCRATCH/conformance.json"
chmod 644 "$SCRATCH/conformance.json"
CLSCRYPT_CONFORMANCE=$SCRATCH/conformance.json
export CLSCRYPT_CONFORMANCE
scratch_start
regress=$(dirname "$("$PG_CONFIG" --pgxs)")/../test/regress/pg_regress
mkdir "$SCRATCH/out" && chown postgres: "$SCRATCH/out"
if ! as_postgres env CLSCRYPT_CONFORMANCE="$CLSCRYPT_CONFORMANCE" "$regress" --bindir="$PG_BINDIR" --host="$PGHOST" --port="$PGPORT" --inputdir="$here" \
        --outputdir="$SCRATCH/out" --dbname=clscrypt_regression clscrypt; then
    cat "$SCRATCH/out/regression.diffs" 2>/dev/null || true
    tail -20 "$SCRATCH/server.log"
    exit 1
fi
PG_BINDIR=$PG_BINDIR SCRATCH=$SCRATCH python3 "$here/test_server.py" -v || {
    tail -20 "$SCRATCH/server.log"
    exit 1
}
