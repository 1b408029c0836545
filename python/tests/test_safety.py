"""The package against what a caller can do to it: strided buffers, listeners
shared between threads or changed from another thread, objects made with
__new__ alone, reference cycles through listeners, arguments of the wrong
type (whose values must never show in an exception), and the error classes
a Python caller catches. Crash cases run in a child process and check its
exit status."""

import copy
import gc
import os
import pathlib
import pickle
import subprocess
import sys
import tempfile
import textwrap
import threading
import unittest
import weakref

import clscrypt

KEY = "SECRETKEY-7f3a"
PLAIN = "PLAINTEXT-91c2"
WRONG = 3.5  # of no type any parameter takes


def keyed(key=KEY, **options):
    cipher = clscrypt.clsToString(1252, **options)
    cipher.Key = key
    return cipher


def run_child(test, code, timeout=300):
    """Runs `code` in a new interpreter; fails `test` unless it exits with 0."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=timeout, env=dict(os.environ))
    test.assertEqual(result.returncode, 0, f"the child ended with {result.returncode}: {result.stderr[-2000:]}")
    return result.stdout


class StridedBuffers(unittest.TestCase):
    def test_bytes_are_taken_as_the_view_shows_them(self):
        import array

        cases = [
            ("every second", memoryview(b"abcdefgh")[::2]),
            ("reversed", memoryview(b"abcdefgh")[::-1]),
            ("from 1 by 3", memoryview(bytes(range(100)))[1::3]),
            ("reversed by 2 of a bytearray", memoryview(bytearray(b"0123456789"))[::-2]),
            ("words", memoryview(array.array("I", [1, 2, 3]))),
            ("empty step", memoryview(b"abc")[3::2]),
        ]
        for name, view in cases:
            with self.subTest(name):
                shown = view.tobytes()
                sealed = keyed().EncryptByte(view)
                self.assertEqual(len(sealed), 8 * ((len(shown) + 12 + 7) // 8))
                self.assertEqual(keyed().DecryptByte(sealed), shown)
                # A strided view of a ciphertext decrypts as the view shows it.
                doubled = bytes(b for pair in zip(sealed, sealed) for b in pair)
                self.assertEqual(keyed().DecryptByte(memoryview(doubled)[::2]), shown)

    def test_bulk_functions_refuse_strided_values(self):
        for call in (lambda v: clscrypt.encrypt_values([v], keys=[KEY], form="bytes"),
                     lambda v: clscrypt.decrypt_values([v], keys=[KEY], form="bytes")):
            with self.assertRaises(BufferError):
                call(memoryview(bytes(32))[::2])

    def test_reversed_view_of_a_large_mapping(self):
        out = run_child(self, """
            import mmap, clscrypt
            m = mmap.mmap(-1, 1 << 24)
            m[:8] = b"12345678"
            view = memoryview(m)[::-1]
            c = clscrypt.clsToString(); c.Key = "k"
            sealed = c.EncryptByte(view)
            opened = c.DecryptByte(sealed)
            print(opened[-8:] == b"87654321", len(opened) == 1 << 24)
        """)
        self.assertEqual(out.split(), ["True", "True"])


class LengthsTheFormatCannotCarry(unittest.TestCase):
    """An argument too long for the format's 32-bit lengths is refused before
    it is copied. The child caps its address space a gibibyte above what it
    maps, so a copy of a 2 GiB argument fails with MemoryError instead of
    the length's own error, and its peak resident size must stay small."""

    def test_byte_arrays_are_refused_without_a_copy(self):
        out = run_child(self, """
            import mmap, resource, clscrypt

            def status(field):
                for line in open("/proc/self/status"):
                    if line.startswith(field + ":"):
                        return int(line.split()[1]) * 1024

            m = mmap.mmap(-1, 2**31)  # untouched: no memory until written
            whole = memoryview(m)
            limit = status("VmSize") + 2**30
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
            kinds = clscrypt.ErrorKind
            cases = [
                # what, call, class, kind, number
                ("2 GiB to encrypt", lambda c: c.EncryptByte(whole), clscrypt.LengthOverflowError,
                 kinds.Overflow, 6),
                ("one byte too many to encrypt", lambda c: c.EncryptByte(whole[:0x7FFFFFF8 - 12 + 1]),
                 clscrypt.LengthOverflowError, kinds.Overflow, 6),
                ("reversed, to encrypt", lambda c: c.EncryptByte(whole[::-1]), clscrypt.LengthOverflowError,
                 kinds.Overflow, 6),
                ("2 GiB to decrypt", lambda c: c.DecryptByte(whole), clscrypt.WrongKeyError,
                 kinds.WrongKeyOrDamaged, 6),
                ("past the longest ciphertext", lambda c: c.DecryptByte(whole[:0x7FFFFFF8 + 1]),
                 clscrypt.WrongKeyError, kinds.WrongKeyOrDamaged, 9),
            ]
            for what, call, cls, kind, number in cases:
                c = clscrypt.clsToString(1252); c.Key = "k"
                try:
                    call(c)
                    print(what, "raised nothing")
                except clscrypt.Error as e:
                    ok = type(e) is cls and e.kind == kind and e.number == number
                    print(what, "ok" if ok else f"raised {type(e).__name__} {e.kind} {e.number}")
                except BaseException as e:
                    print(what, "raised", type(e).__name__)
            # A key given with the call is set first and stays in force, as
            # after EncryptByte refuses a length.
            c = clscrypt.clsToString(1252)
            try:
                c.EncryptByte(whole, "given")
            except clscrypt.LengthOverflowError:
                pass
            d = clscrypt.clsToString(1252); d.Key = "given"
            print("key in force", d.DecryptByte(c.EncryptByte(b"message")) == b"message")
            print("peak under 512 MiB", status("VmHWM") < 2**29)
        """)
        lines = out.splitlines()
        self.assertEqual(lines[:5], [w + " ok" for w in (
            "2 GiB to encrypt", "one byte too many to encrypt", "reversed, to encrypt", "2 GiB to decrypt",
            "past the longest ciphertext")])
        self.assertEqual(lines[5:], ["key in force True", "peak under 512 MiB True"])

    def test_texts_are_refused_without_a_copy(self):
        # The text itself takes 2 GiB in the child; its UTF-16 copy would
        # take 4 more.
        out = run_child(self, """
            import resource, clscrypt

            def status(field):
                for line in open("/proc/self/status"):
                    if line.startswith(field + ":"):
                        return int(line.split()[1]) * 1024

            text = "a" * 2**31
            limit = status("VmSize") + 2**30
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
            c = clscrypt.clsToString(1252); c.Key = "k"
            for name in ("EncryptString", "DecryptString"):
                try:
                    getattr(c, name)(text)
                    print(name, "raised nothing")
                except clscrypt.Error as e:
                    print(name, type(e).__name__, e.number)
                except BaseException as e:
                    print(name, "raised", type(e).__name__)
            # A character the code page lacks (1251 has no "\\xe9") is still
            # refused first, at its position (counted from 1).
            del text
            cyrillic = clscrypt.clsToString(1251); cyrillic.Key = "k"
            for at in (0, 5):
                text = ("a" * at + "\\xe9").ljust(2**31, "a")
                try:
                    cyrillic.EncryptString(text)
                    print("unmappable: raised nothing")
                except clscrypt.UnmappableError as e:
                    print("unmappable at", at, f"position {at + 1}," in str(e))
                except BaseException as e:
                    print("unmappable:", type(e).__name__)
                del text
        """)
        self.assertEqual(out.splitlines(), ["EncryptString LengthOverflowError 6", "DecryptString WrongKeyError 6",
                                            "unmappable at 0 True", "unmappable at 5 True"])


