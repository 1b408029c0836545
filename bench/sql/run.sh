#!/bin/sh
# The SQL benchmarks, on the optimised build of the sql preset:
#   SQLite: 1,000,000-row UPDATE with clscrypt_decrypt_text against hex(v);
#   PostgreSQL: clscrypt_decrypt over 1,000,000 values against pgcrypto's
#   decrypt(v, key, 'bf-cbc') on values of the same size, in one throwaway
#   server whose OpenSSL has the legacy provider on (pgcrypto's Blowfish
#   needs it). Run as root (the extension is installed into the server's
#   folders and the server runs as postgres); the PostgreSQL part is skipped
#   otherwise.
#   sh bench/sql/run.sh [build folder] [rows]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build/sql}
rows=${2:-1000000}

/usr/bin/python3 "$here/sqlite_bench.py" "$build/sql/sqlite/clscrypt_sqlite.so" "$rows" 3

if [ "$(id -u)" -ne 0 ]; then
    echo "postgresql: skipped (needs root)"
    exit 0
fi
PG_CONFIG=${PG_CONFIG:-pg_config}
. "$here/../../sql/postgresql/tests/scratch_server.sh"
cmake --install "$build" --component postgresql >/dev/null
scratch_init
cat >"$SCRATCH/openssl.cnf" <<'CNF'
openssl_conf = openssl_init
[openssl_init]
providers = provider_sect
[provider_sect]
default = default_sect
legacy = legacy_sect
[default_sect]
activate = 1
[legacy_sect]
activate = 1
CNF
chmod 644 "$SCRATCH/openssl.cnf"
OPENSSL_CONF=$SCRATCH/openssl.cnf
export OPENSSL_CONF
scratch_start

psql_run() {
    as_postgres "$PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$PGHOST" -p "$PGPORT" -U postgres -d postgres "$@"
}

# Both columns hold 24-byte ciphertexts: "value N" padded to 12 bytes in the
# format's layout, to 20 in pgcrypto's (PKCS padding to 24).
psql_run <<SQL
CREATE EXTENSION clscrypt;
CREATE EXTENSION pgcrypto;
CREATE TABLE c AS SELECT clscrypt_encrypt(rpad('value ' || i, 12), 'benchmark key') AS v
    FROM generate_series(1, $rows) AS i;
CREATE TABLE p AS SELECT encrypt(convert_to(rpad('value ' || i, 20), 'UTF8'), 'benchmark key', 'bf-cbc') AS v
    FROM generate_series(1, $rows) AS i;
VACUUM ANALYZE c;
VACUUM ANALYZE p;
SQL
sizes=$(psql_run -At -c "SELECT (SELECT min(length(v)) || '-' || max(length(v)) FROM c) || ' ' || (SELECT min(length(v)) || '-' || max(length(v)) FROM p)")
echo "postgresql  ciphertext bytes (clscrypt, pgcrypto): $sizes"

# Best of the rounds, in milliseconds, from psql's \timing (wall time: the
# work runs in the server process).
best_ms() {
    query=$1
    rounds=${2:-3}
    i=0
    printf '\\timing on\n' >"$SCRATCH/q.sql"
    while [ $i -lt $rounds ]; do
        printf '%s\n' "$query" >>"$SCRATCH/q.sql"
        i=$((i + 1))
    done
    chmod 644 "$SCRATCH/q.sql"
    psql_run -f "$SCRATCH/q.sql" | sed -n 's/^Time: \([0-9.]*\) ms.*/\1/p' | sort -n | head -1
}
clscrypt_ms=$(best_ms "SELECT count(clscrypt_decrypt(v, 'benchmark key')) FROM c;")
pgcrypto_ms=$(best_ms "SELECT count(decrypt(v, 'benchmark key', 'bf-cbc')) FROM p;" 1)  # tens of seconds
baseline_ms=$(best_ms "SELECT count(length(v)) FROM c;")
awk -v c="$clscrypt_ms" -v p="$pgcrypto_ms" -v b="$baseline_ms" -v n="$rows" 'BEGIN {
    printf "postgresql  %d values  clscrypt_decrypt: %.0f ms  pgcrypto decrypt bf-cbc: %.0f ms  speed-up %.1fx (target >= 10)  (scan alone: %.0f ms)\n", n, c, p, p / c, b
}'
