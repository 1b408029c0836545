"""The SQLite extension through Python's sqlite3 module (Debian's interpreter,
whose module loads extensions) and the sqlite3 shell: known answers, NULLs,
the try_ functions, every error path and hostile input."""

import json
import os
import shutil
import sqlite3
import subprocess
import sys
import textwrap
import threading
import time
import unittest

EXTENSION = os.environ["CLSCRYPT_SQLITE_EXTENSION"]
# The cases every surface runs (tests/data/make_conformance.py).
CONFORMANCE = os.environ.get("CLSCRYPT_CONFORMANCE") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "data", "conformance.json")
with open(CONFORMANCE, encoding="utf-8") as f:
    CASES = json.load(f)

# Made by a program that never set a key, with both random words 0: the
# shared known answers without keys, as (hexadecimal text, message).
UNKEYED = [(case["cipher"], bytes.fromhex(case["message"])) for case in CASES["known_answers"] if not case["keys"]]

# Ciphertexts made by the library's clsToString: a key history, keys and
# texts through code pages. The same ones are read by the PostgreSQL tests.
KEYED = [
    ("D32584064F095624A76BA7EAE9DD5F21", ("A", "B"), 1252, "abc"),
    ("F539929BB3799E5493101ADEC1EC9E356610035520C52A2F", ("Пароль",), 1251, "Привет"),
    ("E6F1AF8D815F2BD163789C971E08A13B", ("Grüße",), 1252, "€ 5"),
]

