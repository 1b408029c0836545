#!/bin/sh
# The PostgreSQL side of `make bench-all`: clscrypt_decrypt against
# pgcrypto's decrypt(v, key, 'bf-cbc') over ROWS values of 24 bytes in one
# throwaway server (running as postgres; its OpenSSL has the legacy provider
# on, which pgcrypto's Blowfish needs), the two statements in turn REPS
# times. Prints one line per repetition: "ours_ms pgcrypto_ms". Run as root:
# the extension is installed into the server's folders first.
#   sh bench/all/postgresql.sh SQL_BUILD_FOLDER ROWS REPS
set -eu
build=$1
rows=$2
reps=$3
here=$(cd "$(dirname "$0")/../.." && pwd)
PG_CONFIG=${PG_CONFIG:-pg_config}
. "$here/sql/postgresql/tests/scratch_server.sh"
cmake --install "$build" --component postgresql >/dev/null
scratch_init
printf 'openssl_conf = openssl_init\n[openssl_init]\nproviders = provider_sect\n[provider_sect]\ndefault = default_sect\nlegacy = legacy_sect\n[default_sect]\nactivate = 1\n[legacy_sect]\nactivate = 1\n' >"$SCRATCH/openssl.cnf"
chmod 644 "$SCRATCH/openssl.cnf"
OPENSSL_CONF=$SCRATCH/openssl.cnf
export OPENSSL_CONF
scratch_start

psql_run() {
    as_postgres "$PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$PGHOST" -p "$PGPORT" -U postgres -d postgres "$@"
}
# 24-byte ciphertexts on both sides: "value N" padded to 12 bytes in our
# layout, to 20 in pgcrypto's (PKCS padding to 24).
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
{
    printf '\\timing on\n'
    i=0
    while [ $i -lt "$reps" ]; do
        printf "SELECT count(clscrypt_decrypt(v, 'benchmark key')) FROM c;\n"
        printf "SELECT count(decrypt(v, 'benchmark key', 'bf-cbc')) FROM p;\n"
        i=$((i + 1))
    done
} >"$SCRATCH/q.sql"
chmod 644 "$SCRATCH/q.sql"
psql_run -f "$SCRATCH/q.sql" | sed -n 's/^Time: \([0-9.]*\) ms.*/\1/p' | paste - -
