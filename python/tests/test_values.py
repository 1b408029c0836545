"""The bulk-value functions (encrypt_values, decrypt_values, rekey_values),
pickling and worker processes, checked against the single-value classes."""

import base64
import functools
import multiprocessing
import pickle
import sys
import threading
import unittest

import clscrypt

from test_clscrypt import DESCRIPTOR_ERROR, UNKEYED, keyed

CLASS_ERROR = clscrypt.RuntimeError.ClassError
KINDS = clscrypt.ErrorKind


def keyed_with(history, codepage=None):
    cipher = clscrypt.clsToString(codepage)
    for key in history:
        cipher.Key = key
    return cipher


def stored(cipher_bytes, form):
    """Ciphertext bytes in a stored form, through the single-value API."""
    if form == "hex":
        return cipher_bytes.hex().upper()
    if form == "base64":
        return base64.b64encode(cipher_bytes).decode("ascii")
    if form == "string":
        return clscrypt.clsToString(1252).HexToStr(cipher_bytes.hex().upper())
    return cipher_bytes


def cipher_bytes(value, form):
    if form == "hex":
        return bytes.fromhex(value)
    if form == "base64":
        return base64.b64decode(value)
    if form == "string":
        return bytes.fromhex(clscrypt.clsToString(1252).StrToHex(value, ""))
    return value


FORMS = ("hex", "base64", "string", "bytes")


class KnownAnswers(unittest.TestCase):
    def test_known_ciphertexts_in_every_form(self):
        for form in FORMS:
            self.assertGreaterEqual(len(UNKEYED), 3)
            for cipher, message in UNKEYED:
                plain = message.decode("ascii")
                with self.subTest(form=form, plain=plain):
                    self.assertEqual(clscrypt.decrypt_values([stored(cipher, form)], keys=[], form=form), [plain])
                    self.assertEqual(
                        clscrypt.decrypt_values([stored(cipher, form)], keys=[], form=form, plain="bytes"),
                        [plain.encode()],
                    )

    def test_written_values_open_with_the_single_value_api(self):
        history = ["first", "s\u00e9cond"]
        message = "p\u00e4ss \u20ac 1"
        for form in FORMS:
            with self.subTest(form=form):
                [value] = clscrypt.encrypt_values([message], keys=history, form=form)
                self.assertIsInstance(value, bytes if form == "bytes" else str)
                opened = keyed_with(history).DecryptByte(cipher_bytes(value, form))
                self.assertEqual(opened.decode("cp1252"), message)

    def test_string_form_is_encrypt_strings_text(self):
        sealed = keyed("k").EncryptString("legacy text")
        self.assertEqual(clscrypt.decrypt_values([sealed], keys=["k"], form="string"), ["legacy text"])
        [written] = clscrypt.encrypt_values(["legacy text"], keys=["k"], form="string")
        self.assertEqual(keyed("k").DecryptString(written), "legacy text")

    def test_all_byte_values(self):
        message = bytes(range(256))
        for form in FORMS:
            with self.subTest(form=form):
                [value] = clscrypt.encrypt_values([message], keys=["k"], form=form)
                self.assertEqual(keyed("k").DecryptByte(cipher_bytes(value, form)), message)
                self.assertEqual(clscrypt.decrypt_values([value], keys=["k"], form=form, plain="bytes"), [message])

    def test_code_pages(self):
        # (code page, text, its byte there)
        for codepage, text, byte in [(1252, "\u00df\u20ac", b"\xdf\x80"), (1251, "\u042f\u0451", b"\xdf\xb8")]:
            with self.subTest(codepage=codepage):
                [value] = clscrypt.encrypt_values([text], keys=["k"], codepage=codepage)
                self.assertEqual(keyed("k").DecryptByte(bytes.fromhex(value)), byte)
                self.assertEqual(clscrypt.decrypt_values([value], keys=["k"], codepage=codepage), [text])
        # The same bytes read through another code page.
        [value] = clscrypt.encrypt_values([b"\xdf"], keys=["k"])
        self.assertEqual(clscrypt.decrypt_values([value], keys=["k"], codepage=1251), ["\u042f"])

    def test_unmappable_text_fails_or_becomes_question_mark(self):
        with self.assertRaises(clscrypt.RuntimeError) as caught:
            clscrypt.encrypt_values(["ok", "\u042f"], keys=["k"])
        self.assertEqual(caught.exception.kind, KINDS.Unmappable)
        self.assertIn("value 1", str(caught.exception))
        [value] = clscrypt.encrypt_values(["\u042f"], keys=["k"], replace_unmappable=True)
        self.assertEqual(keyed("k").DecryptByte(bytes.fromhex(value)), b"?")

    def test_separator_between_hex_pairs(self):
        [value] = clscrypt.encrypt_values(["x"], keys=["k"], separator=" ")
        self.assertRegex(value, r"^[0-9A-F]{2}( [0-9A-F]{2}){15}$")
        self.assertEqual(clscrypt.decrypt_values([value], keys=["k"]), ["x"])

    def test_single_str_key_is_a_history_of_one(self):
        [value] = clscrypt.encrypt_values(["x"], keys="key")
        self.assertEqual(keyed("key").DecryptByte(bytes.fromhex(value)), b"x")
        self.assertEqual(clscrypt.decrypt_values([value], candidates=["other", "key"]), ["x"])


