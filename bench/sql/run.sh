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
# The same server and tables as `make bench-all`'s PostgreSQL row: the
# two statements in turn, twice; the better time of each.
sh "$here/../all/postgresql.sh" "$build" "$rows" 2 | awk -v n="$rows" '
    NR == 1 || $1 < c { c = $1 }
    NR == 1 || $2 < p { p = $2 }
    END { printf "postgresql  %d values  clscrypt_decrypt: %.0f ms  pgcrypto decrypt bf-cbc: %.0f ms  speed-up %.1fx (target >= 10)\n", n, c, p, p / c }'
