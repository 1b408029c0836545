#!/usr/bin/python3
"""Writes the COM contract test's known answers (C++ header) from the shared
cases in tests/data/conformance.json: the known answers and the keys a code
page lacks, with texts as UTF-16 literals.

Usage: gen_cases.py conformance.json out.hpp
"""
import json
import sys


def u16(text):
    return "u\"" + "".join("\\x{:04X}".format(ord(c)) if ord(c) < 0x10000 else c for c in text) + "\""


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        cases = json.load(f)
    out = ["// Generated from tests/data/conformance.json by tests/com/gen_cases.py.", "#pragma once", "",
           "namespace com_cases {", "",
           "struct KnownAnswer {", "    const char* name;", "    int codepage;",
           "    int key_count;", "    const char16_t* keys[4];", "    const char* message;", "    const char* cipher;",
           "};", "", "inline const KnownAnswer kKnownAnswers[] = {"]
    for c in cases["known_answers"]:
        if len(c["keys"]) > 4:
            sys.exit("gen_cases.py: a key history longer than 4; widen KnownAnswer::keys")
        keys = ", ".join(u16(k) for k in c["keys"]) or "nullptr"
        out.append("    {{{}, {}, {}, {{{}}}, \"{}\", \"{}\"}},".format(json.dumps(c["name"]), c["codepage"],
                                                                   len(c["keys"]), keys,
                                                                   c["message"], c["cipher"]))
    out += ["};", "", "struct UnmappableKey {", "    const char* name;", "    int codepage;", "    const char16_t* key;",
            "    const char* message;", "    const char* cipher;", "};", "",
            "inline const UnmappableKey kUnmappableKeys[] = {"]
    for c in cases["unmappable_keys"]:
        out.append("    {{{}, {}, {}, \"{}\", \"{}\"}},".format(json.dumps(c["name"]), c["codepage"], u16(c["key"]),
                                                               c["message"], c["cipher_with_replacement"]))
    out += ["};", "", "}  // namespace com_cases", ""]
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    main()
