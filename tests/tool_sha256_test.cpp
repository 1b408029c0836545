// sha256 and hex end to end. sha256 is compared with the system's sha256sum:
// the same invocation in the same folder must give the same standard output,
// the same standard error (but for the program's name) and the same exit
// status; a usage error exits 2 here where sha256sum exits 1.

#include <sys/wait.h>

#include <cstdlib>

#include "tool_runner.hpp"

namespace clscrypt::test {
namespace {

namespace fs = std::filesystem;

std::string shell_quoted(const std::string& s) {
    std::string out = "'";
    for (const char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Each line's "sha256sum: " becomes "clscrypt: " (with its folder in front
// when it was started by path, as Valgrind starts children).
std::string with_our_name(const std::string& err) {
    std::string out;
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        std::string line = err.substr(start, end - start);
        for (const std::string name : {"sha256sum: ", "/usr/bin/sha256sum: ", "/bin/sha256sum: "}) {
            if (line.rfind(name, 0) == 0) {
                line = "clscrypt: " + line.substr(name.size());
                break;
            }
        }
        out += line;
        start = end;
    }
    return out;
}

std::string first_line(const std::string& s) {
    return s.substr(0, s.find('\n'));
}

class Sha256Tool : public Tool {
protected:
    void SetUp() override {
        Tool::SetUp();
        io_ = dir_.string() + ".io";
        fs::create_directory(io_);
    }
    void TearDown() override {
        fs::remove_all(io_);
        Tool::TearDown();
    }

    // Runs `command` (a shell command line) in the scratch folder with
    // `input` on standard input; `output` redirects standard output
    // elsewhere than into Result::out.
    Result shell(const std::string& command, const std::string& input = "", const std::string& output = "") {
        spit(io_ / "in", input);
        const std::string line = "cd " + shell_quoted(dir_.string()) + " && LC_ALL=C.UTF-8 " + command + " <" +
                                 shell_quoted((io_ / "in").string()) + " " +
                                 (output.empty() ? ">" + shell_quoted((io_ / "out").string()) : output) + " 2>" +
                                 shell_quoted((io_ / "err").string());
        const int status = std::system(line.c_str());
        Result r;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = output.empty() ? slurp(io_ / "out") : "";
        r.err = slurp(io_ / "err");
        return r;
    }
    Result ours(const std::vector<std::string>& args, const std::string& input = "", const std::string& output = "") {
        std::string command = shell_quoted(CLSCRYPT_TOOL_PATH) + " sha256";
        for (const auto& a : args) command += " " + shell_quoted(a);
        return shell(command, input, output);
    }
    Result theirs(const std::vector<std::string>& args, const std::string& input = "") {
        std::string command = "sha256sum";
        for (const auto& a : args) command += " " + shell_quoted(a);
        return shell(command, input);
    }

    fs::path io_;
};

const std::string kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST_F(Sha256Tool, BehavesAsSha256sum) {
    if (std::system("command -v sha256sum >/dev/null 2>&1") != 0) GTEST_SKIP() << "no sha256sum here";
    spit(at("a"), "abc");
    spit(at("b c"), "x");
    spit(at("n\nl"), "y");
    spit(at("back\\slash"), "z");
    spit(at("c\rr"), "r");
    spit(at("it's"), "");
    fs::create_directory(at("d"));
    const Result sums = theirs({"a", "b c", "n\nl", "back\\slash", "c\rr", "it's"});
    ASSERT_EQ(sums.status, 0) << sums.err;
    spit(at("SUMS"), sums.out);
    spit(at("TAGS"), theirs({"--tag", "a", "n\nl", "back\\slash"}).out);
    const std::string zeros(64, '0');
    // One line of each kind: a match, a mismatch, a missing file, a comment,
    // a blank line, a CRLF line, improperly formatted lines (no digest, a
    // bad escape, another algorithm's tag), BSD lines, upper-case digits.
    spit(at("MIXED"), kAbc + "  a\n" + zeros + "  b c\n" + kAbc + "  gone\n# a comment\n\nnot a digest line\n" + kAbc +
                          " *a\r\n\\" + kAbc + "  a\\q\nMD5 (a) = " + kAbc + "\nSHA256 (a) = " + kAbc +
                          "\nSHA256(a)=" + zeros + "\n  " + kAbc.substr(0, 10) + "F" + kAbc.substr(11) + "  a\n");
    spit(at("MISSING"), kAbc + "  gone\n");
    spit(at("GOOD-AND-BAD"), kAbc + "  a\nnonsense\n");
    spit(at("GARBAGE"), "nonsense\n");
    spit(at("DASH"), kAbc + "  -\n");
    // "DIGEST NAME" (one blank, BSD's reversed form) fixes the form for the
    // rest of the run: a later "DIGEST  NAME" then names " NAME".
    spit(at("REVERSED"), kAbc + " a\n" + kAbc + "  a\n");

    struct Case {
        std::vector<std::string> args;
        std::string input = {};
    };
    const std::vector<Case> cases = {
        {{"a", "b c", "it's"}},
        {{"n\nl", "back\\slash", "c\rr"}},  // escaped lines
        {{"--tag", "a", "n\nl", "back\\slash"}},
        {{"-z", "a", "n\nl", "back\\slash"}},  // NUL ends, nothing escaped
        {{"-z", "--tag", "a"}},
        {{"-b", "a"}},
        {{"-b", "-t", "a"}},
        {{"-t", "--tag", "a"}},
        {{}, "abc"},
        {{"a", "-", "-"}, "abc"},
        {{"a", "nope", "x y", "new\nline", "\xff", "it's gone", "d", ""}},  // quoted names in messages
        {{"-c", "SUMS"}},
        {{"--check", "TAGS"}},
        {{"-c", "MIXED"}},
        {{"-c", "--quiet", "MIXED"}},
        {{"-c", "--status", "MIXED"}},
        {{"-c", "--warn", "MIXED"}},
        {{"-c", "-w", "--status", "MIXED"}},  // the last of the three wins
        {{"-c", "--status", "--warn", "MIXED"}},
        {{"-c", "--strict", "GOOD-AND-BAD"}},
        {{"-c", "GOOD-AND-BAD"}},
        {{"-c", "--status", "SUMS"}},
        {{"--check", "--quiet", "SUMS"}},
        {{"-c", "--ignore-missing", "MISSING"}},
        {{"-c", "--ignore-missing", "--status", "MISSING"}},
        {{"-c", "--ignore-missing", "MIXED"}},
        {{"-c", "MISSING"}},
        {{"-c", "GARBAGE"}},
        {{"-c", "--status", "GARBAGE"}},
        {{"-c", "REVERSED"}},
        {{"-c"}, sums.out},  // the list on standard input
        {{"-c", "-"}, "nonsense\n"},
        {{"-c", "-"}, kAbc + "  -\n"},  // "-" in a list read from standard input
        {{"-c", "DASH"}, "abc"},
        {{"-c", "SUMS", "TAGS", "no-such-list", "GARBAGE", "d"}},
        {{"-c", "SUMS", "-", "MISSING"}, "nonsense\n"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += " " + shell_quoted(a);
        const Result want = theirs(c.args, c.input);
        const Result got = ours(c.args, c.input);
        EXPECT_EQ(got.status, want.status) << shown;
        EXPECT_EQ(got.out, want.out) << shown;
        EXPECT_EQ(got.err, with_our_name(want.err)) << shown;
    }

    // Usage errors: the same message, but status 2 (sha256sum says 1).
    const std::vector<std::vector<std::string>> usage = {
        {"--status", "a"},    {"--quiet", "a"},          {"-w", "a"},
        {"--strict", "a"},    {"--ignore-missing", "a"}, {"--quiet", "--status", "a"},
        {"-c", "-z", "SUMS"}, {"-c", "--tag", "SUMS"},   {"-c", "-b", "SUMS"},
        {"-c", "-t", "SUMS"}, {"--tag", "-t", "a"},
    };
    for (const auto& args : usage) {
        const Result want = theirs(args);
        const Result got = ours(args);
        EXPECT_EQ(want.status, 1);
        EXPECT_EQ(got.status, 2) << args[0] << " " << args[1];
        EXPECT_EQ(first_line(got.err), first_line(with_our_name(want.err))) << args[0] << " " << args[1];
        EXPECT_EQ(got.out, "");
    }
}

// Output that cannot be written is a failure, for every command: a full
// device, or a standard output closed from the start.
TEST_F(Sha256Tool, LostStandardOutputFails) {
    spit(at("a"), "abc");
    spit(at("SUMS"), kAbc + "  a\n");
    std::vector<std::string> many = {"sha256"};
    for (int i = 0; i < 300; ++i) many.push_back("a");  // more than one buffer of output
    const std::vector<std::vector<std::string>> commands = {
        {"sha256", "a"},
        many,
        {"sha256", "--text", "x"},
        {"sha256", "-c", "SUMS"},
        {"sha256", "--tag", "-"},
        {"hex", "encode", "AB"},
        {"hex", "decode", "--lenient", "41"},
        {"encrypt", "--pass", "pass:k", "-q", "--hex", "--text", "x"},
        {"--version"},
        {"--help"},
        {"help", "sha256"},
    };
    for (const auto& redirect : {std::string(">/dev/full"), std::string(">&-")}) {
        for (const auto& args : commands) {
            std::string command = shell_quoted(CLSCRYPT_TOOL_PATH);
            for (const auto& a : args) command += " " + shell_quoted(a);
            const Result r = shell(command, "abc", redirect);
            EXPECT_EQ(r.status, 1) << redirect << " " << args[0] << " " << args.back();
            EXPECT_NE(r.err.find("standard output"), std::string::npos) << redirect << " " << args.back() << r.err;
            if (args[0] != "encrypt") {
                EXPECT_NE(r.err.find("write error"), std::string::npos) << r.err;
            }
        }
    }
    // Nothing to write, nothing lost: a closed standard output is fine.
    EXPECT_EQ(ours({"-c", "--status", "SUMS"}, "", ">&-").status, 0);
}

// A character the code page lacks is refused, as for keys and texts, unless
// --replace-unmappable asks for the legacy '?' (3F); another code page may
// have it.
TEST_F(Sha256Tool, HexEncodeRefusesCharactersTheCodePageLacks) {
    const std::string text = "A\u0436B";  // "AжB"
    struct Case {
        std::vector<std::string> options;
        int status;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{}, 1, ""},  // 1252, the default away from Windows
        {{"--codepage", "1252"}, 1, ""},
        {{"--codepage", "1252", "--replace-unmappable"}, 0, "41 3F 42\n"},
        {{"--codepage", "1251"}, 0, "41 E6 42\n"},
        {{"--codepage", "1251", "--replace-unmappable"}, 0, "41 E6 42\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"hex", "encode"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(text);
        const Result r = run({args});
        const std::string what = c.options.empty() ? "no option" : c.options.back();
        EXPECT_EQ(r.status, c.status) << what << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << what;
        if (c.status != 0) {
            EXPECT_NE(r.err.find("hex encode: the text has a character at position 2, which code page 1252 lacks; "
                                 "code page 1251 has it"),
                      std::string::npos)
                << r.err;
            EXPECT_NE(r.err.find("--replace-unmappable"), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("\u0436"), std::string::npos) << r.err;
        }
    }
    // Standard input goes the same way.
    const Result piped = run({{"hex", "encode", "--codepage", "1252"}, text + "\n"});
    EXPECT_EQ(piped.status, 1) << piped.err;
    EXPECT_EQ(piped.out, "");
}

TEST_F(Sha256Tool, HexDecodeStrictAndLenient) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{"decode", "4a"}, 1, ""},  // the legacy conversion: upper case only
        {{"decode", "--lenient", "4a"}, 0, "J\n"},
        {{"decode", "--lenient", "41:6a-42 \t43"}, 0, "AjBC\n"},
        {{"decode", "--lenient", "80"}, 0, "\u20ac\n"},  // through the code page, as without --lenient
        {{"decode", "--lenient", ""}, 0, "\n"},
        // --lenient is the library's one rule for ciphertext hex: white
        // space and ASCII punctuation are skipped anywhere, even inside a
        // pair, and one leading "\x" (PostgreSQL's bytea text) too.
        {{"decode", "--lenient", "4-1"}, 0, "A\n"},
        {{"decode", "--lenient", "\\x416A"}, 0, "Aj\n"},
        {{"decode", "--lenient", "\\X41"}, 0, "A\n"},
        {{"decode", "--lenient", "41\\x42"}, 1, ""},  // "\x" only in front
        {{"decode", "--lenient", "41zz42"}, 1, ""},   // letters past F are no separators
        {{"decode", "--lenient", "41 4"}, 1, ""},
        {{"decode", "--lenient", "--separators", "1", "41 42"}, 2, ""},
        {{"decode", "--separators", "-1", "4142"}, 2, ""},
        // Characters left after the last whole pair are an error, never dropped.
        {{"decode", "--separators", "1", "41 42"}, 0, "AB\n"},
        {{"decode", "--separators", "1", "41 4"}, 1, ""},
        {{"decode", "--separators", "2", "41--42-"}, 1, ""},
        {{"decode", "--separators", "2", "41--4"}, 1, ""},
        {{"decode", "414"}, 1, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"hex"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = run({args});
        EXPECT_EQ(r.status, c.status) << c.args.back() << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.args.back();
    }
    // --lenient in any case gives what the legacy conversion gives in upper case.
    const Result strict = run({{"hex", "decode", "--separators", "1", "C9 E0 9D FF"}});
    ASSERT_EQ(strict.status, 0) << strict.err;
    EXPECT_EQ(run({{"hex", "decode", "--lenient", "c9E0\n9d,ff"}}).out, strict.out);
}

}  // namespace
}  // namespace clscrypt::test
