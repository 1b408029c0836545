// End-to-end tests of what the tool says: file names that never reach the
// terminal raw, key files in the wrong encoding named for what they are,
// files a walk skips counted aloud, and the progress line on plain and
// narrow terminals.

#include <functional>

#include "tool_runner.hpp"

namespace clscrypt::test {
namespace {

namespace fs = std::filesystem;

class ToolMessages : public Tool {};

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

// A name that would retitle the terminal (an OSC sequence ended by BEL) and
// split the message in two, were it printed as it is.
const std::string kHostileName = "\033]0;PWNED\a\nsecond line";

// Whether `err` carries the hostile name escaped: the name is there (its
// visible part), but neither the control sequence nor the line break is.
void expect_escaped(const std::string& what, const Result& r) {
    EXPECT_TRUE(contains(r.err, "second line")) << what << ": the message names no file: " << r.err;
    EXPECT_FALSE(contains(r.err, "\033]")) << what << ": " << r.err;
    EXPECT_FALSE(contains(r.err, "\a")) << what << ": " << r.err;
    EXPECT_FALSE(contains(r.err, "\nsecond line")) << what << ": " << r.err;
}

TEST_F(ToolMessages, FileNamesReachTheTerminalEscaped) {
    const std::string name = kHostileName;
    const std::string folder = "d" + kHostileName;
    const auto reset = [&] {
        for (const auto& entry : listing()) fs::remove_all(at(entry));
        spit(at(name), "a letter");
        fs::create_directory(at(folder));
    };
    struct Case {
        std::string what;
        std::vector<std::string> args;
        int status;
        std::function<void()> prepare;
    };
    const std::vector<Case> cases = {
        {"-v line", {"encrypt", "-v", "--pass", "pass:k", name}, 0, [] {}},
        {"progress line", {"encrypt", "--progress", "--pass", "pass:k", name}, 0, [] {}},
        {"progress line of several files",
         {"encrypt", "--progress", "--pass", "pass:k", name, "x"},
         0,
         [&] { spit(at("x"), "x"); }},
        {"already exists", {"encrypt", "--pass", "pass:k", name}, 1, [&] { spit(at(name + ".cls"), "x"); }},
        {"no such file", {"decrypt", "--pass", "pass:k", name + ".cls"}, 1, [] {}},
        {"wrong key",
         {"decrypt", "--pass", "pass:k", "-o", "out", name + ".cls"},
         4,
         [&] { spit(at(name + ".cls"), std::string(16, 'x')); }},
        {"empty ciphertext",
         {"decrypt", "--pass", "pass:k", "-o", "out", name + ".cls"},
         4,
         [&] { spit(at(name + ".cls"), ""); }},
        {"no suffix", {"decrypt", "--pass", "pass:k", name}, 2, [] {}},
        {"is a folder", {"encrypt", "--pass", "pass:k", folder}, 1, [] {}},
        {"-r finds nothing", {"encrypt", "-r", "--pass", "pass:k", folder}, 1, [] {}},
        {"output is a folder", {"encrypt", "--pass", "pass:k", "-o", folder, name}, 1, [] {}},
        {"in place twice",
         {"encrypt", "--in-place", "--pass", "pass:k", name},
         1,
         [&] {
             ASSERT_EQ(run({{"encrypt", "-q", "--in-place", "--pass", "pass:k", name}}).status, 0);
         }},
        {"hard link",
         {"encrypt", "--in-place", "--pass", "pass:k", name},
         1,
         [&] { fs::create_hard_link(at(name), at("l")); }},
        {"the library's words",
         {"encrypt", "--pass", "pass:k", "-o", "out", name + "2"},
         1,
         [&] { fs::create_symlink("/dev/null", at(name + "2")); }},
        {"key file", {"encrypt", "--pass", "file:" + name + "2", "x"}, 1, [&] { spit(at("x"), "x"); }},
        {"--lines input", {"encrypt", "--lines", "--pass", "pass:k", name + "2"}, 1, [] {}},
        {"--lines output", {"encrypt", "--lines", "--pass", "pass:k", "-o", name, "x"}, 1, [&] { spit(at("x"), "x"); }},
        {"--lines output is a folder",
         {"encrypt", "--lines", "--pass", "pass:k", "-o", folder, "x"},
         1,
         [&] { spit(at("x"), "x"); }},
    };
    for (const auto& c : cases) {
        reset();
        c.prepare();
        const Result r = run({c.args});
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
        expect_escaped(c.what, r);
    }
}

TEST_F(ToolMessages, KeyFilesInOtherEncodingsAreNamedForWhatTheyAre) {
    using namespace std::string_literals;
    struct Case {
        std::string what;
        std::string content;  // of the key file
        std::string message;  // in standard error
    };
    const std::vector<Case> cases = {
        {"UTF-16, little-endian, with its mark", "\xFF\xFEk\0e\0y\0\r\0\n\0"s, "UTF-16"},
        {"UTF-16, big-endian, with its mark", "\xFE\xFF\0k\0e\0y\0\r\0\n"s, "UTF-16"},
        {"UTF-16 without a mark", "k\0e\0y\0\r\0\n\0"s, "NUL"},
        {"a NUL in UTF-8 text", "k\0ey\n"s, "NUL"},
        {"UTF-8 with a byte-order mark", "\xEF\xBB\xBFkey\r\n"s, "byte-order mark"},
    };
    for (const auto& c : cases) {
        spit(at("key.txt"), c.content);
        for (const char* source : {"file:key.txt", "fd:3"}) {
            const Result r = run({{"encrypt", "-q", "--hex", "--pass", source, "--text", "t"}, {}, {}, c.content});
            EXPECT_EQ(r.status, 2) << c.what << " from " << source << ": " << r.out;
            EXPECT_TRUE(contains(r.err, c.message)) << c.what << " from " << source << ": " << r.err;
            EXPECT_TRUE(r.out.empty()) << c.what;
            // Not the misleading words of a character the code page lacks.
            EXPECT_FALSE(contains(r.err, "code page")) << c.what << ": " << r.err;
        }
    }
    // The same key without the mark is taken.
    spit(at("key.txt"), "key\r\n");
    const Result plain = run({{"encrypt", "-q", "--hex", "--pass", "file:key.txt", "--text", "t"}});
    EXPECT_EQ(plain.status, 0) << plain.err;
}

TEST_F(ToolMessages, FilesAWalkSkipsAreCountedAndNamedUnderVerbose) {
    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> present;  // in standard error
        std::vector<std::string> absent;
    };
    const std::string summary = "clscrypt: 1 file encrypted, 2 skipped: their names end in .cls";
    const std::vector<Case> cases = {
        {{}, {summary, "(-v names them)"}, {"d/b.cls", "d/sub/c.cls", "d/a.txt"}},
        {{"-v"},
         {"d/a.txt -> d/a.txt.cls", "d/b.cls: skipped: its name ends in .cls", "d/sub/c.cls: skipped", summary},
         {"-v names them"}},
        {{"-q"}, {}, {"skipped", "encrypted"}},
        {{"--suffix", ".enc", "-v"}, {"clscrypt: 3 files encrypted\n"}, {"skipped"}},
    };
    for (const auto& c : cases) {
        fs::remove_all(at("d"));
        fs::create_directories(at("d/sub"));
        spit(at("d/a.txt"), "a");
        spit(at("d/b.cls"), "a plaintext file that happens to end in .cls");
        spit(at("d/sub/c.cls"), "another");
        std::vector<std::string> args = {"encrypt", "-r", "--pass", "env:K"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back("d");
        const Result r = run({args, {}, {{"K", "k"}}});
        const std::string what = c.options.empty() ? "no option" : c.options.front();
        EXPECT_EQ(r.status, 0) << what << ": " << r.err;
        for (const auto& text : c.present) EXPECT_TRUE(contains(r.err, text)) << what << ": " << r.err;
        for (const auto& text : c.absent) EXPECT_FALSE(contains(r.err, text)) << what << ": " << r.err;
        // Skipped means left alone: not encrypted a second time.
        EXPECT_EQ(fs::exists(at("d/b.cls.cls")), false) << what;
    }
}

TEST_F(ToolMessages, ParserErrorsAndHelpSpeakAsTheTool) {
    struct Case {
        std::vector<std::string> args;
        std::string message;  // in standard error, on the line "clscrypt: " starts
        std::string advice;   // the help to run
    };
    const std::vector<Case> cases = {
        {{"encrypt", "--no-such-option"}, "--no-such-option", "clscrypt encrypt --help"},
        {{"encrypt", "-j", "x", "f"}, "--jobs: must be 1 or more", "clscrypt encrypt --help"},
        {{"encrypt", "--text"}, "--text", "clscrypt encrypt --help"},
        {{"hex", "encode", "--separator"}, "--separator", "clscrypt hex encode --help"},
        {{"sha256", "--text", "a", "--text", "b"}, "--text", "clscrypt sha256 --help"},
        {{}, "command is required", "clscrypt --help"},
        {{"hex"}, "command is required", "clscrypt hex --help"},
        // An argument the parser repeats reaches the terminal escaped.
        {{"hex", "encode", "a", "\033]0;PWNED\a"}, "PWNED", "clscrypt hex encode --help"},
        {{"\033]0;PWNED\a"}, "unknown command", "clscrypt --help"},
        {{"help", "\033]0;PWNED\a"}, "no command", "clscrypt --help"},
    };
    for (const auto& c : cases) {
        const Result r = run({c.args});
        const std::string what = c.args.empty() ? "nothing" : c.args.front() + " " + c.args.back();
        EXPECT_EQ(r.status, 2) << what << ": " << r.err;
        EXPECT_TRUE(r.err.starts_with("clscrypt: ")) << what << ": " << r.err;
        EXPECT_TRUE(contains(r.err.substr(0, r.err.find('\n')), c.message)) << what << ": " << r.err;
        EXPECT_TRUE(contains(r.err, "Run '" + c.advice + "'")) << what << ": " << r.err;
        EXPECT_FALSE(contains(r.err, "\033]")) << what;
    }
    // The default separator is a space, and help shows it as one.
    const Result help = run({{"hex", "encode", "--help"}});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "--separator TEXT=' '")) << help.out;
    // --text names the position of a character the code page lacks, never the character.
    const Result text = run({{"encrypt", "-q", "--hex", "--pass", "pass:k", "--text", "a\u0436b"}});
    EXPECT_EQ(text.status, 1) << text.err;
    EXPECT_TRUE(contains(text.err, "--text has a character at position 2")) << text.err;
    EXPECT_FALSE(contains(text.err, "\u0436")) << text.err;
}