DIGESTS = [
    ("", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"),
    ("abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
    # Only the low byte of each 16-bit unit counts.
    ("\u20ac", "ee6bb86b44339392bae631c8f61dd8f009243c635adab33c0b20923a2794bf22"),
    ("\u0100", "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"),
    ("a\u0100\u20ac\uffffb", "d47138a91cd3054af2f2a6ff7104fd5c899462539d49031bf5b5881fe92e4139"),
]


def connect():
    con = sqlite3.connect(":memory:")
    con.enable_load_extension(True)
    con.load_extension(EXTENSION)
    con.enable_load_extension(False)
    return con


class SqliteTest(unittest.TestCase):
    def setUp(self):
        self.con = connect()

    def tearDown(self):
        self.con.close()

    def one(self, sql, *params):
        return self.con.execute(sql, params).fetchone()[0]

    def fails(self, sql, params, fragment, code=sqlite3.SQLITE_ERROR):
        with self.assertRaises(sqlite3.Error, msg=sql) as caught:
            self.con.execute(sql, params).fetchall()
        self.assertIn(fragment, str(caught.exception), sql)
        self.assertEqual(caught.exception.sqlite_errorcode, code, sql)
        return str(caught.exception)


class KnownAnswers(SqliteTest):
    def test_ciphertexts_of_other_programs(self):
        self.assertGreaterEqual(len(UNKEYED), 3)
        for hex_text, message in UNKEYED:
            self.assertEqual(self.one("SELECT clscrypt_decrypt(clscrypt_from_hex(?))", hex_text), message)
        for hex_text, keys, page, text in KEYED:
            with self.subTest(keys=keys):
                self.one("SELECT clscrypt_codepage(?)", page)
                marks = ", ?" * len(keys)
                got = self.one(f"SELECT clscrypt_decrypt_text(clscrypt_from_hex(?){marks})", hex_text, *keys)
                self.assertEqual(got, text)
                # The history is a sequence: the last key alone, or the keys in
                # another order, do not read it.
                if len(keys) > 1:
                    for wrong in (keys[-1:], tuple(reversed(keys))):
                        self.assertIsNone(self.one(
                            "SELECT clscrypt_try_decrypt_text(clscrypt_from_hex(?), ?, ?)" if len(wrong) == 2
                            else "SELECT clscrypt_try_decrypt_text(clscrypt_from_hex(?), ?)", hex_text, *wrong))

    def test_digests_and_hexadecimal_text(self):
        for message, digest in DIGESTS:
            self.assertEqual(self.one("SELECT clscrypt_sha256(?)", message), digest)
        cases = [
            ("SELECT clscrypt_to_hex(x'00ff10')", "00FF10"),
            ("SELECT clscrypt_to_hex(x'00ff10', ' : ')", "00 : FF : 10"),
            ("SELECT clscrypt_to_hex(x'')", ""),
            ("SELECT clscrypt_from_hex('00 ff-1a:B2\r\n')", b"\x00\xff\x1a\xb2"),
            ("SELECT clscrypt_from_hex('')", b""),
            # The legacy conversions: the code page's bytes, a space between
            # pairs by default, the separator's first character repeated.
            ("SELECT clscrypt_str_to_hex('AB€')", "41 42 80"),
            ("SELECT clscrypt_str_to_hex('AB', '-+')", "41--42"),
            ("SELECT clscrypt_str_to_hex('AB', '')", "4142"),
            ("SELECT clscrypt_hex_to_str('41 42 80', 1)", "AB€"),
            ("SELECT clscrypt_hex_to_str('4142')", "AB"),
            ("SELECT clscrypt_hex_to_str('')", ""),
        ]
        for sql, expected in cases:
            self.assertEqual(self.one(sql), expected, sql)
        self.one("SELECT clscrypt_codepage(1251)")
        self.assertEqual(self.one("SELECT clscrypt_str_to_hex('Пр')"), "CF F0")
        self.assertEqual(self.one("SELECT clscrypt_hex_to_str('CFF0')"), "Пр")


class RoundTrips(SqliteTest):
    def test_every_byte_value_under_a_key_history(self):
        every = bytes(range(256))
        cipher = self.one("SELECT clscrypt_encrypt(?, 'A', 'B')", every)
        self.assertEqual(len(cipher), 8 * ((256 + 12 + 7) // 8))
        self.assertEqual(self.one("SELECT clscrypt_decrypt(?, 'A', 'B')", cipher), every)
        # In Windows-1252 every byte is a character: the text form keeps them all.
        text = self.one("SELECT clscrypt_decrypt_text(?, 'A', 'B')", cipher)
        self.assertEqual(len(text), 256)
        self.assertEqual(self.one("SELECT clscrypt_decrypt(clscrypt_encrypt(?, 'A', 'B'), 'A', 'B')", text), every)
        self.assertIsNone(self.one("SELECT clscrypt_try_decrypt(?, 'B')", cipher))

    def test_text_goes_through_the_connection_code_page(self):
        self.fails("SELECT clscrypt_encrypt('Привет', 'k')", (), "the text has a character at position 1, which code "
                   "page 1252 lacks", sqlite3.SQLITE_ERROR)
        self.assertEqual(self.one("SELECT clscrypt_codepage(1251)"), 1251)
        self.assertEqual(self.one("SELECT clscrypt_codepage()"), 1251)
        cipher = self.one("SELECT clscrypt_encrypt('Привет', 'Ключ')")
        self.assertEqual(len(cipher), 24)  # one byte a character
        self.assertEqual(self.one("SELECT clscrypt_decrypt_text(?, 'Ключ')", cipher), "Привет")
        # Another connection keeps its own setting: 1252 lacks the key's
        # letters, so it refuses the key, and with "?" for them it is another
        # key.
        other = connect()
        self.assertEqual(other.execute("SELECT clscrypt_codepage()").fetchone()[0], 1252)
        with self.assertRaises(sqlite3.Error) as caught:
            other.execute("SELECT clscrypt_try_decrypt(?, 'Ключ')", (cipher,)).fetchone()
        self.assertIn("key 1 has a character at position 1, which code page 1252 lacks", str(caught.exception))
        other.execute("SELECT clscrypt_replace_unmappable(1)")
        self.assertIsNone(other.execute("SELECT clscrypt_try_decrypt(?, 'Ключ')", (cipher,)).fetchone()[0])
        other.close()

    def test_empty_values_and_no_key(self):
        for value in (b"", ""):
            cipher = self.one("SELECT clscrypt_encrypt(?)", value)
            self.assertEqual(len(cipher), 16)
            self.assertEqual(self.one("SELECT clscrypt_decrypt(?)", cipher), b"")
        cipher = self.one("SELECT clscrypt_encrypt('x', '')")  # the empty key first is no key
        self.assertEqual(self.one("SELECT clscrypt_decrypt_text(?)", cipher), "x")

    def test_a_million_row_update(self):
        con = self.con
        con.execute("CREATE TABLE t(id INTEGER PRIMARY KEY, v)")
        con.execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000000) "
                    "INSERT INTO t SELECT i, 'value ' || i FROM n")
        con.execute("UPDATE t SET v = clscrypt_encrypt(v, 'old key', 'new key')")
        self.assertEqual(self.one("SELECT count(*) FROM t WHERE typeof(v) = 'blob' "
                                  "AND length(v) = (length('value ' || id) + 19) / 8 * 8"), 1000000)
        con.execute("UPDATE t SET v = clscrypt_decrypt_text(v, 'old key', 'new key')")
        self.assertEqual(self.one("SELECT count(*) FROM t WHERE v = 'value ' || id"), 1000000)


class NullsAndTypes(SqliteTest):
    def test_null_in_any_position_gives_null(self):
        calls = [
            "clscrypt_encrypt(?, 'k')", "clscrypt_encrypt(x'00', ?)", "clscrypt_encrypt('a', 'k', ?)",
            "clscrypt_decrypt(?, 'k')", "clscrypt_decrypt(x'00', 'k', ?)", "clscrypt_decrypt_text(?)",
            "clscrypt_try_decrypt(x'00', ?)", "clscrypt_try_decrypt_text(?, 'k')", "clscrypt_to_hex(?)",
            "clscrypt_to_hex(x'00', ?)", "clscrypt_from_hex(?)", "clscrypt_str_to_hex(?)",
            "clscrypt_str_to_hex('a', ?)", "clscrypt_hex_to_str(?)", "clscrypt_hex_to_str('41', ?)",
            "clscrypt_sha256(?)", "clscrypt_codepage(?)",
        ]
        for call in calls:
            self.assertIsNone(self.one("SELECT " + call, None), call)
        self.assertEqual(self.one("SELECT clscrypt_codepage()"), 1252)

    def test_wrong_types_are_errors_not_conversions(self):
        mismatch = sqlite3.SQLITE_MISMATCH
        cases = [
            ("SELECT clscrypt_encrypt(12, 'k')", (), "argument 1 must be a BLOB or TEXT"),
            ("SELECT clscrypt_encrypt('a', 12)", (), "argument 2 must be TEXT"),
            ("SELECT clscrypt_encrypt('a', 'k', x'00')", (), "argument 3 must be TEXT"),
            ("SELECT clscrypt_decrypt('F155B7CFC1E56C7B78E2F0DF084C4045')", (), "clscrypt_from_hex"),
            ("SELECT clscrypt_decrypt_text(1.5)", (), "argument 1 must be a BLOB"),
            ("SELECT clscrypt_to_hex('text')", (), "argument 1 must be a BLOB"),
            ("SELECT clscrypt_from_hex(x'41')", (), "argument 1 must be TEXT"),
            ("SELECT clscrypt_hex_to_str('41', '1')", (), "argument 2 must be an INTEGER"),
            ("SELECT clscrypt_sha256(1)", (), "argument 1 must be TEXT"),
            ("SELECT clscrypt_codepage('1251')", (), "argument 1 must be an INTEGER"),
        ]
        for sql, params, fragment in cases:
            self.fails(sql, params, fragment, mismatch)


class Errors(SqliteTest):
    def test_every_error_path(self):
        cipher = self.one("SELECT clscrypt_encrypt('secret value', 'right')")
        error = sqlite3.SQLITE_ERROR
        cases = [
            # (sql, params, message fragment, result code)
            ("SELECT clscrypt_decrypt(?, 'wrong')", (cipher,), "Incorrect size descriptor", error),
            ("SELECT clscrypt_decrypt_text(x'0011')", (), "Subscript out of range", error),
            ("SELECT clscrypt_decrypt(zeroblob(20))", (), "Subscript out of range", error),
            ("SELECT clscrypt_decrypt(?, 'right', '')", (cipher,), "(error ", error),
            ("SELECT clscrypt_encrypt()", (), "takes the value and then its keys", error),
            ("SELECT clscrypt_encrypt('Ж', 'k')", (), "which code page 1252 lacks", error),
            ("SELECT clscrypt_encrypt('v', 'aЖ')", (), "key 1 has a character at position 2", error),
            ("SELECT clscrypt_from_hex('4')", (), "ends in half a pair of digits", error),
            ("SELECT clscrypt_from_hex('41 4g')", (), "not a digit at position 5", error),
            ("SELECT clscrypt_hex_to_str('41 42', -2)", (), "Division by zero", error),
            ("SELECT clscrypt_hex_to_str('4G')", (), "Subscript out of range", error),
            ("SELECT clscrypt_hex_to_str('41', 4294967296)", (), "Overflow", sqlite3.SQLITE_TOOBIG),
            ("SELECT clscrypt_codepage(9)", (), "code page 9 is not built in", error),
            ("SELECT clscrypt_codepage(4294968548)", (), "is not built in", error),
            # TEXT that is not UTF-8, in each place a text goes.
            ("SELECT clscrypt_encrypt(CAST(x'ff' AS TEXT), 'k')", (), "not UTF-8", error),
            ("SELECT clscrypt_encrypt('v', CAST(x'c0af' AS TEXT))", (), "key 1 is not UTF-8", error),
            ("SELECT clscrypt_sha256(CAST(x'61ed' AS TEXT))", (), "not UTF-8 (byte offset 1)", error),
            ("SELECT clscrypt_str_to_hex('a', CAST(x'80' AS TEXT))", (), "the separator is not UTF-8", error),
        ]
        for sql, params, fragment, code in cases:
            message = self.fails(sql, params, fragment, code)
            self.assertNotIn("secret value", message)
            self.assertNotIn("right", message)
        # The library's number travels with its message.
        self.assertIn("(error -2147221504)", self.fails("SELECT clscrypt_decrypt(?, 'x')", (cipher,), "descriptor"))

    def test_try_functions_give_null_only_for_values_no_key_reads(self):
        cipher = self.one("SELECT clscrypt_encrypt('v', 'k')")
        for value in (cipher, b"", b"\x00" * 15, b"\x00" * 20, b"\x00" * 24):
            for fn in ("clscrypt_try_decrypt", "clscrypt_try_decrypt_text"):
                self.assertIsNone(self.one(f"SELECT {fn}(?, 'other')", value), (fn, value))
        self.assertEqual(self.one("SELECT clscrypt_try_decrypt_text(?, 'k')", cipher), "v")
        # Errors of the caller's own making are still errors.
        self.fails("SELECT clscrypt_try_decrypt(?, 'k', '')", (cipher,), "(error ")
        self.fails("SELECT clscrypt_try_decrypt_text('not a blob', 'k')", (), "BLOB", sqlite3.SQLITE_MISMATCH)
        # A COALESCE over candidate keys reads a column of mixed keys.
        self.con.execute("CREATE TABLE t(v)")
        for i, key in enumerate(["one", "two", "one", "three"]):
            self.con.execute("INSERT INTO t VALUES (clscrypt_encrypt(?, ?))", (f"v{i}", key))
        got = self.con.execute("SELECT coalesce(clscrypt_try_decrypt_text(v, 'one'), clscrypt_try_decrypt_text(v, "
                               "'two'), '?') FROM t ORDER BY rowid").fetchall()
        self.assertEqual([r[0] for r in got], ["v0", "v1", "v2", "?"])


class Hostile(SqliteTest):
    def test_thousands_of_distinct_keys_in_one_statement(self):
        # More keys than the cache holds, in an order that evicts and brings
        # back entries: each value must still be read with its own keys. The
        # format packs key bytes into words by an accumulating or, so keys
        # that differ only in bits an earlier byte of a word already sets are
        # one key ("key 10" and "key 11"): these differ in each word's first byte.
        key = ("char(65 + {k} % 26) || 'zzz' || char(65 + {k} / 26 % 26) || 'zzz' || "
               "char(65 + {k} / 676) || 'zzz'")
        own, next_one = key.format(k="(i % 997)"), key.format(k="((i + 1) % 997)")
        self.con.execute("CREATE TABLE t(i INTEGER, v BLOB)")
        self.con.execute("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 4999) "
                         f"INSERT INTO t SELECT i, clscrypt_encrypt('value ' || i, {own}, 'x') FROM n")
        self.assertEqual(self.one(f"SELECT count(DISTINCT {own}) FROM t"), 997)
        self.assertEqual(self.one(
            f"SELECT count(*) FROM t WHERE clscrypt_decrypt_text(v, {own}, 'x') = 'value ' || i"), 5000)
        self.assertEqual(self.one(
            f"SELECT count(*) FROM t WHERE clscrypt_try_decrypt(v, {next_one}, 'x') IS NULL"), 5000)
        self.assertEqual(self.one("SELECT clscrypt_try_decrypt_text(clscrypt_encrypt('v', 'key 10'), 'key 11')"), "v")

    def test_interleaved_statements_evict_the_keys_of_a_running_one(self):
        # A statement with constant keys takes its key state by number from
        # row to row; another statement on the connection pushes that state
        # out of the cache between two rows, and the next row must set it up
        # again rather than use what is gone.
        self.con.execute("CREATE TABLE t(i INTEGER, v BLOB)")
        self.con.executemany("INSERT INTO t VALUES (?, clscrypt_encrypt('value ' || ?, 'constant', 'key'))",
                             [(i, i) for i in range(50)])
        # No ORDER BY: a sorter would compute every row at the first step.
        reader = self.con.execute("SELECT i, clscrypt_decrypt_text(v, 'constant', 'key') FROM t")
        got = []
        for i, text in reader:
            got.append(text == f"value {i}")
            for k in range(20):
                self.one("SELECT clscrypt_encrypt('x', ?)", f"{chr(65 + k)}{i}")
        self.assertEqual(got, [True] * 50)

    def test_a_reused_statement_takes_each_binding_of_its_keys(self):
        # Python keeps the prepared statement and binds new keys to it: keys
        # marked constant on one run must not carry over to the next.
        ciphers = [(self.one("SELECT clscrypt_encrypt(?, ?)", f"under {k}", k), k) for k in ("Akey", "Bkey", "Akey")]
        got = [self.one("SELECT clscrypt_try_decrypt_text(?, ?)", c, k) for c, k in ciphers]
        self.assertEqual(got, ["under Akey", "under Bkey", "under Akey"])

    def test_an_error_mid_statement_leaves_the_table_and_connection_sound(self):
        self.con.execute("CREATE TABLE t(id INTEGER PRIMARY KEY, v BLOB)")
        self.con.execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
                         "INSERT INTO t SELECT i, clscrypt_encrypt('v' || i, 'k') FROM n")
        self.con.execute("UPDATE t SET v = x'00' WHERE id = 500")
        self.con.commit()
        before = self.con.execute("SELECT v FROM t ORDER BY id").fetchall()
        self.fails("UPDATE t SET v = clscrypt_decrypt(v, 'k')", (), "Subscript out of range")
        self.con.rollback()
        self.assertEqual(self.con.execute("SELECT v FROM t ORDER BY id").fetchall(), before)
        self.assertEqual(self.one("SELECT count(*) FROM t WHERE clscrypt_try_decrypt_text(v, 'k') = 'v' || id"), 999)

    def test_large_values_and_the_length_limit(self):
        big = os.urandom(32 << 20)
        cipher = self.one("SELECT clscrypt_encrypt(?, 'k')", big)
        self.assertEqual(len(cipher), len(big) + 16)
        self.assertEqual(self.one("SELECT clscrypt_decrypt(?, 'k')", cipher), big)
        self.assertEqual(self.one("SELECT length(clscrypt_to_hex(zeroblob(1000000), '::'))"), 3999998)
        # Results whose size is known beforehand are refused before they are
        # made: these would take tens of gigabytes.
        for sql in ("SELECT clscrypt_to_hex(zeroblob(100000), printf('%.*c', 100000, 'x'))",
                    "SELECT clscrypt_str_to_hex(printf('%.*c', 100000, 'a'), printf('%.*c', 100000, 'é'))"):
            self.fails(sql, (), "longer than the database's largest value", sqlite3.SQLITE_TOOBIG)
        # A result past the connection's length limit is SQLite's own error.
        self.con.setlimit(sqlite3.SQLITE_LIMIT_LENGTH, 1000)
        self.assertEqual(len(self.one("SELECT clscrypt_encrypt(zeroblob(988))")), 1000)
        self.fails("SELECT clscrypt_encrypt(zeroblob(989))", (), "too big", sqlite3.SQLITE_TOOBIG)
        self.fails("SELECT clscrypt_to_hex(zeroblob(501))", (), "(1000)", sqlite3.SQLITE_TOOBIG)

    def test_the_shell_loads_it_by_its_file_name(self):
        shell = shutil.which("sqlite3")
        if shell is None:
            self.skipTest("no sqlite3 shell")
        stem = os.path.splitext(EXTENSION)[0]  # the entry point comes from the name
        abc = next(hex_text for hex_text, message in UNKEYED if message == b"abc")
        run = subprocess.run([shell, ":memory:", f".load {stem}",
                              f"SELECT clscrypt_decrypt_text(x'{abc}');"],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "abc\n", ""))


