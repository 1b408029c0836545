"""The library's policy as the Python package shows it: the cases every surface
shares (tests/data/conformance.json), refused unmappable keys and texts, the
Busy error, messages free of deciphered bytes, and Ctrl+C during long calls."""

import json
import os
import pathlib
import subprocess
import sys
import textwrap
import unittest

import clscrypt

KINDS = clscrypt.ErrorKind
CASES_PATH = pathlib.Path(__file__).resolve().parents[2] / "tests" / "data" / "conformance.json"
# Missing cases are a failure, not a skip: the suite runs from the source tree.
CASES = json.loads(CASES_PATH.read_text(encoding="utf-8"))
# "abc" written without a key.
UNKEYED_ABC = next(
    bytes.fromhex(case["cipher"])
    for case in CASES["known_answers"]
    if not case["keys"] and bytes.fromhex(case["message"]) == b"abc"
)


def keyed(case, **options):
    cipher = clscrypt.clsToString(case["codepage"], **options)
    for key in case["keys"]:
        cipher.Key = key
    return cipher


def to_text(data, codepage=1252):
    """Bytes as the one-character-a-byte text EncryptString makes."""
    return clscrypt.clsToString(codepage).HexToStr(data.hex().upper())


class KnownAnswers(unittest.TestCase):
    def test_every_entry_point_reads_the_shared_ciphertexts(self):
        self.assertGreater(len(CASES["known_answers"]), 5)
        for case in CASES["known_answers"]:
            with self.subTest(case["name"]):
                cipher = bytes.fromhex(case["cipher"])
                message = bytes.fromhex(case["message"])
                self.assertFalse(clscrypt.clsToString(case["codepage"]).replace_unmappable)
                self.assertEqual(keyed(case).DecryptByte(cipher), message)
                in_place = bytearray(cipher)
                keyed(case).DecryptByte(in_place)
                self.assertEqual(bytes(in_place), message)
                page = case["codepage"]
                self.assertEqual(keyed(case).DecryptString(to_text(cipher, page)), to_text(message, page))
                for form, value in [("hex", case["cipher"]), ("hex", case["cipher"].lower()),
                                    ("bytes", cipher), ("string", to_text(cipher, page))]:
                    self.assertEqual(
                        clscrypt.decrypt_values([value], keys=case["keys"], codepage=case["codepage"], form=form,
                                                plain="bytes"),
                        [message], form)
                moved = clscrypt.rekey_values([case["cipher"]], keys=case["keys"], new_keys=["moved"],
                                              codepage=case["codepage"])
                self.assertEqual(clscrypt.decrypt_values(moved, keys=["moved"], plain="bytes"), [message])

    def test_damaged_ciphertexts_fail_as_their_kind(self):
        keys = CASES["spliced"]["keys"]
        for case in CASES["damaged"]:
            with self.subTest(case["name"]):
                with self.assertRaises(clscrypt.RuntimeError) as caught:
                    clscrypt.decrypt_values([case["cipher"]], keys=keys)
                self.assertEqual(caught.exception.kind.name, case["kind"])
                with self.assertRaises(clscrypt.RuntimeError) as caught:
                    clscrypt.clsToString(1252, replace_unmappable=False).DecryptByte(
                        bytes.fromhex(case["cipher"]), keys[0])
                self.assertEqual(caught.exception.kind.name, case["kind"])

    def test_ciphertext_hex_reads_by_the_librarys_rule(self):
        self.assertGreater(len(CASES["hex"]), 10)
        for case in CASES["hex"]:
            with self.subTest(text=case["text"]):
                if "bytes" in case:
                    self.assertEqual(clscrypt.read_hex(case["text"]), bytes.fromhex(case["bytes"]))
                    continue
                with self.assertRaises(clscrypt.RuntimeError) as caught:
                    clscrypt.read_hex(case["text"])
                self.assertEqual((caught.exception.kind, caught.exception.number), (KINDS.InvalidArgument, 5))
                if case["error_position"] <= len(case["text"]):
                    self.assertIn(f"position {case['error_position']}", str(caught.exception))

    def test_values_read_hex_in_the_styles_the_rule_skips(self):
        spliced = CASES["spliced"]
        keys = spliced["keys"]
        message = bytes.fromhex(spliced["message"])
        pairs = [spliced["cipher"][i:i + 2] for i in range(0, len(spliced["cipher"]), 2)]
        for text in (" ".join(pairs), "-".join(pairs).lower(), ":".join(pairs), "\r\n".join(pairs)):
            with self.subTest(text=text[:12]):
                self.assertEqual(clscrypt.read_hex(text), bytes.fromhex(spliced["cipher"]))
                self.assertEqual(clscrypt.decrypt_values([text], keys=keys, plain="bytes"), [message])
        for case in CASES["hex"]:
            if "error_position" in case:
                with self.subTest(text=case["text"]):
                    with self.assertRaises(clscrypt.RuntimeError) as caught:
                        clscrypt.decrypt_values([case["text"]], keys=keys)
                    self.assertEqual(caught.exception.kind, KINDS.InvalidArgument)

    def test_values_read_a_leading_backslash_x(self):
        # PostgreSQL's bytea text, as psql prints it.
        spliced = CASES["spliced"]
        self.assertEqual(clscrypt.decrypt_values(["\\x" + spliced["cipher"]], keys=spliced["keys"], plain="bytes"),
                         [bytes.fromhex(spliced["message"])])