TEST_F(ToolMessages, ShortFormsOfVersionAndDecrypt) {
    const Result version = run({{"-V"}});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_TRUE(version.out.starts_with("clscrypt ")) << version.out;
    EXPECT_EQ(version.out, run({{"--version"}}).out);

    spit(at("f"), "a letter");
    ASSERT_EQ(run({{"encrypt", "-q", "--pass", "pass:k", "f"}}).status, 0);
    fs::remove(at("f"));
    const Result decrypted = run({{"-d", "-q", "--pass", "pass:k", "f.cls"}});
    EXPECT_EQ(decrypted.status, 0) << decrypted.err;
    EXPECT_EQ(slurp(at("f")), "a letter");

    const Result help = run({{"--help"}});
    EXPECT_TRUE(contains(help.out, "-V,--version")) << help.out;
    EXPECT_TRUE(contains(help.out, "-d ")) << help.out;
}

// The segments of a progress output as a terminal would show each redraw:
// split at carriage returns and line breaks.
std::vector<std::string> redraws(const std::string& err) {
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from <= err.size()) {
        std::size_t to = err.find_first_of("\r\n", from);
        if (to == std::string::npos) to = err.size();
        std::string segment = err.substr(from, to - from);
        if (segment.starts_with("\033[K")) segment.erase(0, 3);
        out.push_back(segment);
        from = to + 1;
    }
    return out;
}