def slices(cipher):
    """Every slice of whole blocks (16 bytes or more) at every byte offset,
    but the ciphertext itself."""
    for at in range(len(cipher) - 15):
        for size in range(16, len(cipher) - at + 1, 8):
            if not (at == 0 and size == len(cipher)):
                yield at, size, cipher[at:at + size]


class Conformance(SqliteTest):
    """The shared cases of tests/data/conformance.json."""

    def use(self, codepage):
        self.assertEqual(self.one("SELECT clscrypt_codepage(?)", codepage), codepage)

    def test_known_answers(self):
        for case in CASES["known_answers"]:
            with self.subTest(case["name"]):
                self.use(case["codepage"])
                marks = "".join(", ?" for _ in case["keys"])
                got = self.one(f"SELECT clscrypt_decrypt(clscrypt_from_hex(?){marks})", case["cipher"], *case["keys"])
                self.assertEqual(got, bytes.fromhex(case["message"]))

    def test_spliced_slices_never_show_deciphered_bytes(self):
        case = CASES["spliced"]
        self.use(case["codepage"])
        cipher = bytes.fromhex(case["cipher"])
        marks = "".join(", ?" for _ in case["keys"])
        self.assertEqual(self.one(f"SELECT clscrypt_decrypt(?{marks})", cipher, *case["keys"]),
                         bytes.fromhex(case["message"]))
        failures = 0
        for at, size, piece in slices(cipher):
            for fn in ("clscrypt_decrypt", "clscrypt_decrypt_text"):
                try:
                    self.one(f"SELECT {fn}(?{marks})", piece, *case["keys"])
                    continue
                except sqlite3.Error as e:
                    message = str(e)
                failures += 1
                self.assertIn(f"a ciphertext of {size} bytes does not decrypt", message, (at, size))
                for forbidden in case["forbidden"]:
                    self.assertNotIn(forbidden, message, (at, size, fn))
            self.assertIsNone(self.one(f"SELECT clscrypt_try_decrypt(?{marks})", piece, *case["keys"]), (at, size))
        self.assertEqual(failures, 2 * sum(1 for _ in slices(cipher)))

    def test_unmappable_keys_are_refused_unless_replacement_is_chosen(self):
        self.assertEqual(self.one("SELECT clscrypt_replace_unmappable()"), 0)
        for case in CASES["unmappable_keys"]:
            with self.subTest(case["name"]):
                self.use(case["codepage"])
                cipher = bytes.fromhex(case["cipher_with_replacement"])
                holder = (f"code page {case['holder']} has it" if case["holder"] is not None
                          else "no single-byte code page offered here has it")
                for sql, params in (("SELECT clscrypt_decrypt(?, ?)", (cipher, case["key"])),
                                    ("SELECT clscrypt_try_decrypt(?, ?)", (cipher, case["key"])),
                                    ("SELECT clscrypt_encrypt(x'78', 'first', ?)", (case["key"],))):
                    message = self.fails(sql, params, f"has a character at position {case['position']}, which "
                                         f"code page {case['codepage']} lacks; {holder}")
                    self.assertNotIn(case["key"], message)
                self.assertEqual(self.one("SELECT clscrypt_replace_unmappable(1)"), 1)
                self.assertEqual(self.one("SELECT clscrypt_decrypt(?, ?)", cipher, case["key"]),
                                 bytes.fromhex(case["message"]))
                # The key set up with "?" is not taken for the refusing one.
                self.assertEqual(self.one("SELECT clscrypt_replace_unmappable(0)"), 0)
                self.fails("SELECT clscrypt_decrypt(?, ?)", (cipher, case["key"]), "which code page")
        # Texts too, and the legacy StrToHex.
        self.use(1252)
        self.fails("SELECT clscrypt_encrypt('aЖ', 'k')", (), "the text has a character at position 2")
        self.fails("SELECT clscrypt_str_to_hex('abЖ')", (), "has a character at position 3")
        self.one("SELECT clscrypt_replace_unmappable(1)")
        self.assertEqual(self.one("SELECT clscrypt_decrypt_text(clscrypt_encrypt('aЖ', 'k'), 'k')"), "a?")
        self.assertEqual(self.one("SELECT clscrypt_str_to_hex('abЖ')"), "61 62 3F")
        for bad in (2, -1, "1"):
            self.assertRaises(sqlite3.Error, self.one, "SELECT clscrypt_replace_unmappable(?)", bad)
        # Each connection keeps its own setting.
        other = connect()
        self.assertEqual(other.execute("SELECT clscrypt_replace_unmappable()").fetchone()[0], 0)
        other.close()

    def test_hex_reads_by_the_library_rule(self):
        for case in CASES["hex"]:
            with self.subTest(case["text"]):
                if "bytes" in case:
                    self.assertEqual(self.one("SELECT clscrypt_from_hex(?)", case["text"]), bytes.fromhex(case["bytes"]))
                elif case["error_position"] == len(case["text"].encode()) + 1:
                    self.fails("SELECT clscrypt_from_hex(?)", (case["text"],), "ends in half a pair of digits")
                else:
                    self.fails("SELECT clscrypt_from_hex(?)", (case["text"],),
                               f"not a digit at position {case['error_position']}")

    def test_damaged_values_read_as_no_key(self):
        marks = "".join(", ?" for _ in CASES["spliced"]["keys"])
        for case in CASES["damaged"]:
            with self.subTest(case["name"]):
                value = bytes.fromhex(case["cipher"])
                if case["kind"] == "WrongKeyOrDamaged":
                    self.assertIsNone(self.one(f"SELECT clscrypt_try_decrypt(?{marks})", value,
                                               *CASES["spliced"]["keys"]))
                else:
                    self.assertRaises(sqlite3.Error, self.one, f"SELECT clscrypt_decrypt(?{marks})", value,
                                      *CASES["spliced"]["keys"])


