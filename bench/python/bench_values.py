"""A million short values through the Python package: the bulk functions
against a Python loop over the single-value classes, and against a loop over
python3-cryptography's Blowfish-CBC doing the same work per value (hexadecimal
text in, the blocks deciphered, the text decoded; the reverse to encrypt).

    /usr/bin/python3 bench/python/bench_values.py [--count N] [--repeat R]

with the clscrypt package installed (or PYTHONPATH naming a folder holding
it). Each figure is the best of R runs (the cryptography loops, tens of
times slower, run once); ratios are loop time / bulk time.
The cryptography side is a stand-in for the work, not this format: standard
CBC with an 8-byte initial value in front, so each value has the length and
block count of ours. Its Cipher objects take no prepared key schedule, so
that loop either sets the key up for every value (as code using the API
normally does) or, in the second variant, reuses one ECB context and chains
the blocks in Python.
"""

import argparse
import os
import sys
import time
import warnings

import clscrypt

KEY = "benchmark key"
NEW_KEY = "new benchmark key"


def best(repeat, work):
    times = []
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - start)
    return min(times), result


def single_value_loops(plain, stored):
    cipher = clscrypt.clsToString(1252)
    cipher.Key = KEY
    new = clscrypt.clsToString(1252)
    new.Key = NEW_KEY

    def encrypt():
        return [cipher.EncryptByte(p.encode("cp1252")).hex().upper() for p in plain]

    def decrypt():
        return [cipher.DecryptByte(bytes.fromhex(s)).decode("cp1252") for s in stored]

    def rekey():
        return [new.EncryptByte(cipher.DecryptByte(bytes.fromhex(s))).hex().upper() for s in stored]

    return encrypt, decrypt, rekey


def cryptography_loops(plain):
    warnings.simplefilter("ignore")  # Blowfish is deprecated there
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

    key = KEY.encode()
    blowfish = algorithms.Blowfish(key)

    def pad(data):
        return data + bytes(-(len(data) + 4) % 8) + len(data).to_bytes(4, "little")

    def encrypt_one(p):
        iv = os.urandom(8)
        e = Cipher(blowfish, modes.CBC(iv)).encryptor()
        return (iv + e.update(pad(p.encode("cp1252"))) + e.finalize()).hex().upper()

    stored = [encrypt_one(p) for p in plain]

    def decrypt_one(s):
        data = bytes.fromhex(s)
        d = Cipher(blowfish, modes.CBC(data[:8])).decryptor()
        message = d.update(data[8:]) + d.finalize()
        return message[: int.from_bytes(message[-4:], "little")].decode("cp1252")

    ecb = Cipher(blowfish, modes.ECB()).decryptor()

    def decrypt_one_reused(s):
        data = bytes.fromhex(s)
        blocks = ecb.update(data[8:])
        chained = (int.from_bytes(blocks, "big") ^ int.from_bytes(data[:-8], "big")).to_bytes(len(blocks), "big")
        return chained[: int.from_bytes(chained[-4:], "little")].decode("cp1252")

    def encrypt():
        return [encrypt_one(p) for p in plain]

    def decrypt():
        return [decrypt_one(s) for s in stored]

    def decrypt_reused():
        return [decrypt_one_reused(s) for s in stored]

    return encrypt, decrypt, decrypt_reused


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, default=1, help="the bulk functions' threads= (0: one per processor)")
    parser.add_argument("--no-cryptography", action="store_true", help="leave out the python3-cryptography loops")
    args = parser.parse_args()

    plain = [f"user{i:07d}@example.org" for i in range(args.count)]  # 23 characters: 4 blocks
    stored = clscrypt.encrypt_values(plain, keys=[KEY])

    bulk = {
        "encrypt": lambda: clscrypt.encrypt_values(plain, keys=[KEY], threads=args.threads),
        "decrypt": lambda: clscrypt.decrypt_values(stored, keys=[KEY], threads=args.threads),
        "rekey": lambda: clscrypt.rekey_values(stored, keys=[KEY], new_keys=[NEW_KEY], threads=args.threads),
    }
    loop_encrypt, loop_decrypt, loop_rekey = single_value_loops(plain, stored)
    loop = {"encrypt": loop_encrypt, "decrypt": loop_decrypt, "rekey": loop_rekey}

    print(f"clscrypt {clscrypt.__version__}, Python {sys.version.split()[0]}, {args.count} values of "
          f"{len(plain[0])} characters, best of {args.repeat}, bulk threads={args.threads}")
    print(f"{'operation':<10} {'bulk s':>8} {'µs/value':>9} {'loop s':>8} {'µs/value':>9} {'ratio':>7}")
    bulk_times = {}
    for name in ("encrypt", "decrypt", "rekey"):
        bulk_time, bulk_result = best(args.repeat, bulk[name])
        loop_time, loop_result = best(args.repeat, loop[name])
        if name == "decrypt" and (bulk_result != plain or loop_result != plain):
            sys.exit("decrypt: a result differs from the plaintext")
        bulk_times[name] = bulk_time
        print(f"{name:<10} {bulk_time:8.3f} {bulk_time * 1e6 / args.count:9.3f} {loop_time:8.3f} "
              f"{loop_time * 1e6 / args.count:9.3f} {loop_time / bulk_time:6.1f}x")

    if args.no_cryptography:
        return
    c_encrypt, c_decrypt, c_decrypt_reused = cryptography_loops(plain)
    print()
    print("python3-cryptography Blowfish-CBC, a loop over the values:")
    for name, work, ours in [
        ("encrypt", c_encrypt, "encrypt"),
        ("decrypt", c_decrypt, "decrypt"),
        ("decrypt, one ECB context reused", c_decrypt_reused, "decrypt"),
    ]:
        loop_time, result = best(1, work)
        if name.startswith("decrypt") and result != plain:
            sys.exit(f"cryptography {name}: a result differs from the plaintext")
        print(f"  {name:<33} {loop_time:8.3f} s {loop_time * 1e6 / args.count:9.3f} µs/value, "
              f"bulk {ours} is {loop_time / bulk_times[ours]:.1f}x faster")


if __name__ == "__main__":
    main()