class Unmappable(unittest.TestCase):
    def assert_names_position_not_key(self, error, case, what="key"):
        self.assertEqual((error.kind, error.number), (KINDS.Unmappable, 5))
        message = str(error)
        self.assertIn(f"the {what} has a character at position {case['position']}", message)
        self.assertIn(f"code page {case['codepage']} lacks", message)
        if case["holder"] is not None:
            self.assertIn(f"code page {case['holder']} has it", message)
        for ch in case["key"]:
            if ord(ch) >= 0x80:
                self.assertNotIn(ch, message)
                self.assertNotIn(ch, repr(error.args))

    def test_keys_are_refused_unless_replacement_is_asked(self):
        self.assertEqual(len(CASES["unmappable_keys"]), 3)
        for case in CASES["unmappable_keys"]:
            with self.subTest(case["name"]):
                page, key = case["codepage"], case["key"]
                cipher = bytes.fromhex(case["cipher_with_replacement"])
                message = bytes.fromhex(case["message"])
                refusing = clscrypt.clsToString(page)
                refused = [
                    lambda: setattr(refusing, "Key", key),
                    lambda: refusing.EncryptByte(b"x", key),
                    lambda: refusing.DecryptByte(cipher, key),
                    lambda: refusing.EncryptString("x", key),
                    lambda: clscrypt.encrypt_values(["x"], keys=[key], codepage=page),
                    lambda: clscrypt.decrypt_values([case["cipher_with_replacement"]], keys=[key], codepage=page),
                    lambda: clscrypt.decrypt_values([case["cipher_with_replacement"]], candidates=[["k"], [key]],
                                                    codepage=page, errors="none"),
                    lambda: clscrypt.rekey_values([case["cipher_with_replacement"]], keys=["k"], new_keys=[key],
                                                  codepage=page),
                ]
                for number, action in enumerate(refused):
                    with self.subTest(attempt=number):
                        with self.assertRaises(clscrypt.RuntimeError) as caught:
                            action()
                        self.assert_names_position_not_key(caught.exception, case)
                # Nothing changed: the instance still reads unkeyed data.
                self.assertEqual(refusing.DecryptByte(UNKEYED_ABC), b"abc")

                legacy = clscrypt.clsToString(page, replace_unmappable=True)
                self.assertTrue(legacy.replace_unmappable)
                legacy.Key = key
                self.assertEqual(legacy.DecryptByte(cipher), message)
                self.assertEqual(clscrypt.decrypt_values([case["cipher_with_replacement"]], keys=[key],
                                                         codepage=page, plain="bytes", replace_unmappable=True),
                                 [message])
                moved = clscrypt.rekey_values([case["cipher_with_replacement"]], keys=[key], new_keys=["n"],
                                              codepage=page, replace_unmappable=True)
                self.assertEqual(clscrypt.decrypt_values(moved, keys=["n"], plain="bytes"), [message])
                import copy
                self.assertTrue(copy.copy(legacy).replace_unmappable)

    def test_texts_are_refused_unless_replacement_is_asked(self):
        case = {"codepage": 1252, "key": "ab\u042f", "position": 3, "holder": 1251}
        strict = clscrypt.clsToString(1252)
        for name, action in [("EncryptString", lambda c: c.EncryptString(case["key"])),
                             ("StrToHex", lambda c: c.StrToHex(case["key"]))]:
            with self.subTest(name):
                with self.assertRaises(clscrypt.RuntimeError) as caught:
                    action(strict)
                self.assert_names_position_not_key(caught.exception, case, "text")
        with self.assertRaises(clscrypt.RuntimeError) as caught:
            clscrypt.encrypt_values(["ok", case["key"]], keys=["k"])
        self.assert_names_position_not_key(caught.exception, case, "text")
        self.assertIn("value 1", str(caught.exception))
        legacy = clscrypt.clsToString(1252, replace_unmappable=True)
        self.assertEqual(legacy.StrToHex(case["key"]), "61 62 3F")
        self.assertEqual(legacy.DecryptString(legacy.EncryptString(case["key"])), "ab?")
        with self.assertRaises(TypeError):  # the option is keyword-only
            clscrypt.clsToString(1252, True)