class Interrupts(SqliteTest):
    def interrupt_after(self, seconds):
        # Interrupts from `seconds` on, every 50 ms until joined: an
        # interrupt that lands while SQLite is still binding the parameter
        # (no statement running yet) is dropped, and a loaded machine can
        # take that long.
        class Interrupter(threading.Thread):
            def __init__(self, con):
                super().__init__()
                self.con, self.done = con, threading.Event()

            def run(self):
                if self.done.wait(seconds):
                    return
                self.con.interrupt()
                while not self.done.wait(0.05):
                    self.con.interrupt()

            def join(self, timeout=None):
                self.done.set()
                super().join(timeout)

        timer = Interrupter(self.con)
        timer.start()
        return timer

    def test_interrupt_stops_a_call_over_a_large_value(self):
        # 256 MiB bound as a parameter, so the statement's own work before
        # the call is nothing: a quick stop comes from inside the call.
        big = bytes(256 << 20)
        cases = [("SELECT length(clscrypt_encrypt(?, 'k'))", big),
                 ("SELECT length(clscrypt_to_hex(?))", big)]
        for sql, value in cases:
            with self.subTest(sql):
                start = time.monotonic()
                self.one(sql, value)
                whole = time.monotonic() - start
                timer = self.interrupt_after(0.3)
                start = time.monotonic()
                try:
                    with self.assertRaises(sqlite3.OperationalError) as caught:
                        self.one(sql, value)
                finally:
                    timer.join()
                stopped = time.monotonic() - start
                self.assertEqual(caught.exception.sqlite_errorcode, sqlite3.SQLITE_INTERRUPT)
                # Uninterrupted it runs for seconds; the interrupt, 0.3 s in,
                # must not wait for the end. (A generous bound: no speed
                # target, only that the call looks at the connection.)
                self.assertLess(stopped, 0.3 + (whole - 0.3) / 2, (stopped, whole))
                print(f"\n  {sql}: {whole:.2f} s whole, interrupted at 0.3 s, stopped at {stopped:.2f} s",
                      file=sys.stderr)
                # The connection goes on.
                self.assertEqual(self.one("SELECT clscrypt_decrypt_text(clscrypt_encrypt('v', 'k'), 'k')"), "v")


class Memory(unittest.TestCase):
    def test_large_values_leave_no_buffers_with_cached_keys(self):
        # Twenty keys, each used once on a 16 MiB value, in a process of its
        # own. Buffers as large as the value kept with each cached key would
        # hold 16 MiB or more a key after its call; per call, what stays
        # resident after each call does not grow with the keys.
        script = textwrap.dedent(f"""
            import os, sqlite3
            def resident():
                with open("/proc/self/statm") as f:
                    return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // (1 << 20)
            con = sqlite3.connect(":memory:")
            con.enable_load_extension(True)
            con.load_extension({EXTENSION!r})
            big = bytes(16 << 20)
            after = []
            for k in range(20):
                c = con.execute("SELECT clscrypt_encrypt(?, ?)", (big, chr(65 + k) + "key")).fetchone()[0]
                assert con.execute("SELECT clscrypt_decrypt(?, ?) = ?", (c, chr(65 + k) + "key", big)).fetchone()[0]
                del c
                after.append(resident())
            print(max(after) - after[0])
        """)
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertLess(int(run.stdout), 64, "MiB more resident after 20 keys than after 1")


if __name__ == "__main__":
    unittest.main()
