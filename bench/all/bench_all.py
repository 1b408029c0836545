"""Every surface against the anchor its user would pick, in one sitting, as
one Markdown table: `make bench-all` (which builds the release preset's
benchmarks, the tool and the OpenSSL line converter first).

    /usr/bin/python3 bench/all/bench_all.py [--reps N] [--dry-run]

Each row alternates ours and the anchor REPS times; its ratio is the median
of the repetitions' ratios and its range their lowest and highest. Ratios
are "times as fast as the anchor" except where the row says "its time".
A surface whose set-up is missing is skipped, and its row says which command
sets it up. The exit status is 0 whether or not a target is met: this is a
measurement, not a test; it is non-zero only when a measurement itself
fails (a wrong result, a program that fails).

--dry-run checks that every script of the benchmark parses and prints the
plan, in seconds, measuring nothing.
"""

import argparse
import datetime
import json
import os
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
RELEASE = os.path.join(ROOT, "build", "release")
BENCH = os.path.join(RELEASE, "bench", "clscrypt_bench")
FILE_BENCH = os.path.join(RELEASE, "bench", "clscrypt_file_bench")
ANCHOR = os.path.join(RELEASE, "bench", "clscrypt_lines_anchor")
TOOL = os.path.join(RELEASE, "tools", "clscrypt")
SQL_BUILD = os.path.join(ROOT, "build", "sql")
SQLITE_EXT = os.path.join(SQL_BUILD, "sql", "sqlite", "clscrypt_sqlite.so")
VENV_PYTHON = os.path.join(ROOT, "build", "python-venv", "bin", "python")
WASM = os.path.join(ROOT, "js", "dist", "clscrypt_wasm.mjs")
HERE = os.path.dirname(os.path.realpath(__file__))
KEY = "benchmark key"


class Row:
    def __init__(self, surface, what, anchor, target, ours="", theirs="", ratios=None, met=None, note=""):
        self.surface, self.what, self.anchor, self.target = surface, what, anchor, target
        self.ours, self.theirs, self.ratios, self.met, self.note = ours, theirs, ratios or [], met, note

    def cells(self):
        if not self.ratios:
            return [self.surface, self.what, "-", self.anchor, "-", "-", self.target, "skipped: " + self.note]
        ratio = statistics.median(self.ratios)
        met = "-" if self.target == "-" else "yes" if self.met(ratio) else "**no**"
        if self.note:
            met += " (" + self.note + ")"
        return [self.surface, self.what, self.ours, f"{self.theirs} ({self.anchor})", f"{ratio:.2f}x",
                f"{min(self.ratios):.2f}..{max(self.ratios):.2f}", self.target, met]


def at_least(x):
    return lambda r: r >= x


def at_most(x):
    return lambda r: r <= x


def run(args, **kw):
    return subprocess.run(args, check=True, **kw)


