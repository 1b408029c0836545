// End-to-end tests of the tool's key sources, text conversion and command
// line: how keys are read, which characters a code page refuses, and the
// usage errors and messages people meet first.

#include "tool_runner.hpp"

namespace clscrypt::test {
namespace {

namespace fs = std::filesystem;

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

// Runs a shell command line in `cwd`, with the tool's path in $TOOL: its
// standard output, or nothing when it fails.
std::optional<std::string> shell(const fs::path& cwd, const std::string& script) {
    const std::string cmd = "cd '" + cwd.string() + "' && TOOL='" CLSCRYPT_TOOL_PATH "' && " + script;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return std::nullopt;
    std::string out;
    char buf[512];
    while (fgets(buf, sizeof buf, p) != nullptr) out += buf;
    if (pclose(p) != 0) return std::nullopt;
    return out;
}

class ToolKeys : public Tool {
protected:
    // The text that `encrypted` (hexadecimal) decrypts to under `args`, or
    // the failure.
    Result decrypt_text(const std::string& encrypted, std::vector<std::string> args) {
        args.insert(args.begin(), {"decrypt", "-q", "--text", encrypted});
        return run({args});
    }
    std::string encrypt_text(const std::string& text, std::vector<std::string> args) {
        args.insert(args.begin(), {"encrypt", "-q", "--hex", "--text", text});
        const Result r = run({args});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
};

TEST_F(ToolKeys, KeySourcesEndAtTheirFirstLineAndAt64KiB) {
    const std::string cipher = encrypt_text("payload", {"--pass", "pass:k1", "--pass", "pass:k2"});
    const std::string k64(64 * 1024, 'k');
    spit(at("k2"), "k2\n");
    spit(at("exact"), k64 + "\r\n");
    spit(at("long"), k64 + "k\n");
    spit(at("huge"), std::string(1 << 20, 'x'));
    struct Case {
        Invocation run;
        int status;
        std::string out = {};  // checked when not empty
    };
    const std::vector<Case> cases = {
        // Two keys from one pipe: one line each, however the pipe is read.
        {{{"decrypt", "-q", "--pass", "stdin", "--pass", "stdin", "--text", cipher}, "k1\nk2\n"}, 0, "payload\n"},
        {{{"decrypt", "-q", "--pass", "fd:3", "--pass", "fd:3", "--text", cipher}, "", {}, std::string("k1\r\nk2")},
         0,
         "payload\n"},
        // A key file's descriptor closes after its line: what followed is no later key's.
        {{{"decrypt", "-q", "--pass", "file:/dev/stdin", "--pass", "file:k2", "--text", cipher}, "k1\nzz\n"},
         0,
         "payload\n"},
        // 64 KiB is the most a key may have; the line ending does not count.
        {{{"encrypt", "-q", "--pass", "file:exact", "--hex", "--text", "x"}}, 0},
        {{{"encrypt", "-q", "--pass", "file:long", "--hex", "--text", "x"}}, 2},
        {{{"encrypt", "-q", "--pass", "file:huge", "--hex", "--text", "x"}}, 2},
        // A source without end stops at the limit (it used to be read for minutes).
        {{{"encrypt", "-q", "--pass", "file:/dev/zero", "--hex", "--text", "x"}}, 2},
        {{{"encrypt", "-q", "--pass", "fd:3", "--hex", "--text", "x"}, "", {}, std::string(70000, 'z')}, 2},
    };
    for (const auto& c : cases) {
        const Result r = run(c.run);
        EXPECT_EQ(r.status, c.status) << c.run.args[3] << ": " << r.err;
        if (c.status == 0) {
            if (!c.out.empty()) {
                EXPECT_EQ(r.out, c.out);
            }
        } else {
            EXPECT_TRUE(contains(r.err, "longer than 64 KiB") && contains(r.err, "first 72 bytes")) << r.err;
        }
    }
    // A key file on a shared descriptor is read up to its line and no
    // further: what follows is left for the next reader.
    spit(at("two"), "k1\nk2\n");
    EXPECT_EQ(shell(dir_, "{ \"$TOOL\" encrypt -q --pass stdin --hex --text x >/dev/null; cat; } < two"), "k2\n");
}

TEST_F(ToolKeys, StandardInputIsNeverBothDataAndKey) {
    for (const char* source : {"stdin", "fd:0", "file:/dev/stdin"}) {
        const Result r = run({{"encrypt", "--pass", std::string(source)}, "first line\nsecond\n"});
        EXPECT_EQ(r.status, 2) << source;
        EXPECT_TRUE(contains(r.err, "standard input already carries the data")) << source << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << source;
    }
    // Without data on standard input, fd:0 is a key source like any other.
    const std::string cipher = encrypt_text("t", {"--pass", "pass:k"});
    const Result r = run({{"decrypt", "-q", "--pass", "fd:0", "--text", cipher}, "k\n"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "t\n");
}

TEST_F(ToolKeys, CharactersTheCodePageLacksAreRefusedUnlessAskedFor) {
    const std::string key = "pass:\u043f\u0430\u0440\u043e\u043b\u044c";  // "пароль"
    const std::string text = "\u041f\u0440\u0438\u0432\u0435\u0442";      // "Привет"
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Case> refused = {
        // The library's words: the position and a code page that has the
        // character, never the character (no part of a key or a plaintext
        // goes into a message).
        {{"encrypt", "--pass", key, "--hex", "--text", "x"},
         2,
         "a character at position 1, which code page 1252 lacks; code page 1251 has it"},
        {{"encrypt", "--pass", "pass:ab\U0001F600", "--hex", "--text", "x"}, 2, "a character at position 3"},
        {{"encrypt", "--pass", "pass:k", "--hex", "--text", text},
         1,
         "--text has a character at position 1, which code page 1252 lacks; code page 1251 has it"},
        {{"encrypt", "--pass", "pass:k", "--codepage", "1253", "--hex", "--text", "\u03a9" + text}, 1, "position 2"},
        {{"rekey", "--pass", "pass:k", "--new-pass", key, "f.cls"}, 2, "--new-pass"},
    };
    for (const auto& c : refused) {
        const Result r = run({c.args});
        EXPECT_EQ(r.status, c.status) << c.args[2] << " " << c.args.back() << ": " << r.err;
        EXPECT_TRUE(contains(r.err, c.message) && contains(r.err, "--codepage")) << r.err;
        EXPECT_TRUE(r.out.empty());
        // No character of a key or a text shows (the key is
        // "\u043f\u0430\u0440\u043e\u043b\u044c", the text "\u041f\u0440\u0438\u0432\u0435\u0442").
        for (const char* shown : {"\u043f", "\u041f", "\u0440", "\U0001F600", "U+"}) {
            EXPECT_FALSE(contains(r.err, shown)) << shown << ": " << r.err;
        }
    }

    // With the right code page both work, and text round-trips.
    const std::string in1251 = encrypt_text(text, {"--pass", key, "--codepage", "1251"});
    EXPECT_EQ(decrypt_text(in1251, {"--pass", key, "--codepage", "1251"}).out, text + "\n");

    // --replace-unmappable: the legacy '?' for every such character, so the
    // key is the same as "??????" and the text comes back as "??????".
    const std::string legacy = encrypt_text(text, {"--pass", key, "--replace-unmappable"});
    const Result back = decrypt_text(legacy, {"--pass", "pass:??????"});
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(back.out, "??????\n");
    EXPECT_EQ(decrypt_text(legacy, {"--pass", key}).status, 2);  // the same key, refused without the option
}

TEST_F(ToolKeys, ControlDAtThePromptEndsTheLine) {
    spit(at("f"), "x");
    const Result r = run_on_terminal(dir_, {"encrypt", "-q", "f"}, {{"Enter key: ", "\x04"}});
    EXPECT_EQ(r.status, 2) << r.out;
    // What follows the prompt starts on a line of its own.
    ASSERT_FALSE(r.out.empty());
    EXPECT_TRUE(r.out[0] == '\r' || r.out[0] == '\n') << r.out;
    EXPECT_TRUE(contains(r.out, "empty key")) << r.out;
}

TEST_F(ToolKeys, CommandLineFaultsAndPlainMessages) {
    spit(at("a"), "a");
    spit(at("junk.cls"), "not a ciphertext at all");
    const std::string cipher = encrypt_text("t", {"--pass", "pass:k"});
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;  // in standard error, or standard output on success
    };
    const std::vector<Case> cases = {
        {{"encrypt", "--pass", "pass:k", "--text", "x", "--hex", "a"}, 2, "--text takes no FILE"},
        {{"decrypt", "--pass", "pass:k", "--text", cipher, "a"}, 2, "--text takes no FILE"},
        {{"bogus"}, 2, "unknown command 'bogus'"},
        {{"hex", "bogus"}, 2, "hex: unknown command 'bogus'"},
        {{"help"}, 0, "Usage: clscrypt [OPTIONS] SUBCOMMAND"},
        {{"help", "encrypt"}, 0, "Usage: clscrypt encrypt [OPTIONS]"},
        {{"help", "hex", "decode"}, 0, "Usage: clscrypt hex decode [OPTIONS]"},
        {{"help", "bogus"}, 2, "no command 'bogus'"},
        {{"hex", "encode", "--", "-A"}, 0, "2D 41"},
        {{"encrypt", "--pass", "pass:k", "-j", "-1", "a"}, 2, "must be 1 or more, or 0 for one per processor"},
        {{"decrypt", "--pass", "pass:k", "--text", "00112233"}, 4, "--text: not a ciphertext of this format"},
        {{"decrypt", "--pass", "pass:wrong", "--text", cipher}, 4, "wrong key, or not a ciphertext of this format"},
        {{"decrypt", "--pass", "pass:k", "junk.cls"}, 4, "junk.cls: not a file encrypted with this format"},
        // The library's rule for ciphertext hex; the message names the
        // position, counted in characters, never the character.
        {{"decrypt", "--pass", "pass:k", "--text", "41\u00e9"},
         2,
         "--text is not hexadecimal text (a character that is not a digit at position 3)"},
        {{"decrypt", "--pass", "pass:k", "--text", "\\x41-42 4g"}, 2, "not a digit at position 10"},
        {{"decrypt", "--pass", "pass:k", "--text", "4142 434"}, 2, "--text has an odd number of hexadecimal digits"},
        {{"encrypt", "--pass", "pass:k", "-o", "no/such/folder", "a"}, 1, "no/such/folder"},
    };
    for (const auto& c : cases) {
        const Result r = run({c.args});
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args.back() << ": " << r.err;
        EXPECT_TRUE(contains(c.status == 0 ? r.out : r.err, c.message)) << r.out << r.err;
        // No legacy run-time description reaches a person.
        for (const char* legacy : {"Subscript out of range", "Device I/O error", "Path not found", "Usage: help"}) {
            EXPECT_FALSE(contains(r.err + r.out, legacy)) << r.err;
        }
    }
    // Names after "--" are files, even after other files and even when they
    // look like options; -j 0 means one job per processor.
    spit(at("-b"), "b");
    const Result dashed = run({{"encrypt", "--pass", "pass:k", "-q", "-j", "0", "a", "--", "-b"}});
    EXPECT_EQ(dashed.status, 0) << dashed.err;
    EXPECT_TRUE(fs::exists(at("a.cls")) && fs::exists(at("-b.cls")));

    // File names are taken literally: the parser's own list syntax ("[m,n]",
    // "[]", "{}") never turns one name into other files, or into none.
    spit(at("m"), "m");
    spit(at("n"), "n");
    const std::vector<std::string> odd = {"[m]", "[m,n]", "m,n", "{m}", "[]", "{}"};
    std::vector<std::string> args = {"encrypt", "--pass", "pass:k", "-q"};
    for (const auto& name : odd) {
        spit(at(name), name);
        args.push_back(name);
    }
    const Result literal = run({args});
    EXPECT_EQ(literal.status, 0) << literal.err;
    for (const auto& name : odd) EXPECT_TRUE(fs::exists(at(name + ".cls"))) << name;
    EXPECT_FALSE(fs::exists(at("m.cls")) || fs::exists(at("n.cls")));
    const Result listed = run({{"sha256", "[m,n]", "[]"}});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_TRUE(contains(listed.out, "  [m,n]\n") && contains(listed.out, "  []\n")) << listed.out;
    EXPECT_TRUE(contains(run({{"hex", "encode", "[m,n]"}}).out, "5B 6D 2C 6E 5D"));
}

TEST_F(ToolKeys, AFileThatChangesWhileReadIsSaidSoPlainly) {
    // A sysfs file announces a page but holds a line: it "shrinks" as it is read.
    const char* candidates[] = {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/power/state"};
    const auto found = std::find_if(std::begin(candidates), std::end(candidates), [](const char* p) {
        std::error_code ec;
        return fs::file_size(p, ec) > slurp(p).size() && !ec;
    });
    if (found == std::end(candidates)) GTEST_SKIP() << "no sysfs file that reports more than it holds";
    const Result r = run({{"encrypt", "--pass", "pass:k", "-o", "out", *found}});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "shrank while it was read") || contains(r.err, "grew while it was read")) << r.err;
    EXPECT_FALSE(contains(r.err, "Device I/O error")) << r.err;
    EXPECT_FALSE(fs::exists(at("out")));
}

}  // namespace
}  // namespace clscrypt::test