class ListenersAndThreads(unittest.TestCase):
    def test_one_listener_shared_by_instances_on_two_threads(self):
        out = run_child(self, """
            import threading, clscrypt
            seen = []
            def report(percent):
                if percent == 100:
                    seen.append(1)
            def work():
                c = clscrypt.clsToString(); c.Key = "k"
                c.Progress.Subscribe(report)
                data = bytes(64)
                for _ in range(150000):
                    c.EncryptByte(data)
            threads = [threading.Thread(target=work) for _ in range(2)]
            for t in threads: t.start()
            for t in threads: t.join()
            print(len(seen))
        """)
        self.assertEqual(out.split(), ["300000"])

    def test_subscribe_and_unsubscribe_from_another_thread_during_operations(self):
        out = run_child(self, """
            import threading, clscrypt
            c = clscrypt.clsToString(); c.Key = "k"
            calls = []
            c.Progress.Subscribe(calls.append)
            done = threading.Event()
            failures = []
            def churn():
                try:
                    while not done.is_set():
                        token = c.Progress.Subscribe(lambda p: None)
                        c.Progress.Unsubscribe(token)
                except BaseException as e:
                    failures.append(type(e).__name__)
            helper = threading.Thread(target=churn)
            helper.start()
            data = bytes(1 << 16)
            try:
                for _ in range(3000):
                    c.EncryptByte(data)
            finally:
                done.set()
                helper.join()
            print(failures, len(calls) > 3000)
        """)
        self.assertEqual(out.split(), ["[]", "True"])

    def test_listeners_subscribed_meanwhile_and_unsubscribed_by_themselves(self):
        cipher = keyed()
        seen = []

        def once(percent):
            seen.append(("once", percent))
            cipher.Progress.Unsubscribe(token)

        token = cipher.Progress.Subscribe(once)
        cipher.Progress.Subscribe(lambda p: seen.append(("always", p)))
        cipher.EncryptByte(bytes(1 << 20))
        self.assertEqual([name for name, _ in seen].count("once"), 1)
        self.assertGreater([name for name, _ in seen].count("always"), 2)

    def test_a_copy_calls_the_same_listeners(self):
        seen = []
        original = keyed()
        token = original.Progress.Subscribe(lambda p: seen.append(p) if p == 100 else None)
        twin = copy.copy(original)
        twin.EncryptByte(bytes(10))
        self.assertEqual(seen, [100])
        twin.Progress.Unsubscribe(token)  # the same token names it on the copy
        twin.EncryptByte(bytes(10))
        self.assertEqual(seen, [100])
        original.EncryptByte(bytes(10))  # and the original keeps its own
        self.assertEqual(seen, [100, 100])

    def test_what_a_listener_returns(self):
        cases = [(None, None), (50, None), ("50", TypeError), (1.5, TypeError), (2 ** 40, ValueError),
                 (-(2 ** 40), ValueError)]
        for returned, error in cases:
            with self.subTest(returned=returned):
                cipher = keyed()
                cipher.Progress.Subscribe(lambda p, r=returned: r)
                if error is None:
                    cipher.EncryptByte(bytes(10))
                else:
                    with self.assertRaises(error):
                        cipher.EncryptByte(bytes(10))


