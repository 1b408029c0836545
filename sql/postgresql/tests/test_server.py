"""The PostgreSQL extension in the scratch server that run.sh started, for
what a regression script cannot show: the server log, statement timeouts and
cancel requests arriving while a long call runs (with the times to stop),
errors that go uncaught to the client. Run as root by run.sh, with PGHOST,
PGPORT, PG_BINDIR, SCRATCH (the server log is $SCRATCH/server.log) and
CLSCRYPT_CONFORMANCE set."""

import json
import os
import subprocess
import sys
import time
import unittest

PSQL = os.path.join(os.environ["PG_BINDIR"], "psql")
LOG = os.path.join(os.environ["SCRATCH"], "server.log")
with open(os.environ["CLSCRYPT_CONFORMANCE"], encoding="utf-8") as f:
    CASES = json.load(f)
DB = "clscrypt_server_test"


def psql(sql, db=DB, check=True, app="clscrypt_test", timeout=600):
    run = subprocess.run([PSQL, "-X", "-At", "-U", "postgres", "-d", db, "-v", "VERBOSITY=verbose"],
                         input=sql, capture_output=True, text=True, timeout=timeout,
                         env=dict(os.environ, PGAPPNAME=app))
    if check and run.returncode != 0:
        raise AssertionError(f"psql failed: {run.stderr}")
    return run


def log_size():
    return os.path.getsize(LOG)


def log_since(offset):
    with open(LOG, "rb") as f:
        f.seek(offset)
        return f.read().decode("utf-8", "replace")


def setUpModule():
    psql(f"DROP DATABASE IF EXISTS {DB}; CREATE DATABASE {DB};", db="postgres")
    psql("CREATE EXTENSION clscrypt;")


# Long calls over about 200 MB made in the statement by repeat() of a long
# string (repeat() of one character would itself take seconds), each with the
# same statement without the long call, to time what comes before it.
MB = 1000 * 1000
TEXT = f"repeat(repeat('Z', 1000), {200 * MB // 1000})"
BYTES = f"convert_to(repeat(repeat('Z', 1000), {200 * MB // 1000}), 'UTF8')"
LONG_QUERY = f"SELECT length(clscrypt_encrypt({TEXT}, 'k'));"
LONG_CALLS = [
    (LONG_QUERY, f"SELECT length({TEXT});"),
    (f"SELECT length(clscrypt_to_hex({BYTES}));", f"SELECT length({BYTES});"),
    (f"SELECT length(clscrypt_decrypt(c, 'k')) FROM (SELECT clscrypt_encrypt({BYTES}, 'k') AS c OFFSET 0) AS t;",
     None),
]


def timed(sql, **kwargs):
    begin = time.monotonic()
    run = psql(sql, **kwargs)
    return run, time.monotonic() - begin


class ServerLog(unittest.TestCase):
    def test_spliced_slices_show_no_deciphered_bytes_to_the_client_or_the_log(self):
        case = CASES["spliced"]
        cipher = bytes.fromhex(case["cipher"])
        pieces = [(at, size) for at in range(len(cipher) - 15) for size in range(16, len(cipher) - at + 1, 8)
                  if not (at == 0 and size == len(cipher))]
        keys = ", ".join("'" + k.replace("'", "''") + "'" for k in case["keys"])
        # The slices live in a table, so no statement the log records holds
        # ciphertext; each decryption is its own statement, uncaught.
        rows = ", ".join(f"({i}, '\\x{cipher[at:at + size].hex()}'::bytea)" for i, (at, size) in enumerate(pieces))
        psql(f"DROP TABLE IF EXISTS slices; CREATE TABLE slices (id int, v bytea); INSERT INTO slices VALUES {rows};")
        statements = "SET log_error_verbosity = verbose;\n" + "".join(
            f"SELECT {fn}(v, {keys}) FROM slices WHERE id = {i};\n"
            for i in range(len(pieces)) for fn in ("clscrypt_decrypt", "clscrypt_decrypt_text"))
        start = log_size()
        run = psql(statements, check=False)
        time.sleep(0.5)  # the logging collector is not used: the log is written as errors happen
        log = log_since(start)
        self.assertEqual(run.stderr.count("ERROR:  22K01:"), 2 * len(pieces), run.stderr[:2000])
        self.assertGreaterEqual(log.count("Incorrect size descriptor"), 2 * len(pieces))
        for forbidden in case["forbidden"]:
            self.assertNotIn(forbidden, run.stderr)
            self.assertNotIn(forbidden, log)


class Cancellation(unittest.TestCase):
    def test_statement_timeout_stops_a_long_call(self):
        for query, before in LONG_CALLS:
            with self.subTest(query):
                _, whole = timed(query)
                # The timeout falls inside the long call: 200 ms, or 200 ms
                # after what comes before it when that takes longer.
                lead = timed(before)[1] if before else 0.0
                timeout_ms = max(200, int((lead + 0.2) * 1000))
                self.assertLess(timeout_ms / 1000 + 0.5, whole, "the call is too short to show a cancel")
                start = log_size()
                run, stopped = timed(f"SET statement_timeout = '{timeout_ms}ms';\n" + query, check=False)
                self.assertIn("57014: canceling statement due to statement timeout", run.stderr)
                # A generous bound, no speed target: the call acts on the
                # pending cancel instead of running to its end.
                self.assertLess(stopped, timeout_ms / 1000 + (whole - timeout_ms / 1000) / 2, run.stderr)
                print(f"\n  {query}\n    uncancelled {whole:.2f} s; statement_timeout {timeout_ms} ms "
                      f"(work before the call {lead:.2f} s): stopped after {stopped:.2f} s", file=sys.stderr)
                self.assertIn("canceling statement due to statement timeout", log_since(start))
        self.assertEqual(psql("SELECT clscrypt_decrypt_text(clscrypt_encrypt('v', 'k'), 'k');").stdout.strip(), "v")

    def test_pg_cancel_backend_from_another_session(self):
        app = "clscrypt_cancel_me"
        victim = subprocess.Popen([PSQL, "-X", "-At", "-U", "postgres", "-d", DB, "-c", LONG_QUERY],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                  env=dict(os.environ, PGAPPNAME=app))
        try:
            pid = ""
            deadline = time.monotonic() + 60
            while not pid and time.monotonic() < deadline:
                pid = psql(f"SELECT pid FROM pg_stat_activity WHERE application_name = '{app}' "
                           "AND state = 'active' AND query LIKE '%clscrypt_encrypt%';").stdout.strip()
                time.sleep(0.05)
            self.assertTrue(pid, "the long query never ran")
            time.sleep(0.5)  # well inside the call (repeat() takes a tenth of that)
            sent = time.monotonic()
            self.assertEqual(psql(f"SELECT pg_cancel_backend({pid});").stdout.strip(), "t")
            _, err = victim.communicate(timeout=600)
            stopped = time.monotonic() - sent
        finally:
            if victim.poll() is None:
                victim.kill()
        self.assertIn("canceling statement due to user request", err)
        self.assertNotEqual(victim.returncode, 0)
        _, whole = timed(LONG_QUERY)
        self.assertLess(stopped, (whole - 0.5) / 2, err)
        print(f"\n  pg_cancel_backend 0.5 s into {LONG_QUERY} (uncancelled {whole:.2f} s): stopped {stopped:.2f} s "
              "after the request", file=sys.stderr)


if __name__ == "__main__":
    unittest.main()
