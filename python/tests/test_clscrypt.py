"""The Python module: operations, in-place byte arrays, errors, Progress,
files and the GIL. Run with: python3 -m unittest discover -s python/tests
(PYTHONPATH naming the folder that holds the built module)."""

import json
import os
import pathlib
import sys
import tempfile
import threading
import unittest

import clscrypt

# A new instance that was never given a key decrypts these (both random
# words were 0): (ciphertext, message) from the cases every surface shares.
CASES_PATH = pathlib.Path(__file__).resolve().parents[2] / "tests" / "data" / "conformance.json"
UNKEYED = [
    (bytes.fromhex(case["cipher"]), bytes.fromhex(case["message"]))
    for case in json.loads(CASES_PATH.read_text(encoding="utf-8"))["known_answers"]
    if not case["keys"]
]


def unkeyed_cipher(message):
    return next(cipher for cipher, plain in UNKEYED if plain == message)


ABC_CIPHER = unkeyed_cipher(b"abc")
ABCDE_CIPHER = unkeyed_cipher(b"abcde")
ABC_DIGEST = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
DESCRIPTOR_ERROR = "Incorrect size descriptor in Blowfish decryption"


def keyed(key):
    cipher = clscrypt.clsToString()
    cipher.Key = key
    return cipher


class KnownAnswers(unittest.TestCase):
    def test_decrypt_known_ciphertexts(self):
        self.assertGreaterEqual(len(UNKEYED), 3)
        for cipher_text, plain in UNKEYED:
            with self.subTest(plain=plain):
                self.assertEqual(clscrypt.clsToString().DecryptByte(cipher_text), plain)

    def test_digest(self):
        self.assertEqual(clscrypt.clsHsh().SHA256("abc"), ABC_DIGEST)
        # One byte per character, the low 8 bits of its code.
        self.assertEqual(clscrypt.clsHsh().SHA256("\u20ac"), clscrypt.clsHsh().SHA256("\u00ac"))

    def test_version_and_code_pages(self):
        self.assertRegex(clscrypt.__version__, r"^\d+\.\d+\.\d+$")
        self.assertIn(1252, clscrypt.codepages())
        self.assertIn(clscrypt.default_codepage(), clscrypt.codepages())