class Uninitialised(unittest.TestCase):
    CASES = {
        "CodePage": "clscrypt.clsToString.__new__(clscrypt.clsToString).CodePage",
        "Progress": "clscrypt.clsToString.__new__(clscrypt.clsToString).Progress",
        "EncryptByte": "clscrypt.clsToString.__new__(clscrypt.clsToString).EncryptByte(b'x')",
        "Key": "setattr(clscrypt.clsToString.__new__(clscrypt.clsToString), 'Key', 'k')",
        "copy": "__import__('copy').copy(clscrypt.clsToString.__new__(clscrypt.clsToString))",
        "close": "clscrypt.clsToString.__new__(clscrypt.clsToString).close()",
        "RekeyFile From": "clscrypt.clsToString().RekeyFile(clscrypt.clsToString.__new__(clscrypt.clsToString), 'a', 'b')",
        "Subscribe": "clscrypt.ProgressEvent.__new__(clscrypt.ProgressEvent).Subscribe(print)",
        "Unsubscribe": "clscrypt.ProgressEvent.__new__(clscrypt.ProgressEvent).Unsubscribe(1)",
        "unbound self": "clscrypt.clsToString.EncryptByte(5, b'x')",
    }

    def test_objects_made_by_new_alone_raise_type_error(self):
        for name, expression in self.CASES.items():
            with self.subTest(name):
                out = run_child(self, f"""
                    import gc, clscrypt
                    try:
                        {expression}
                        print("no error")
                    except TypeError:
                        print("TypeError")
                    gc.collect()
                """)
                self.assertEqual(out.split(), ["TypeError"])