class NoDecipheredBytesInMessages(unittest.TestCase):
    def test_every_slice_at_every_offset(self):
        case = CASES["spliced"]
        cipher = bytes.fromhex(case["cipher"])
        forbidden = case["forbidden"]
        self.assertTrue(forbidden)
        one = keyed(case)
        failures = 0

        def check(error, at, length):
            nonlocal failures
            failures += 1
            texts = [str(error), repr(error), error.description, repr(error.args)]
            for text in texts:
                for piece in forbidden:
                    self.assertNotIn(piece, text, f"offset {at}, length {length}")

        for at in range(0, len(cipher) - 15):
            for length in range(16, len(cipher) - at + 1, 8):
                if at == 0 and length == len(cipher):
                    continue  # the ciphertext itself reads
                piece = cipher[at:at + length]
                attempts = [
                    lambda: one.DecryptByte(piece),
                    lambda: one.DecryptByte(bytearray(piece)),
                    lambda: one.DecryptString(to_text(piece)),
                    lambda: clscrypt.decrypt_values([piece], keys=case["keys"], form="bytes", plain="bytes"),
                    lambda: clscrypt.decrypt_values([piece.hex()], keys=case["keys"]),
                    lambda: clscrypt.decrypt_values([piece.hex()], candidates=[["x"], case["keys"]]),
                    lambda: clscrypt.rekey_values([piece.hex()], keys=case["keys"], new_keys=["n"]),
                ]
                for action in attempts:
                    try:
                        action()
                    except clscrypt.RuntimeError as error:
                        self.assertEqual(error.kind, KINDS.WrongKeyOrDamaged)
                        check(error, at, length)
        self.assertGreater(failures, 100)


class Busy(unittest.TestCase):
    def test_a_listener_cannot_rekey_the_running_instance(self):
        message = bytes(range(256)) * 400
        cipher = clscrypt.clsToString(1252)
        cipher.Key = "running"
        other = clscrypt.clsToString(1252)
        attempts = {
            "Key": lambda: setattr(cipher, "Key", "other"),
            "EncryptByte with a key": lambda: cipher.EncryptByte(b"x", "other"),
            "DecryptByte with a key": lambda: cipher.DecryptByte(UNKEYED_ABC, "other"),
            "EncryptString with a key": lambda: cipher.EncryptString("x", "other"),
            "DecryptString with a key": lambda: cipher.DecryptString(to_text(UNKEYED_ABC), "other"),
        }
        outcomes = {}
        nested = []
        inside = []

        def listener(percent):
            if inside:  # the nested call's own events
                return
            inside.append(1)
            try:
                attempt_all(percent)
            finally:
                inside.pop()

        def attempt_all(percent):
            for name, action in attempts.items():
                try:
                    action()
                    outcomes.setdefault(name, []).append("taken")
                except clscrypt.RuntimeError as error:
                    outcomes.setdefault(name, []).append((error.kind, error.number))
            # Reading calls, and other instances, are not refused.
            nested.append(cipher.DecryptByte(cipher.EncryptByte(b"nested")))
            other.Key = f"free {percent}"

        token = cipher.Progress.Subscribe(listener)
        for operation in ("EncryptByte", "DecryptByte"):
            with self.subTest(operation):
                outcomes.clear()
                nested.clear()
                if operation == "EncryptByte":
                    sealed = cipher.EncryptByte(message)
                    result = None
                else:
                    result = cipher.DecryptByte(sealed)
                self.assertEqual(set(outcomes), set(attempts))
                for name, seen in outcomes.items():
                    self.assertTrue(seen)
                    self.assertEqual(set(seen), {(KINDS.Busy, 5)}, name)
                self.assertTrue(nested)
                self.assertEqual(set(nested), {b"nested"})
                if result is not None:
                    self.assertEqual(result, message)
        cipher.Progress.Unsubscribe(token)
        # The key never moved: a fresh instance keyed the same reads it, and
        # the instance takes a new key once idle.
        fresh = clscrypt.clsToString(1252)
        fresh.Key = "running"
        self.assertEqual(fresh.DecryptByte(sealed), message)
        cipher.Key = "after"
        fresh.Key = "after"
        self.assertEqual(fresh.DecryptByte(cipher.EncryptByte(b"y")), b"y")

    def test_an_uncaught_busy_error_passes_through_as_the_listeners(self):
        cipher = clscrypt.clsToString(1252)
        cipher.Key = "k"
        sealed = cipher.EncryptByte(bytes(200000))
        cipher.Progress.Subscribe(lambda percent: setattr(cipher, "Key", "other"))
        data = bytearray(sealed)
        with self.assertRaises(clscrypt.RuntimeError) as caught:
            cipher.EncryptByte(bytes(200000))
        self.assertEqual(caught.exception.kind, KINDS.Busy)
        with self.assertRaises(clscrypt.RuntimeError) as caught:
            cipher.DecryptByte(data)
        self.assertEqual(caught.exception.kind, KINDS.Busy)
        self.assertEqual(bytes(data), sealed)  # a failed call leaves the bytearray as it was


