"""Rows whose keys change from row to row: the key cache of the SQLite
extension. 100,000 rows cycle through N distinct keys (row i has key
i mod N), so every row asks for another key than the one before; the time to
decrypt them all is printed for each N. While N fits the cache, each key is
set up once; past it, every row sets its key up again.
    python3 bench/sql/key_cache_bench.py <clscrypt_sqlite.so> [rows] [N...]"""

import sqlite3
import sys
import time


def connect(extension):
    con = sqlite3.connect(":memory:")
    con.enable_load_extension(True)
    con.load_extension(extension)
    con.enable_load_extension(False)
    return con


# Keys that differ in the first byte of each key word: the format packs key
# bytes by an accumulating or, so keys differing only in bits an earlier byte
# sets are one key.
KEY = ("char(65 + {k} % 26) || 'zzz' || char(65 + {k} / 26 % 26) || 'zzz' || "
       "char(65 + {k} / 676) || 'zzz'")


def run(extension, rows, distinct, rounds=3):
    con = connect(extension)
    con.execute("CREATE TABLE t(i INTEGER, k TEXT, v BLOB)")
    con.execute("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < ?) "
                f"INSERT INTO t SELECT i, {KEY.format(k=f'(i % {distinct})')}, NULL FROM n", (rows - 1,))
    # Written with a key-ordered pass (one key at a time), read interleaved.
    con.execute("UPDATE t SET v = clscrypt_encrypt('value ' || i, k) WHERE i IN "
                "(SELECT i FROM t ORDER BY k)")
    assert con.execute("SELECT count(DISTINCT k) FROM t").fetchone()[0] == distinct
    best = None
    for _ in range(rounds):
        start = time.perf_counter()
        read = con.execute("SELECT count(*) FROM t WHERE clscrypt_decrypt_text(v, k) = 'value ' || i").fetchone()[0]
        elapsed = time.perf_counter() - start
        assert read == rows, read
        best = elapsed if best is None else min(best, elapsed)
    con.close()
    return best


def main():
    extension = sys.argv[1]
    rows = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    counts = [int(a) for a in sys.argv[3:]] or [1, 10, 20, 300]
    times = {}
    for n in counts:
        times[n] = run(extension, rows, n)
        print(f"sqlite  {rows} rows, {n:4d} keys interleaved: {times[n] * 1000:8.0f} ms", flush=True)
    if 10 in times:
        for n in counts:
            if n != 10:
                print(f"sqlite  {n} keys / 10 keys: {times[n] / times[10]:.1f}x")


if __name__ == "__main__":
    main()
