#!/usr/bin/env python3
"""Writes conformance.json, the cases every surface runs: the C++ tests, the
tool, SQLite, PostgreSQL, Python and JavaScript.

    python3 tests/data/make_conformance.py build/dev/src/libclscrypt.so

Ciphertexts are made once, here, with the library's C interface; decrypting
them is deterministic, so a surface that reads them back proves it keys,
converts and checks as the library does. Cases are written by hand below;
only the ciphertexts and the forbidden fragments are computed.
"""
import ctypes
import json
import struct
import sys

lib = ctypes.CDLL(sys.argv[1])
lib.clscrypt_error_message.restype = ctypes.c_char_p


def check(status):
    if status != 0:
        raise SystemExit(lib.clscrypt_error_message().decode())


def encrypt(keys, message, codepage=1252, refuse=False):
    h = ctypes.c_void_p()
    check(lib.clscrypt_tostring_new(codepage, ctypes.byref(h)))
    check(lib.clscrypt_tostring_set_refuse_unmappable(h, 1 if refuse else 0))
    for k in keys:
        b = k.encode()
        check(lib.clscrypt_tostring_set_key_utf8(h, b, ctypes.c_size_t(len(b))))
    size = ctypes.c_size_t(len(message) + 32)
    out = ctypes.create_string_buffer(size.value)
    check(lib.clscrypt_tostring_encrypt(h, message, ctypes.c_size_t(len(message)), out, ctypes.byref(size)))
    lib.clscrypt_tostring_free(h)
    return out.raw[: size.value]


SOURCE_LEGACY = "the legacy class's own known answers (no key, both random words 0)"
SOURCE_LIBRARY = "made by this library; read back by every surface"

known = [
    {"name": "no key, empty message", "codepage": 1252, "keys": [], "message": "",
     "cipher": "F155B7CFC1E56C7B2B3705B3CB82670D", "source": SOURCE_LEGACY},
    {"name": "no key, abc", "codepage": 1252, "keys": [], "message": "616263",
     "cipher": "F155B7CFC1E56C7B78E2F0DF084C4045", "source": SOURCE_LEGACY},
    {"name": "no key, abcde", "codepage": 1252, "keys": [], "message": "6162636465",
     "cipher": "F155B7CFC1E56C7BAAA93D025CE201F3E11CB9F9145131BD", "source": SOURCE_LEGACY},
]
made = [
    ("one key", 1252, ["K3y!"], b"PIN=4711;pass=Tr0ub4dor&3"),
    ("key history of three", 1252, ["first", "second", "third"], b"Hello, world!"),
    ("the same key twice in a row", 1252, ["same", "same", "other"], b"\x00\xff\x00"),
    ("key in Windows-1251", 1251, ["ключ"], b"Cle!"),
    ("key in Windows-1252", 1252, ["clé€"], b"Cle!"),
    ("a key longer than the 72 bytes that count", 1252, ["k" * 72 + "ignored tail"], b"long key"),
]
for name, cp, keys, message in made:
    known.append({"name": name, "codepage": cp, "keys": keys, "message": message.hex().upper(),
                  "cipher": encrypt(keys, message, cp).hex().upper(), "source": SOURCE_LIBRARY})

# A key the code page cannot carry: refused unless the caller opts into the
# legacy "?", which then reads data written under the "?" key.
legacy_q = encrypt(["????"], b"x")
unmappable = [
    {"name": "Cyrillic key under 1252", "codepage": 1252, "key": "ключ", "position": 1, "holder": 1251,
     "cipher_with_replacement": legacy_q.hex().upper(), "message": "78"},
    {"name": "a Greek letter third", "codepage": 1252, "key": "ab\u03bbc", "position": 3, "holder": 1253,
     "cipher_with_replacement": encrypt(["ab?c"], b"x").hex().upper(), "message": "78"},
    {"name": "a character no code page has", "codepage": 1252, "key": "k\u4e2d", "position": 2, "holder": None,
     "cipher_with_replacement": encrypt(["k?"], b"x").hex().upper(), "message": "78"},
]

# Misaligned and cut ciphertexts: every slice of whole blocks at every byte
# offset fails with WrongKeyOrDamaged (or, with odds of about 2e-9, reads),
# and no message or log line may hold any of `forbidden`: the plaintext's
# four-byte windows as text and as the descriptor number they would make.
plain = b"PIN=4711;pass=Tr0ub4dor&3"
spliced_cipher = encrypt(["K3y!"], plain)
forbidden = set()
for i in range(len(plain) - 3):
    window = plain[i:i + 4]
    forbidden.add(window.decode("latin-1"))
    forbidden.add(str(struct.unpack("<i", window)[0]))
spliced = {"codepage": 1252, "keys": ["K3y!"], "cipher": spliced_cipher.hex().upper(),
           "message": plain.hex().upper(), "forbidden": sorted(forbidden)}

damaged = [
    {"name": "empty", "cipher": "", "kind": "WrongKeyOrDamaged"},
    {"name": "one block", "cipher": spliced_cipher[:8].hex().upper(), "kind": "WrongKeyOrDamaged"},
    {"name": "not whole blocks", "cipher": spliced_cipher[:20].hex().upper(), "kind": "WrongKeyOrDamaged"},
    {"name": "cut by a block", "cipher": spliced_cipher[:-8].hex().upper(), "kind": "WrongKeyOrDamaged"},
    {"name": "extended by a block", "cipher": (spliced_cipher + spliced_cipher[-8:]).hex().upper(),
     "kind": "WrongKeyOrDamaged"},
]

# The one reading rule for ciphertext hex.
hex_cases = [
    {"text": "4142", "bytes": "4142"},
    {"text": "41 42", "bytes": "4142"},
    {"text": "41-42", "bytes": "4142"},
    {"text": "41:42", "bytes": "4142"},
    {"text": "4 1 4 2", "bytes": "4142"},
    {"text": "41\r\n42\n", "bytes": "4142"},
    {"text": "6a6B", "bytes": "6A6B"},
    {"text": "\\x4142", "bytes": "4142"},
    {"text": "\\X4142", "bytes": "4142"},
    {"text": "", "bytes": ""},
    {"text": "414", "error_position": 4},
    {"text": "41g2", "error_position": 3},
    {"text": "41x42", "error_position": 3},
    {"text": "x\\4142", "error_position": 1},
    {"text": "41\u00e942", "error_position": 3},
]

json.dump({
    "about": "Cases every surface runs; written by tests/data/make_conformance.py. Kinds are the names of "
             "clscrypt::ErrorKind. Hex fields are upper-case byte strings.",
    "known_answers": known,
    "unmappable_keys": unmappable,
    "spliced": spliced,
    "damaged": damaged,
    "hex": hex_cases,
}, open(sys.argv[2] if len(sys.argv) > 2 else "tests/data/conformance.json", "w", encoding="utf-8"),
    ensure_ascii=False, indent=1)