class Candidates(unittest.TestCase):
    HISTORIES = [["old"], ["old", "new"], []]

    def column(self):
        plain = [f"row {i} \u00e9" for i in range(30)]
        values = [clscrypt.encrypt_values([p], keys=self.HISTORIES[i % 3])[0] for i, p in enumerate(plain)]
        return plain, values

    def test_each_value_opens_with_its_history(self):
        plain, values = self.column()
        self.assertEqual(clscrypt.decrypt_values(values, candidates=self.HISTORIES), plain)

    def test_a_history_is_its_keys_in_order(self):
        [value] = clscrypt.encrypt_values(["x"], keys=["old", "new"])
        self.assertEqual(clscrypt.decrypt_values([value], candidates=[["new", "old"]], errors="none"), [None])
        self.assertEqual(clscrypt.decrypt_values([value], candidates=[["new"]], errors="none"), [None])

    def test_errors_none_gives_none_for_values_no_candidate_reads(self):
        plain, values = self.column()
        opened = clscrypt.decrypt_values(values, candidates=[["old"]], errors="none")
        self.assertEqual(opened, [p if i % 3 == 0 else None for i, p in enumerate(plain)])

    def test_rekey_moves_every_value_to_the_new_history(self):
        plain, values = self.column()
        moved = clscrypt.rekey_values(values, candidates=self.HISTORIES, new_keys=["newest"], new_form="base64")
        newest = keyed("newest")
        self.assertEqual([newest.DecryptByte(base64.b64decode(v)).decode("cp1252") for v in moved], plain)
        self.assertEqual(clscrypt.decrypt_values(moved, candidates=self.HISTORIES, form="base64", errors="none"),
                         [None] * len(plain))