TEST_F(ToolMessages, TheProgressLineSuitsTheTerminal) {
    spit(at("a"), random_text(300000));
    spit(at("b"), random_text(200000));
    struct Case {
        std::string what;
        Environment env;
        std::vector<std::string> options;
        std::size_t columns;               // no redraw is wider than this less one
        std::vector<std::string> present;  // in standard error
    };
    const std::vector<Case> cases = {
        {"a plain terminal", {{"TERM", "dumb"}, {"COLUMNS", "60"}}, {}, 60, {"100%"}},
        {"9 columns", {{"COLUMNS", "9"}}, {}, 9, {}},
        {"4 columns", {{"COLUMNS", "4"}, {"TERM", "dumb"}}, {}, 4, {}},
        {"two jobs", {{"COLUMNS", "200"}}, {"-j", "2"}, 200, {"(file 1 of 2,", "(file 2 of 2,"}},
        {"one job", {{"COLUMNS", "200"}}, {"-j", "1"}, 200, {"(file 1 of 2,", "(file 2 of 2,"}},
    };
    for (const auto& c : cases) {
        for (const char* out : {"a.cls", "b.cls"}) fs::remove(at(out));
        std::vector<std::string> args = {"encrypt", "--progress", "--pass", "env:K"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {"a", "b"});
        Environment env = c.env;
        env.emplace_back("K", "k");
        const Result r = run({args, {}, env});
        EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
        for (const auto& segment : redraws(r.err)) EXPECT_LT(segment.size(), c.columns) << c.what << ": " << segment;
        for (const auto& text : c.present) EXPECT_TRUE(contains(r.err, text)) << c.what << ": " << r.err;
        const bool plain = std::any_of(c.env.begin(), c.env.end(), [](const auto& e) { return e.second == "dumb"; });
        EXPECT_FALSE(plain && contains(r.err, "\033")) << c.what << ": " << r.err;
    }
}