class Collection(unittest.TestCase):
    class Holder:
        def __init__(self, keep_event):
            self.c = clscrypt.clsToString()
            self.c.Key = KEY
            self.c.Progress.Subscribe(self.on_progress)
            if keep_event:
                self.event = self.c.Progress

        def on_progress(self, percent):
            pass

    def test_cycles_through_listeners_are_collected(self):
        cases = {
            "bound method of the holder": lambda: self.Holder(False).c,
            "holder keeps the event": lambda: self.Holder(True).c,
            "listener refers to the instance": self._closure,
        }
        for name, make in cases.items():
            with self.subTest(name):
                gc.collect()
                refs = [weakref.ref(make()) for _ in range(50)]
                gc.collect()
                self.assertEqual(sum(r() is not None for r in refs), 0)

    @staticmethod
    def _closure():
        c = clscrypt.clsToString()
        c.Progress.Subscribe(lambda p: c.CodePage)
        return c

    def test_close_wipes_and_refuses_further_use(self):
        sealed = keyed().EncryptByte(b"x")
        cipher = keyed()
        cipher.close()
        cipher.close()  # again: nothing
        operations = [
            lambda c: c.EncryptByte(b"x"), lambda c: c.DecryptByte(sealed), lambda c: c.EncryptString("x"),
            lambda c: c.StrToHex("x"), lambda c: c.HexToStr("41"), lambda c: setattr(c, "Key", "k"),
            lambda c: c.Progress.Subscribe(print), lambda c: keyed().RekeyFile(c, "a", "b"),
        ]
        for i, operation in enumerate(operations):
            with self.subTest(i):
                with self.assertRaises(ValueError):
                    operation(cipher)
        with keyed() as inside:
            self.assertEqual(inside.DecryptByte(sealed), b"x")
        with self.assertRaises(ValueError):
            inside.DecryptByte(sealed)

    def test_close_from_its_own_listener_is_busy(self):
        cipher = keyed()
        caught = []

        def close_me(percent):
            try:
                cipher.close()
            except clscrypt.BusyError as e:
                caught.append(e.kind)

        cipher.Progress.Subscribe(close_me)
        sealed = cipher.EncryptByte(b"still whole")
        self.assertTrue(caught)
        self.assertEqual(set(caught), {clscrypt.ErrorKind.Busy})
        self.assertEqual(keyed().DecryptByte(sealed), b"still whole")