class Errors(unittest.TestCase):
    def test_numbers_descriptions_kinds_and_position(self):
        good = clscrypt.encrypt_values(["x"], keys=["k"])[0]
        cases = [
            # (bad value, number, description, kind)
            (keyed("other").EncryptByte(b"x").hex(), CLASS_ERROR, DESCRIPTOR_ERROR, KINDS.WrongKeyOrDamaged),
            ("00" * 15, 9, "Subscript out of range", KINDS.WrongKeyOrDamaged),
            ("zz" * 16, 5, "Invalid procedure call or argument", KINDS.InvalidArgument),
            ("\ud800", 5, "Invalid procedure call or argument", KINDS.InvalidArgument),  # a lone surrogate
        ]
        for bad, number, description, kind in cases:
            with self.subTest(description=description, kind=kind):
                values = [good, None, bad, good, bad]
                with self.assertRaises(clscrypt.RuntimeError) as caught:
                    clscrypt.decrypt_values(values, keys=["k"])
                error = caught.exception
                self.assertEqual((error.number, error.description, error.kind), (number, description, kind))
                self.assertRegex(str(error), r"\bvalue 2\b")  # the first failure, by position
                self.assertNotIn(bad, str(error))
                self.assertEqual(clscrypt.decrypt_values(values, keys=["k"], errors="none"),
                                 ["x", None, None, "x", None])

    def test_positions_hold_in_long_columns(self):
        # Long enough to be converted in several parts: gaps and failures
        # keep their places across part boundaries.
        plain = [f"v{i}" for i in range(50000)]
        values = clscrypt.encrypt_values(plain, keys=["k"])
        for gap in (0, 16383, 16384, 40000):
            values[gap], plain[gap] = None, None
        values[33000], plain[33000] = "00" * 16, None
        values[49999], plain[49999] = "00" * 16, None
        # Threads convert parts side by side: the same results in the same
        # places, and the first failure in order is the one raised.
        for threads in (1, 2, 3, 0):
            self.assertEqual(clscrypt.decrypt_values(values, keys=["k"], errors="none", threads=threads), plain)
            with self.assertRaisesRegex(clscrypt.RuntimeError, r"\bvalue 33000\b"):
                clscrypt.decrypt_values(values, keys=["k"], threads=threads)
        moved = clscrypt.rekey_values(values, keys=["k"], new_keys=["n"], errors="none", threads=2)
        self.assertEqual(clscrypt.decrypt_values(moved, keys=["n"], errors="none"), plain)
        sealed = clscrypt.encrypt_values([p for p in plain if p], keys=["k"], threads=2)
        self.assertEqual(clscrypt.decrypt_values(sealed, keys=["k"]), [p for p in plain if p])
        with self.assertRaises(ValueError):
            clscrypt.decrypt_values(values, keys=["k"], threads=-1)

    def test_a_value_of_the_wrong_type_raises_before_any_failure(self):
        # The whole column is checked first, however far down the wrong value
        # is: it wins over a failed value and over a key history that cannot
        # be applied.
        values = ["00" * 16] + clscrypt.encrypt_values(["x"] * 40000, keys=["k"]) + [1]
        for threads in (1, 2):
            with self.assertRaisesRegex(TypeError, r"\bvalue 40001\b"):
                clscrypt.decrypt_values(values, keys=["k"], threads=threads)
        with self.assertRaisesRegex(TypeError, r"\bvalue 1\b"):
            clscrypt.encrypt_values(["x", 1], keys=["k", ""])

    def test_missing_values_stay_none(self):
        [value] = clscrypt.encrypt_values(["x"], keys=["k"])
        self.assertEqual(clscrypt.encrypt_values([None, float("nan")], keys=["k"]), [None, None])
        self.assertEqual(clscrypt.decrypt_values([None, value, float("nan")], keys=["k"]), [None, "x", None])

    def test_bad_arguments(self):
        value = clscrypt.encrypt_values(["x"], keys=["k"])[0]
        cases = [
            (lambda: clscrypt.decrypt_values([value], keys=["k"], form="hexa"), ValueError),
            (lambda: clscrypt.decrypt_values([value], keys=["k"], errors="ignore"), ValueError),
            (lambda: clscrypt.decrypt_values([value], keys=["k"], plain="text"), ValueError),
            (lambda: clscrypt.decrypt_values([value]), TypeError),  # no keys at all
            (lambda: clscrypt.decrypt_values([value], candidates=[["k"]], keys=["k"]), TypeError),
            (lambda: clscrypt.decrypt_values([value], candidates="k"), TypeError),
            (lambda: clscrypt.decrypt_values([value], candidates=[]), ValueError),
            (lambda: clscrypt.decrypt_values(value, keys=["k"]), TypeError),  # one value, not a column
            (lambda: clscrypt.decrypt_values([value.encode()], keys=["k"]), TypeError),  # bytes for hex
            (lambda: clscrypt.decrypt_values([value], keys=["k"], form="bytes"), TypeError),  # str for bytes
            (lambda: clscrypt.encrypt_values(["a", b"b"], keys=["k"]), TypeError),  # str, then bytes
            (lambda: clscrypt.encrypt_values([1], keys=["k"]), TypeError),
            (lambda: clscrypt.encrypt_values(["a"], keys=[b"k"]), TypeError),
            (lambda: clscrypt.rekey_values([value], keys=["k"]), TypeError),  # no new keys
        ]
        for case, (action, error) in enumerate(cases):
            with self.subTest(case=case):
                self.assertRaises(error, action)
        with self.assertRaises(clscrypt.RuntimeError) as caught:
            clscrypt.encrypt_values(["x"], keys=["k"], codepage=437)
        self.assertEqual(caught.exception.kind, KINDS.InvalidArgument)
        with self.assertRaises(clscrypt.RuntimeError):  # the empty key after a non-empty one
            clscrypt.encrypt_values(["x"], keys=["k", ""])