def cpu_timed(args, stdin=None, stdout=None, env=None):
    """The processor time (user + system) of a one-thread program: on a
    shared machine its wall time would measure the neighbours too."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(args, check=True, stdin=stdin, stdout=stdout, env=env)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def per_second(x, unit):
    for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if x >= scale:
            return f"{x / scale:.3g} {prefix}{unit}/s"
    return f"{x:.3g} {unit}/s"


# --- The library against OpenSSL: clscrypt_bench's own table -------------

def library(reps):
    out = run([BENCH, "--bench_system=0", f"--benchmark_repetitions={reps}"], stdout=subprocess.PIPE,
              stderr=subprocess.DEVNULL, text=True).stdout
    rows = []
    for line in out.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) != 8 or cells[0] in ("Path", "---") or not cells[4].endswith("x"):
            continue
        path, size, ours, ref, ratio, rng, target, met = cells
        low, _, high = rng.partition("-")
        row = Row("library", f"{path}, {size}", re.sub(r".*\((.*)\)$", r"\1", ref), target, ours,
                  re.sub(r"\s*\(.*\)$", "", ref))
        row.ratios = [float(ratio[:-1]), float(low), float(high)] if high else [float(ratio[:-1])]
        row.met = (lambda m: (lambda _r: m == "yes"))(met)  # the benchmark's own verdict
        rows.append(row)
    return rows


# --- Files: clscrypt_file_bench -------------------------------------------

def files(reps):
    rows = []
    env = dict(os.environ)
    for mib, threads, tool in ((256, 1, False), (256, 2, False), (1024, 2, True)):
        if tool:
            env["CLSCRYPT_TOOL"] = TOOL
        else:
            env.pop("CLSCRYPT_TOOL", None)
        # The 1 GiB run times decryption only: encrypting it twice a round
        # would take most of the sitting.
        out = run([FILE_BENCH, str(mib), "/dev/shm", str(threads), str(reps)] + (["decrypt"] if tool else []),
                  stdout=subprocess.PIPE, text=True, env=env).stdout
        rates = {}
        for line in out.splitlines():
            m = re.match(r"(.+?)\s{2,}([\d.]+)\s+([\d.]+)(?:\s+([\d.]+)x\s+([\d.]+)\.\.([\d.]+))?$", line)
            if m:
                rates[m.group(1)] = m.groups()[1:]
        size = f"{mib} MiB on tmpfs"

        def add(name, memory, what, anchor, target, limit):
            rate, peak, ratio, low, high = rates[name]
            mem_rate = rates[memory][0]
            row = Row("files", f"{what}, {size}", anchor, target + ", peak < 64 MiB",
                      f"{rate} MiB/s, peak {float(peak):.0f} MiB", f"{mem_rate} MiB/s")
            row.ratios = [float(ratio), float(low), float(high)]
            row.met = lambda r: r >= limit and float(peak) < 64
            rows.append(row)

        t = f"{threads} thread{'s' if threads > 1 else ''}"
        if not tool:
            if threads == 1:
                add("EncryptFile", "EncryptByte (in memory)", f"EncryptFile, {t}", "EncryptByte in memory",
                    ">= 0.90x", 0.9)
            add("DecryptFile", "DecryptByte (in memory)", f"DecryptFile, {t}", f"DecryptByte in memory, {t}",
                ">= 0.80x", 0.8)
        else:
            add("DecryptFile", "DecryptByte (in memory)", f"DecryptFile, {t}", f"DecryptByte in memory, {t}",
                ">= 0.80x", 0.8)
            add("clscrypt decrypt (tool)", "DecryptByte, all threads", "the tool's decrypt FILE",
                "the library's DecryptByte in memory, all threads", ">= 0.70x", 0.7)
    return rows


# --- The tool's --lines against OpenSSL converting a line at a time --------

def tool_lines(reps, count):
    work = tempfile.mkdtemp(prefix="clscrypt-bench-all-")
    try:
        plain = os.path.join(work, "plain.txt")
        with open(plain, "w") as f:
            f.writelines(f"user{i:07d}@example.org\n" for i in range(count))
        env = dict(os.environ, CLSCRYPT_BENCH_KEY=KEY)
        tool = [TOOL, "--lines", "--pass", "env:CLSCRYPT_BENCH_KEY"]
        files = {}
        for side, cmd in (("ours", [TOOL, "encrypt"] + tool[1:]), ("theirs", [ANCHOR, "encrypt"])):
            files[side] = os.path.join(work, side + ".txt")
            with open(plain) as i, open(files[side], "w") as o:
                run(cmd, stdin=i, stdout=o, env=env)
        rows = []
        for op in ("decrypt", "encrypt"):
            ratios, ours_t, theirs_t = [], [], []
            for _ in range(reps):
                source = files["ours"] if op == "decrypt" else plain
                with open(source) as i, open(os.path.join(work, "out1"), "w") as o:
                    a = cpu_timed([TOOL, op] + tool[1:], stdin=i, stdout=o, env=env)
                source = files["theirs"] if op == "decrypt" else plain
                with open(source) as i, open(os.path.join(work, "out2"), "w") as o:
                    b = cpu_timed([ANCHOR, op], stdin=i, stdout=o)
                if op == "decrypt":
                    for out in ("out1", "out2"):
                        if not filecmp_same(os.path.join(work, out), plain):
                            raise SystemExit(f"bench-all: {op} --lines gave a wrong result ({out})")
                ratios.append(b / a)
                ours_t.append(a)
                theirs_t.append(b)
            row = Row("tool", f"clscrypt {op} --lines, {count:,} values of 23 characters",
                      "OpenSSL bf-cbc, a value per line in one process; processor time", ">= 2.00x",
                      per_second(count / statistics.median(ours_t), "values"),
                      per_second(count / statistics.median(theirs_t), "values"), ratios, at_least(2.0))
            rows.append(row)
        return rows
    finally:
        shutil.rmtree(work, ignore_errors=True)


def filecmp_same(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


# --- Python ----------------------------------------------------------------

PYTHON_PART = r'''
import json, statistics, sys, time
sys.path.insert(0, sys.argv[1])
import clscrypt, bench_values
count, reps = int(sys.argv[2]), int(sys.argv[3])
plain = [f"user{i:07d}@example.org" for i in range(count)]
stored = clscrypt.encrypt_values(plain, keys=[bench_values.KEY])
enc_loop, dec_loop, _ = bench_values.single_value_loops(plain, stored)
try:
    _, c_dec, _ = bench_values.cryptography_loops(plain)
except ImportError:
    c_dec = None
def t(f):
    s = time.perf_counter(); r = f(); return time.perf_counter() - s, r
clscrypt.decrypt_values(stored[:1000], keys=[bench_values.KEY], threads=2)  # starts the threads, untimed
out = {"enc2": [], "dec2": [], "crypt": []}
for _ in range(reps):
    b, r = t(lambda: clscrypt.decrypt_values(stored, keys=[bench_values.KEY], threads=2))
    l, r2 = t(dec_loop)
    assert r == plain and r2 == plain
    out["dec2"].append((b, l))
    b, _ = t(lambda: clscrypt.encrypt_values(plain, keys=[bench_values.KEY], threads=2))
    l, _ = t(enc_loop)
    out["enc2"].append((b, l))
    if c_dec is not None:
        b, _ = t(lambda: clscrypt.decrypt_values(stored, keys=[bench_values.KEY], threads=1))
        l, r3 = t(c_dec)
        assert r3 == plain
        out["crypt"].append((b, l))
print(json.dumps(out))
'''


def python_interpreter():
    for candidate in (VENV_PYTHON, "/usr/bin/python3"):
        if os.path.exists(candidate) and subprocess.run([candidate, "-c", "import clscrypt"],
                                                          capture_output=True).returncode == 0:
            return candidate
    return None


def python_rows(reps, count):
    cases = [("dec2", "decrypt_values, threads=2", "a loop over DecryptByte (single-value method)", ">= 10.00x", 10.0),
             ("enc2", "encrypt_values, threads=2", "a loop over EncryptByte (single-value method)", ">= 10.00x", 10.0),
             ("crypt", "decrypt_values, threads=1", "python3-cryptography Blowfish-CBC, a Cipher per value",
              ">= 20.00x", 20.0)]
    rows = [Row("Python", f"{what}, {count:,} values", anchor, target) for _, what, anchor, target, _ in cases]
    py = python_interpreter()
    if py is None:
        for r in rows:
            r.note = "the package is not installed (make python-test)"
        return rows
    out = json.loads(run([py, "-c", PYTHON_PART, os.path.join(ROOT, "bench", "python"), str(count), str(reps)],
                         stdout=subprocess.PIPE, text=True).stdout)
    for row, (key, _, _, _, limit) in zip(rows, cases):
        pairs = out[key]
        if not pairs:
            row.note = "python3-cryptography is not installed"
            continue
        row.ratios = [loop / bulk for bulk, loop in pairs]
        row.ours = per_second(count / statistics.median(b for b, _ in pairs), "values")
        row.theirs = per_second(count / statistics.median(l for _, l in pairs), "values")
        row.met = at_least(limit)
    return rows


# --- The npm package ---------------------------------------------------------

def native_portable_decrypt():
    """One repetition of the native library's DecryptByte with the portable
    kernels (those the WebAssembly build has), bytes a second."""
    with tempfile.NamedTemporaryFile(suffix=".json") as f:
        run([BENCH, "--bench_system=0", "--benchmark_filter=^DecryptByte-portable/", "--benchmark_repetitions=1",
             f"--benchmark_out={f.name}", "--benchmark_out_format=json"], stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        data = json.load(open(f.name))
    return statistics.median(b["ours"] for b in data["benchmarks"] if "ours" in b)


def npm_rows(reps, count):
    values = Row("npm", f"decryptValues, {count:,} values", "Node's crypto bf-cbc, a decipher per value", ">= 2.00x")
    stream = Row("npm", "decryption stream, 64 MiB in 1 MiB pieces", "the native library's DecryptByte, "
                 "portable kernels, one thread", ">= 0.50x")
    node = shutil.which("node")
    if node is None or not os.path.exists(WASM):
        for r in (values, stream):
            r.note = "no node or no js/dist (make wasm)"
        return [values, stream]
    script = os.path.join(HERE, "node_bench.mjs")
    pairs, rates = [], []
    legacy = ["--openssl-legacy-provider"]
    for _ in range(reps):
        got = json.loads(run([node] + legacy + [script, "values", str(count)], stdout=subprocess.PIPE,
                             text=True).stdout)
        if got["loop"] is None:
            values.note = got["note"]
        else:
            pairs.append((got["bulk"], got["loop"]))
        ours = json.loads(run([node, script, "stream", "64"], stdout=subprocess.PIPE, text=True).stdout)["rate"]
        rates.append((ours, native_portable_decrypt()))
    if pairs:
        values.ratios = [loop / bulk for bulk, loop in pairs]
        values.ours = per_second(count / statistics.median(b for b, _ in pairs), "values")
        values.theirs = per_second(count / statistics.median(l for _, l in pairs), "values")
        values.met = at_least(2.0)
        values.note = "Node needs --openssl-legacy-provider for bf-cbc"
    stream.ratios = [o / n for o, n in rates]
    stream.ours = per_second(statistics.median(o for o, _ in rates), "B")
    stream.theirs = per_second(statistics.median(n for _, n in rates), "B")
    stream.met = at_least(0.5)
    return [values, stream]


# --- SQLite and PostgreSQL -------------------------------------------------

def sqlite_rows(reps, count):
    row = Row("SQLite", f"UPDATE t SET v = clscrypt_decrypt_text(v, key), {count:,} rows, its time",
              "UPDATE t SET v = hex(v)", "<= 2.50x its time")
    if not os.path.exists(SQLITE_EXT):
        row.note = "no build/sql (cmake --preset sql && cmake --build --preset sql)"
        return [row]
    import sqlite3
    con = sqlite3.connect(":memory:")
    con.enable_load_extension(True)
    con.load_extension(SQLITE_EXT)
    con.execute("CREATE TABLE src(v BLOB)")
    con.execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?) "
                "INSERT INTO src SELECT clscrypt_encrypt('value ' || i, ?) FROM n", (count, KEY))

    def update(expression):
        con.execute("DROP TABLE IF EXISTS t")
        con.execute("CREATE TABLE t AS SELECT v FROM src")
        con.commit()
        start = time.process_time()
        con.execute(f"UPDATE t SET v = {expression}", () if "?" not in expression else (KEY,))
        con.commit()
        return time.process_time() - start

    pairs = []
    for _ in range(reps):
        pairs.append((update("clscrypt_decrypt_text(v, ?)"), update("hex(v)")))
    if con.execute("SELECT v FROM t LIMIT 1").fetchone() is None:
        raise SystemExit("bench-all: the SQLite table is empty")
    row.ratios = [o / h for o, h in pairs]
    row.ours = f"{statistics.median(o for o, _ in pairs):.3f} s"
    row.theirs = f"{statistics.median(h for _, h in pairs):.3f} s"
    row.met = at_most(2.5)
    return [row]


def postgresql_rows(reps, count):
    row = Row("PostgreSQL", f"SELECT count(clscrypt_decrypt(v, key)), {count:,} values of 24 bytes",
              "pgcrypto decrypt(v, key, 'bf-cbc')", ">= 10.00x")
    if not os.path.exists(os.path.join(SQL_BUILD, "sql", "postgresql")) or shutil.which("pg_config") is None:
        row.note = "no PostgreSQL build or server (make sql-test)"
        return [row]
    if os.geteuid() != 0:
        row.note = "needs root to install the extension into the server's folders"
        return [row]
    out = run(["sh", os.path.join(HERE, "postgresql.sh"), SQL_BUILD, str(count), str(reps)], stdout=subprocess.PIPE,
              text=True).stdout
    pairs = [tuple(float(x) for x in line.split()) for line in out.splitlines() if line.strip()]
    row.ratios = [p / o for o, p in pairs]
    row.ours = f"{statistics.median(o for o, _ in pairs):.0f} ms"
    row.theirs = f"{statistics.median(p for _, p in pairs):.0f} ms"
    row.met = at_least(10.0)
    return [row]


# --- The table -----------------------------------------------------------

def machine():
    model, flags = "unknown processor", ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name") and model == "unknown processor":
                    model = line.split(":", 1)[1].strip()
                if line.startswith("flags") and not flags:
                    flags = line
    except OSError:
        pass
    vbmi = "with AVX-512 VBMI" if " avx512vbmi" in flags else "without AVX-512 VBMI"
    return f"{model} ({vbmi}), {os.cpu_count()} threads, Linux {platform.release()}"


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def dry_run():
    for script in ("postgresql.sh",):
        run(["sh", "-n", os.path.join(HERE, script)])
    node = shutil.which("node")
    if node:
        run([node, "--check", os.path.join(HERE, "node_bench.mjs")])
    compile(PYTHON_PART, "python part", "exec")
    print("bench-all dry run: the scripts parse; surfaces and their set-up here:")
    for name, ready in (("library, files, tool", all(os.path.exists(p) for p in (BENCH, FILE_BENCH, ANCHOR, TOOL))),
                        ("Python", python_interpreter() is not None), ("npm", node is not None and os.path.exists(WASM)),
                        ("SQLite", os.path.exists(SQLITE_EXT)),
                        ("PostgreSQL", shutil.which("pg_config") is not None and os.path.exists(SQL_BUILD))):
        print(f"  {name}: {'ready' if ready else 'set-up missing (skipped when measured)'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=3, help="repetitions of each row (default 3)")
    parser.add_argument("--dry-run", action="store_true", help="check the scripts parse; measure nothing")
    parser.add_argument("--only", default="", help="comma-separated surfaces to measure (library, files, tool, "
                        "python, npm, sqlite, postgresql); all by default")
    args = parser.parse_args()
    if args.dry_run:
        dry_run()
        return 0
    for needed in (BENCH, FILE_BENCH, ANCHOR, TOOL):
        if not os.path.exists(needed):
            sys.exit(f"bench-all: {needed} is missing: run make bench-all, which builds it")
    started = datetime.datetime.now(datetime.timezone.utc)
    load_start = load()
    surfaces = [("library", lambda: library(args.reps)), ("files", lambda: files(args.reps)),
                ("tool", lambda: tool_lines(args.reps, 1_000_000)), ("python", lambda: python_rows(args.reps, 100_000)),
                ("npm", lambda: npm_rows(args.reps, 100_000)), ("sqlite", lambda: sqlite_rows(args.reps, 200_000)),
                ("postgresql", lambda: postgresql_rows(args.reps, 100_000))]
    wanted = set(filter(None, args.only.split(",")))
    rows = []
    for name, measure in surfaces:
        if wanted and name not in wanted:
            continue
        print(f"bench-all: measuring {name}...", file=sys.stderr, flush=True)
        rows += measure()
    ended = datetime.datetime.now(datetime.timezone.utc)
    print(f"{machine()}; {started:%Y-%m-%d %H:%M}-{ended:%H:%M} UTC; load average {load_start} at the start, "
          f"{load()} at the end; {args.reps} repetitions a row (`make bench-all`)")
    print()
    print("| Surface | Ours | Ours: rate | Anchor: rate (anchor) | Ratio | Range | Target | Met |")
    print("|---|---|---|---|---|---|---|---|")
    for r in rows:
        print("| " + " | ".join(r.cells()) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