class ByteArrays(unittest.TestCase):
    def test_round_trip_of_each_bytes_like_type(self):
        message = b"attack at dawn"
        for make in (bytes, bytearray, memoryview):
            with self.subTest(type=make.__name__):
                writer, reader = keyed("k\u00e9y"), keyed("k\u00e9y")
                data = make(message)
                result = writer.EncryptByte(data)
                if make is bytearray:
                    self.assertIsNone(result)
                    result = bytes(data)
                self.assertEqual(len(result), 8 * ((len(message) + 12 + 7) // 8))
                self.assertEqual(reader.DecryptByte(result), message)

    def test_bytearray_changes_in_place(self):
        data = bytearray(ABCDE_CIPHER)
        alias = data
        self.assertIsNone(clscrypt.clsToString().DecryptByte(data))
        self.assertIs(alias, data)
        self.assertEqual(data, bytearray(b"abcde"))
        clscrypt.clsToString().EncryptByte(data, "key")
        self.assertEqual(len(data), 24)

    def test_bytes_argument_is_left_alone(self):
        data = bytes(ABC_CIPHER)
        clscrypt.clsToString().DecryptByte(data)
        self.assertEqual(data, ABC_CIPHER)

    def test_key_argument_stays_in_force(self):
        cipher = clscrypt.clsToString()
        sealed = cipher.EncryptByte(b"secret", "first key")
        self.assertEqual(cipher.DecryptByte(sealed), b"secret")
        self.assertEqual(keyed("first key").DecryptByte(sealed), b"secret")

    def test_copy_keeps_key_state(self):
        import copy
        original = keyed("state")
        twin = copy.copy(original)
        self.assertEqual(twin.DecryptByte(original.EncryptByte(b"x")), b"x")

    def test_not_bytes(self):
        with self.assertRaises(TypeError):
            clscrypt.clsToString().EncryptByte("text is not bytes")


class Errors(unittest.TestCase):
    def test_wrong_key_leaves_bytearray_untouched(self):
        sealed = keyed("right").EncryptByte(b"payload")
        data = bytearray(sealed)
        with self.assertRaises(clscrypt.RuntimeError) as caught:
            keyed("wrong").DecryptByte(data)
        self.assertEqual(caught.exception.number, clscrypt.RuntimeError.ClassError)
        self.assertEqual(caught.exception.description, DESCRIPTOR_ERROR)
        self.assertEqual(caught.exception.kind, clscrypt.ErrorKind.WrongKeyOrDamaged)
        self.assertEqual(bytes(data), sealed)

    def test_numbers_descriptions_and_kinds(self):
        kinds = clscrypt.ErrorKind
        cases = [
            (lambda c: c.DecryptByte(b"\0" * 15), 9, "Subscript out of range", kinds.WrongKeyOrDamaged),
            (lambda c: c.DecryptString(""), 9, "Subscript out of range", kinds.WrongKeyOrDamaged),
            (lambda c: c.HexToStr("4142", -2), 11, "Division by zero", kinds.DivisionByZero),
            (lambda c: c.HexToStr("4G"), 9, "Subscript out of range", kinds.SubscriptOutOfRange),
            (lambda c: clscrypt.clsToString(437), 5, "Invalid procedure call or argument", kinds.InvalidArgument),
        ]
        for action, number, description, kind in cases:
            with self.subTest(number=number, description=description):
                with self.assertRaises(clscrypt.RuntimeError) as caught:
                    action(clscrypt.clsToString())
                self.assertEqual(caught.exception.number, number)
                self.assertEqual(caught.exception.description, description)
                self.assertEqual(caught.exception.kind, kind)

    def test_is_a_builtin_runtime_error(self):
        self.assertTrue(issubclass(clscrypt.RuntimeError, RuntimeError))
        cipher = keyed("a")
        with self.assertRaises(RuntimeError):
            cipher.Key = ""

    def test_key_is_write_only(self):
        with self.assertRaises(AttributeError):
            _ = clscrypt.clsToString().Key


class Strings(unittest.TestCase):
    def test_round_trip_and_shape(self):
        writer, reader = keyed("k"), keyed("k")
        sealed = writer.EncryptString("p\u20acx")
        self.assertEqual(len(sealed), 16)
        self.assertEqual(reader.DecryptString(sealed), "p\u20acx")
        self.assertEqual(len(writer.EncryptString("")), 16)

    def test_code_page(self):
        cipher = clscrypt.clsToString(1251)
        self.assertEqual(cipher.CodePage, 1251)
        self.assertEqual(cipher.StrToHex("\u042f"), "DF")
        cipher.CodePage = 1252
        with self.assertRaises(clscrypt.RuntimeError) as caught:  # missing: refused
            cipher.StrToHex("\u042f")
        self.assertEqual(caught.exception.kind, clscrypt.ErrorKind.Unmappable)
        self.assertEqual(clscrypt.clsToString(1252, replace_unmappable=True).StrToHex("\u042f"), "3F")  # "?"
        with self.assertRaises(clscrypt.RuntimeError):
            cipher.CodePage = 1234

    def test_hex(self):
        cipher = clscrypt.clsToString()
        self.assertEqual(cipher.StrToHex("AB", "-+"), "41--42")
        self.assertEqual(cipher.StrToHex("AB"), "41 42")
        self.assertEqual(cipher.HexToStr("41 42", 1), "AB")
        self.assertEqual(cipher.HexToStr("E9"), "\u00e9")


class Progress(unittest.TestCase):
    def test_listeners_see_rising_percentages(self):
        cipher = keyed("p")
        seen = []
        token = cipher.Progress.Subscribe(seen.append)
        cipher.EncryptByte(bytes(100000))
        self.assertGreater(len(seen), 2)
        self.assertEqual(seen, sorted(seen))
        self.assertEqual(seen[-1], 100)
        cipher.Progress.Unsubscribe(token)
        seen.clear()
        cipher.EncryptByte(bytes(1000))
        self.assertEqual(seen, [])

    def test_returned_value_replaces_percent(self):
        cipher = keyed("p")
        later = []
        cipher.Progress.Subscribe(lambda percent: 100)  # suppresses the closing event
        cipher.Progress.Subscribe(later.append)
        cipher.EncryptByte(bytes(100000))
        self.assertTrue(later)
        self.assertTrue(all(p == 100 for p in later))

    def test_listener_exception_passes_through(self):
        class Stop(Exception):
            pass

        def stop(percent):
            raise Stop()

        cipher = keyed("p")
        cipher.Progress.Subscribe(stop)
        with self.assertRaises(Stop):
            cipher.EncryptByte(bytes(100000))


class Files(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.root = pathlib.Path(self.dir.name)

    def tearDown(self):
        self.dir.cleanup()

    def test_encrypt_decrypt_rekey(self):
        plain = self.root / "ledger \u00e9t\u00e9.txt"
        sealed = self.root / "ledger.cls"
        opened = str(self.root / "ledger.out")  # str and os.PathLike both serve
        plain.write_bytes(b"rows of the 1998 ledger\n" * 1000)
        old, new = keyed("old"), keyed("new")
        old.EncryptFile(plain, sealed)
        self.assertEqual(sealed.stat().st_size, 8 * ((plain.stat().st_size + 12 + 7) // 8))
        new.RekeyFile(old, sealed, sealed)
        with self.assertRaises(clscrypt.RuntimeError):
            old.DecryptFile(sealed, opened)
        self.assertFalse(os.path.exists(opened))
        new.DecryptFile(sealed, opened)
        self.assertEqual(pathlib.Path(opened).read_bytes(), plain.read_bytes())

    def test_missing_source(self):
        with self.assertRaises(clscrypt.RuntimeError) as caught:
            clscrypt.clsToString().EncryptFile(self.root / "absent", self.root / "out")
        self.assertEqual(caught.exception.number, clscrypt.RuntimeError.ClassError)
        self.assertIn("Source file does not exist", caught.exception.description)
        self.assertEqual(caught.exception.kind, clscrypt.ErrorKind.SourceMissing)


class Threads(unittest.TestCase):
    def test_gil_is_released_during_long_operations(self):
        # A thread counts while this one encrypts 32 MiB. With a switch
        # interval longer than the encryption, the interpreter never takes
        # the GIL from a call that holds it, so the counter can only move if
        # the call gave the GIL up.
        cipher = keyed("threads")
        data = bytes(32 << 20)
        started = threading.Event()
        done = threading.Event()
        ticks = []

        def count():
            started.set()
            while not done.is_set():
                ticks.append(1)

        interval = sys.getswitchinterval()
        sys.setswitchinterval(2.0)
        try:
            counter = threading.Thread(target=count)
            counter.start()
            started.wait()
            before = len(ticks)
            cipher.EncryptByte(data)
            during = len(ticks) - before
            done.set()
            counter.join()
        finally:
            sys.setswitchinterval(interval)
        self.assertGreater(during, 0)

    def test_one_instance_from_many_threads(self):
        cipher = keyed("shared")
        message = bytes(range(256)) * 256
        failures = []

        def work():
            for _ in range(5):
                if cipher.DecryptByte(cipher.EncryptByte(message)) != message:
                    failures.append(1)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])


if __name__ == "__main__":
    unittest.main()