# Ctrl+C: a child interpreter starts a long call and a thread of its own
# sends it SIGINT once the call has released the GIL (the switch interval is
# long, so that thread runs only then). The child reports as JSON.
INTERRUPT_CHILD = textwrap.dedent(r"""
    import json, os, signal, sys, threading, time
    import clscrypt

    sys.setswitchinterval(60)
    call = sys.argv[1]
    size = 256 << 20
    cipher = clscrypt.clsToString(1252)
    cipher.Key = "k"
    data = bytearray(size)
    column = None
    if call in ("encrypt_values", "rekey_values", "rekey_values threads=2"):
        column = [bytes(2048)] * (size // 2048)
    if call.startswith("rekey_values"):
        column = clscrypt.encrypt_values(column, keys=["k"], form="bytes", threads=2)
    if call == "DecryptByte":
        cipher.EncryptByte(data)
    go = threading.Event()
    sent = []

    def send():
        go.wait()
        time.sleep(0.2)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    sender = threading.Thread(target=send)
    sender.start()
    length = len(data)
    outcome = "completed"
    started = time.monotonic()
    try:
        go.set()
        if call == "EncryptByte" or call == "DecryptByte":
            getattr(cipher, call)(data)
        elif call == "encrypt_values":
            clscrypt.encrypt_values(column, keys=["k"], form="bytes")
        elif call == "rekey_values":
            clscrypt.rekey_values(column, keys=["k"], new_keys=["n"], form="bytes")
        elif call == "rekey_values threads=2":
            clscrypt.rekey_values(column, keys=["k"], new_keys=["n"], form="bytes", threads=2)
        ended = time.monotonic()
    except KeyboardInterrupt:
        ended = time.monotonic()
        outcome = "KeyboardInterrupt"
    except BaseException as error:
        ended = time.monotonic()
        outcome = type(error).__name__
    sender.join()
    # The bulk call again, whole, for how long it takes when nobody stops it.
    whole = time.monotonic()
    if call == "encrypt_values":
        clscrypt.encrypt_values(column, keys=["k"], form="bytes")
    elif column is not None:
        clscrypt.rekey_values(column, keys=["k"], new_keys=["n"], form="bytes")
    whole = time.monotonic() - whole
    print(json.dumps({
        "outcome": outcome,
        "untouched": len(data) == length,
        "after_signal": ended - sent[0] if sent else None,
        "whole": whole,
        "handler_restored": signal.getsignal(signal.SIGINT) is signal.default_int_handler,
    }))
""")


class CtrlC(unittest.TestCase):
    def run_child(self, call):
        result = subprocess.run([sys.executable, "-c", INTERRUPT_CHILD, call], capture_output=True, text=True,
                                timeout=300, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)

    def test_sigint_stops_a_long_call_with_keyboard_interrupt(self):
        for call in ("EncryptByte", "DecryptByte", "encrypt_values", "rekey_values", "rekey_values threads=2"):
            with self.subTest(call):
                report = self.run_child(call)
                self.assertEqual(report["outcome"], "KeyboardInterrupt", report)
                self.assertTrue(report["handler_restored"], report)
                if call in ("EncryptByte", "DecryptByte"):
                    # Stopped inside the call: the bytearray is as it was,
                    # where a finished call would have resized it.
                    self.assertTrue(report["untouched"], report)
                else:
                    # Stopped well before the call could have finished.
                    self.assertLess(report["after_signal"], report["whole"] / 2, report)

    def test_a_handler_of_the_programs_own_is_left_to_run_after_the_call(self):
        # With its own SIGINT handler (or on another thread) the program
        # keeps Python's behaviour: the call completes and the handler runs
        # once, afterwards.
        child = textwrap.dedent(r"""
            import os, signal, sys, threading, time, clscrypt
            sys.setswitchinterval(60)
            seen = []
            signal.signal(signal.SIGINT, lambda number, frame: seen.append(number))
            cipher = clscrypt.clsToString(1252)
            data = bytearray(256 << 20)
            go = threading.Event()
            def send():
                go.wait()
                time.sleep(0.2)
                os.kill(os.getpid(), signal.SIGINT)
            sender = threading.Thread(target=send)
            sender.start()
            go.set()
            cipher.EncryptByte(data)
            sender.join()
            print(len(data) == (256 << 20) + 16, seen == [signal.SIGINT])
        """)
        result = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=120)
        self.assertEqual((result.returncode, result.stdout.strip()), (0, "True True"), result.stderr)


if __name__ == "__main__":
    unittest.main()
