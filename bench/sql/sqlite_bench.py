"""SQLite: a 1,000,000-row UPDATE that decrypts every value with
clscrypt_decrypt_text, against the same UPDATE with the built-in hex().
Each is timed on a fresh copy of the same column, best of several rounds, in
processor time of this process (the machine may be shared: wall time would
measure the neighbours too).
    /usr/bin/python3 sqlite_bench.py path/to/clscrypt_sqlite.so [rows] [rounds]"""

import sqlite3
import sys
import time

extension = sys.argv[1]
rows = int(sys.argv[2]) if len(sys.argv) > 2 else 1000000
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3

con = sqlite3.connect(":memory:")
con.enable_load_extension(True)
con.load_extension(extension)
con.execute("CREATE TABLE src(v BLOB)")
con.execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?) "
            "INSERT INTO src SELECT clscrypt_encrypt('value ' || i, 'benchmark key') FROM n", (rows,))
con.commit()


def timed(expression):
    best = None
    for _ in range(rounds):
        con.execute("DROP TABLE IF EXISTS t")
        con.execute("CREATE TABLE t AS SELECT v FROM src")
        con.commit()
        start = time.process_time()
        con.execute(f"UPDATE t SET v = {expression}")
        con.commit()
        elapsed = time.process_time() - start
        best = elapsed if best is None else min(best, elapsed)
    return best


check = con.execute("SELECT clscrypt_decrypt_text(v, 'benchmark key') FROM src LIMIT 1").fetchone()[0]
assert check == "value 1", check
hex_time = timed("hex(v)")
decrypt_time = timed("clscrypt_decrypt_text(v, 'benchmark key')")
print(f"sqlite  {rows} rows, processor time  UPDATE hex(v): {hex_time:.3f} s  "
      f"UPDATE clscrypt_decrypt_text: {decrypt_time:.3f} s  ratio {decrypt_time / hex_time:.2f} (target <= 2.5)")