class Inputs(unittest.TestCase):
    def test_iterables_and_bytes_like_values(self):
        message = b"\x00\xffbytes"
        values = clscrypt.encrypt_values((v for v in [message, bytearray(message), memoryview(message)]),
                                         keys=["k"], form="bytes")
        self.assertEqual(clscrypt.decrypt_values(values, keys=["k"], form="bytes", plain="bytes"), [message] * 3)
        self.assertEqual(clscrypt.decrypt_values((None, *values), keys=["k"], form="bytes", plain="bytes"),
                         [None] + [message] * 3)

    @unittest.skipUnless(__import__("importlib").util.find_spec("pandas"), "pandas is not installed")
    def test_pandas_series_gives_a_series_on_its_index(self):
        import pandas

        column = pandas.Series(["a", None, "c"], index=[10, 20, 30], name="secret")
        sealed = clscrypt.encrypt_values(column, keys=["k"])
        self.assertIsInstance(sealed, pandas.Series)
        self.assertEqual((list(sealed.index), sealed.name), ([10, 20, 30], "secret"))
        self.assertEqual(list(clscrypt.decrypt_values(sealed, keys=["k"])), ["a", None, "c"])
        strings = pandas.Series(["a", None, "c"], dtype="string")  # its gap is pandas.NA
        self.assertEqual(list(clscrypt.decrypt_values(clscrypt.encrypt_values(strings, keys=["k"]), keys=["k"])),
                         ["a", None, "c"])


class Package(unittest.TestCase):
    def test_stubs_and_docstrings_cover_the_compiled_module(self):
        import ast
        import pathlib

        folder = pathlib.Path(clscrypt.__file__).parent
        self.assertTrue((folder / "py.typed").is_file())
        tree = ast.parse((folder / "_clscrypt.pyi").read_text(encoding="utf-8"))
        stubbed = {node.name for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
        stubbed |= {target.id for node in tree.body if isinstance(node, ast.Assign)
                    for target in node.targets if isinstance(target, ast.Name)}
        stubbed = {name for name in stubbed if not name.startswith("_")}
        compiled = {name for name in dir(clscrypt._clscrypt) if not name.startswith("_")}
        self.assertEqual(stubbed, compiled)
        # Every public name and method has words beyond its signature.
        for name in clscrypt.__all__:
            item = getattr(clscrypt, name)
            methods = [getattr(item, m) for m in vars(item) if not m.startswith("_")] if isinstance(item, type) else []
            for thing in [item] + [m for m in methods if callable(m)]:
                with self.subTest(name=getattr(thing, "__qualname__", name)):
                    doc = thing.__doc__ or ""
                    if doc.startswith(thing.__name__ + "("):  # a compiled function's signature line
                        doc = doc.split("\n", 1)[1] if "\n" in doc else ""
                    self.assertTrue(doc.strip())


class Workers(unittest.TestCase):
    def test_clshsh_pickles_and_clstostring_refuses(self):
        self.assertEqual(pickle.loads(pickle.dumps(clscrypt.clsHsh())).SHA256("abc"), clscrypt.clsHsh().SHA256("abc"))
        with self.assertRaisesRegex(TypeError, "key material"):
            pickle.dumps(keyed("secret"))

    def test_errors_pickle_with_number_and_kind(self):
        with self.assertRaises(clscrypt.RuntimeError) as caught:
            clscrypt.decrypt_values(["00" * 16], keys=["k"])
        copy = pickle.loads(pickle.dumps(caught.exception))
        self.assertIsInstance(copy, clscrypt.RuntimeError)
        self.assertEqual((copy.number, copy.kind, str(copy)),
                         (caught.exception.number, caught.exception.kind, str(caught.exception)))

    def test_functions_run_in_spawned_processes(self):
        plain = [f"v{i}" for i in range(400)]
        chunks = [plain[i:i + 100] for i in range(0, 400, 100)]
        context = multiprocessing.get_context("spawn")
        with context.Pool(2) as pool:
            sealed = pool.map(functools.partial(clscrypt.encrypt_values, keys=["k"]), chunks)
            opened = pool.map(functools.partial(clscrypt.decrypt_values, candidates=[["x"], ["k"]]), sealed)
        self.assertEqual(opened, chunks)
        self.assertEqual(keyed("k").DecryptByte(bytes.fromhex(sealed[3][99])), b"v399")

    def test_gil_is_released_during_a_batch(self):
        # As in test_clscrypt's Threads: with a long switch interval a
        # counting thread only moves if the batch gives the GIL up.
        values = clscrypt.encrypt_values([b"x" * 64] * 100000, keys=["k"], form="bytes")
        done = threading.Event()
        started = threading.Event()
        ticks = []

        def count():
            started.set()
            while not done.is_set():
                ticks.append(1)

        interval = sys.getswitchinterval()
        sys.setswitchinterval(1.0)
        try:
            counter = threading.Thread(target=count)
            counter.start()
            started.wait()
            before = len(ticks)
            clscrypt.rekey_values(values, keys=["k"], new_keys=["n"], form="bytes")
            during = len(ticks) - before
            done.set()
            counter.join()
        finally:
            sys.setswitchinterval(interval)
        self.assertGreater(during, 0)


if __name__ == "__main__":
    unittest.main()