class NoValueInMessages(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = str(pathlib.Path(self.dir.name) / PLAIN)
        pathlib.Path(self.path).write_bytes(PLAIN.encode())

    def tearDown(self):
        self.dir.cleanup()

    def calls(self):
        """(name, function, arguments): every public function and method with
        arguments of the right types, keys and plaintexts among them."""
        c = keyed()
        sealed = keyed().EncryptByte(PLAIN.encode())
        hex_column = [sealed.hex()]
        return [
            ("clsToString", lambda page, replace: clscrypt.clsToString(page, replace_unmappable=replace), [1252, True]),
            ("EncryptByte", c.EncryptByte, [PLAIN.encode(), KEY]),
            ("DecryptByte", c.DecryptByte, [sealed, KEY]),
            ("EncryptString", c.EncryptString, [PLAIN, KEY]),
            ("DecryptString", c.DecryptString, [PLAIN, KEY]),
            ("EncryptFile", c.EncryptFile, [self.path, self.path + KEY, KEY]),
            ("DecryptFile", c.DecryptFile, [self.path, self.path + KEY, KEY]),
            ("RekeyFile", c.RekeyFile, [keyed(), self.path, self.path + KEY]),
            ("HexToStr", c.HexToStr, [PLAIN, 0]),
            ("StrToHex", c.StrToHex, [PLAIN, KEY]),
            ("Key", lambda key: setattr(c, "Key", key), [KEY]),
            ("CodePage", lambda page: setattr(c, "CodePage", page), [1252]),
            ("Subscribe", c.Progress.Subscribe, [print]),
            ("Unsubscribe", c.Progress.Unsubscribe, [1]),
            ("SHA256", clscrypt.clsHsh().SHA256, [PLAIN]),
            ("read_hex", clscrypt.read_hex, [PLAIN]),
            ("encrypt_values", clscrypt.encrypt_values, [[PLAIN], [KEY], "hex", 1252, "raise"]),
            ("decrypt_values", clscrypt.decrypt_values, [hex_column, [[KEY]], "hex", 1252, "raise"]),
            ("rekey_values", clscrypt.rekey_values, [hex_column, [[KEY]], [KEY], "hex", 1252, "raise"]),
        ]

    KEYWORDS = {
        "encrypt_values": {"separator": ":", "replace_unmappable": False, "threads": 1},
        "decrypt_values": {"plain": "str", "replace_unmappable": False, "threads": 1},
        "rekey_values": {"new_form": "hex", "separator": ":", "replace_unmappable": False, "threads": 1},
    }

    def assert_clean(self, error):
        seen = set()
        while error is not None and id(error) not in seen:
            seen.add(id(error))
            for text in (str(error), repr(error), repr(error.args)):
                self.assertNotIn(KEY, text)
                self.assertNotIn(PLAIN, text)
            error = error.__cause__ or error.__context__

    def test_each_argument_of_the_wrong_type(self):
        for name, function, arguments in self.calls():
            keywords = self.KEYWORDS.get(name, {})
            variants = [(i, arguments[:i] + [WRONG] + arguments[i + 1:], keywords) for i in range(len(arguments))]
            variants += [(k, arguments, {**keywords, k: WRONG}) for k in keywords]
            for where, args, kwargs in variants:
                with self.subTest(function=name, argument=where):
                    with self.assertRaises(TypeError) as caught:
                        function(*args, **kwargs)
                    self.assert_clean(caught.exception)
                    self.assertIn("float", str(caught.exception))

    def test_arguments_that_fit_no_parameter_list(self):
        for name, function, arguments in self.calls():
            for args, kwargs in [(arguments + [KEY, PLAIN, KEY, PLAIN, KEY, PLAIN], {}),
                                 (arguments, {"bogus": KEY, "other": PLAIN})]:
                with self.subTest(function=name, given=len(args)):
                    with self.assertRaises(TypeError) as caught:
                        function(*args, **kwargs)
                    self.assert_clean(caught.exception)

    def test_values_out_of_range_or_choice(self):
        c = keyed()
        cases = [
            ("form", lambda: clscrypt.encrypt_values([PLAIN], keys=[KEY], form=KEY)),
            ("errors", lambda: clscrypt.decrypt_values([PLAIN], keys=[KEY], errors=KEY)),
            ("plain", lambda: clscrypt.decrypt_values([PLAIN], keys=[KEY], plain=KEY)),
            ("new_form", lambda: clscrypt.rekey_values([PLAIN], keys=[KEY], new_keys=[KEY], new_form=KEY)),
            ("threads", lambda: clscrypt.encrypt_values([PLAIN], keys=[KEY], threads=-1)),
            ("Separators", lambda: c.HexToStr(PLAIN, 2 ** 40)),
            ("CodePage", lambda: setattr(c, "CodePage", 2 ** 40)),
        ]
        for name, call in cases:
            with self.subTest(name):
                with self.assertRaises(ValueError) as caught:
                    call()
                self.assert_clean(caught.exception)
                self.assertIn(name, str(caught.exception))


class ErrorClasses(unittest.TestCase):
    def test_each_kind_raises_its_class_and_builtin(self):
        def busy():
            cipher = keyed()

            def rekey(percent):
                cipher.Key = "other"

            cipher.Progress.Subscribe(rekey)
            cipher.EncryptByte(b"x")

        missing = pathlib.Path(tempfile.gettempdir()) / "clscrypt-absent-\udcff"
        kinds = clscrypt.ErrorKind
        cases = [
            ("wrong key", lambda: keyed("other").DecryptByte(keyed().EncryptByte(b"x")), kinds.WrongKeyOrDamaged,
             clscrypt.WrongKeyError, ValueError),
            ("missing source", lambda: keyed().EncryptFile(missing, str(missing) + "x"), kinds.SourceMissing,
             clscrypt.SourceMissingError, FileNotFoundError),
            ("separator count -2", lambda: keyed().HexToStr("4142", -2), kinds.DivisionByZero,
             clscrypt.DivisionByZeroError, ZeroDivisionError),
            ("not hexadecimal", lambda: keyed().HexToStr("4G"), kinds.SubscriptOutOfRange,
             clscrypt.SubscriptOutOfRangeError, ValueError),
            ("unknown code page", lambda: clscrypt.clsToString(437), kinds.InvalidArgument,
             clscrypt.InvalidArgumentError, ValueError),
            ("unmappable key", lambda: keyed("\u042f"), kinds.Unmappable, clscrypt.UnmappableError, ValueError),
            ("lone surrogate in a key", lambda: keyed("a\ud800"), kinds.Unmappable, clscrypt.UnmappableError,
             ValueError),
            ("lone surrogate in a bulk key", lambda: clscrypt.encrypt_values(["a"], keys=["\udfff"]),
             kinds.Unmappable, clscrypt.UnmappableError, ValueError),
            ("busy", busy, kinds.Busy, clscrypt.BusyError, clscrypt.Error),
        ]
        for name, action, kind, cls, builtin in cases:
            with self.subTest(name):
                with self.assertRaises(builtin) as caught:
                    action()
                error = caught.exception
                self.assertIs(type(error), cls)
                self.assertIsInstance(error, clscrypt.Error)
                self.assertIsInstance(error, RuntimeError)  # as clscrypt.RuntimeError always was
                self.assertEqual(error.kind, kind)
                copied = pickle.loads(pickle.dumps(error))
                self.assertIs(type(copied), cls)
                self.assertEqual((copied.kind, copied.number, copied.description, str(copied)),
                                 (error.kind, error.number, error.description, str(error)))

    def test_a_lone_surrogate_reads_as_a_character_the_code_page_lacks(self):
        replaced = keyed("a\ud800", replace_unmappable=True)
        self.assertEqual(keyed("a?").DecryptByte(replaced.EncryptByte(b"x")), b"x")

    def test_a_missing_file_whose_name_is_not_utf8(self):
        with tempfile.TemporaryDirectory() as folder:
            name = os.path.join(os.fsencode(folder), b"absent-\xff")
            with self.assertRaises(FileNotFoundError) as caught:
                keyed().DecryptFile(name, name + b".out")
            self.assertIn("absent-", str(caught.exception))

    def test_a_list_that_shrinks_during_the_call(self):
        # Another thread empties the list while the call converts it. Where
        # the other thread runs first or last the call sees one whole list
        # and must convert it exactly; where it runs during the call, the
        # call must notice. The timing is the scheduler's, so the call is
        # repeated until the change has landed inside one.
        noticed = 0
        for _ in range(20):
            values = ["v"] * 100000
            go = threading.Event()

            def shrink(values=values, go=go):
                go.wait()
                values.clear()

            interval = sys.getswitchinterval()
            sys.setswitchinterval(30)  # the call hands the GIL over only when it converts
            helper = threading.Thread(target=shrink)
            helper.start()
            try:
                go.set()
                try:
                    out = clscrypt.encrypt_values(values, keys=[KEY])
                except clscrypt.InvalidArgumentError as e:
                    self.assertIn("changed size", str(e))
                    noticed += 1
                else:
                    self.assertIn(len(out), (0, 100000))
                    self.assertTrue(all(o is not None for o in out))
            finally:
                sys.setswitchinterval(interval)
                helper.join()
            if noticed >= 1:
                break
        self.assertGreaterEqual(noticed, 1)

    def test_the_package_namespace(self):
        namespace = {}
        exec("from clscrypt import *", namespace)
        self.assertNotIn("RuntimeError", namespace)
        self.assertIs(clscrypt.RuntimeError, clscrypt.Error)
        for name in ("sys", "Any", "Iterable", "Literal", "Optional", "Sequence", "Union", "TYPE_CHECKING"):
            with self.subTest(name):
                self.assertFalse(hasattr(clscrypt, name))
        for name in clscrypt.__all__:
            with self.subTest(name):
                self.assertEqual(getattr(clscrypt, name).__module__, "clscrypt")


class Typing(unittest.TestCase):
    def test_readme_examples_and_tests_type_check(self):
        try:
            import mypy  # noqa: F401
        except ImportError:
            if os.environ.get("CLSCRYPT_REQUIRE_MYPY"):
                raise
            self.skipTest("mypy is not installed (Debian: python3-mypy)")
        root = pathlib.Path(__file__).resolve().parents[2]
        # The package's own document (the wheel's long description).
        readme = (root / "python" / "README.md").read_text(encoding="utf-8")
        blocks = [b.split("```", 1)[0] for b in readme.split("```python\n")[1:]]
        self.assertGreater(len(blocks), 2)
        with tempfile.TemporaryDirectory() as folder:
            files = []
            for i, block in enumerate(blocks):
                path = pathlib.Path(folder) / f"readme_{i}.py"
                # The names the README's fragments take as given.
                path.write_text("column: list[str] = []\nblobs: list[bytes] = []\n" + block, encoding="utf-8")
                files.append(str(path))
            files += [str(p) for p in sorted(pathlib.Path(__file__).parent.glob("test_*.py"))]
            result = subprocess.run(
                [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull,
                 "--ignore-missing-imports", "--python-executable", sys.executable, *files],
                capture_output=True, text=True, cwd=folder, env=dict(os.environ))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