// The longest names a file system allows (255 bytes) are written like any
// other, though the hidden temporary name beside them adds to the name.
TEST_F(ToolMessages, TheLongestNamesAreWritten) {
    const std::string ascii(251, 'n');
    std::string accented;  // two bytes a character: a cut must fall between characters
    for (int i = 0; i < 125; ++i) accented += "\u00e9";
    accented += "x";
    for (const std::string& base : {ascii, accented}) {
        ASSERT_EQ(base.size(), 251U);
        const std::string full = base + ".cls";  // 255 bytes
        struct Case {
            std::string what;
            std::vector<std::string> args;
            std::string written;  // the name that must hold the result
        };
        const std::vector<Case> cases = {
            {"encrypt", {"encrypt", "--pass", "pass:k", base}, full},
            {"decrypt", {"decrypt", "--pass", "pass:k", "-o", full, "c"}, full},
            {"decrypt to the name without the suffix", {"decrypt", "--pass", "pass:k", full}, base},
            {"encrypt in place", {"encrypt", "--pass", "pass:k", "--in-place", full}, full},
            {"rekey", {"rekey", "--pass", "pass:k", "--new-pass", "pass:n", full}, full},
            {"--lines into a file", {"encrypt", "--lines", "--pass", "pass:k", "-o", full, "v"}, full},
        };
        for (const auto& c : cases) {
            for (const auto& entry : listing()) fs::remove_all(at(entry));
            spit(at(base), "a letter");
            spit(at("v"), "a value\n");
            ASSERT_EQ(run({{"encrypt", "-q", "--pass", "pass:k", "-o", "c", base}}).status, 0);
            if (c.what == "rekey" || c.what.starts_with("decrypt to")) fs::rename(at("c"), at(full));
            if (c.what == "decrypt to the name without the suffix") fs::remove(at(base));
            if (c.what == "encrypt in place") spit(at(full), "a letter");
            const Result r = run({c.args});
            const std::string trace = c.what + " (" + std::to_string(base.size()) + " bytes): " + r.err;
            EXPECT_EQ(r.status, 0) << trace;
            EXPECT_TRUE(fs::exists(at(c.written))) << trace;
            for (const auto& name : listing()) EXPECT_FALSE(name.ends_with(".tmp")) << trace;
        }
    }
}

}  // namespace
}  // namespace clscrypt::test
