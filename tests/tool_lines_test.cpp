// End-to-end tests of encrypt, decrypt and rekey --lines: values one a line
// through the real binary, checked against the library's single-value
// operations.

#include <sys/resource.h>

#include <cctype>
#include <functional>

#include <clscrypt/clscrypt.hpp>
#include <clscrypt/values.hpp>

#include "common/utf.hpp"
#include "tool_runner.hpp"

namespace clscrypt::test {
namespace {

std::string utf8(std::u16string_view text) {
    return common::utf16_to_utf8(text);
}

std::u16string utf16(std::string_view text) {
    std::u16string out;
    EXPECT_FALSE(common::decode_utf8(text, out)) << "not UTF-8";
    return out;
}

std::string join(const std::vector<std::string>& values, char end = '\n') {
    std::string out;
    for (const auto& v : values) out.append(v).append(1, end);
    return out;
}

std::vector<std::string> split(const std::string& text, char end = '\n') {
    std::vector<std::string> values;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(end, start)) != std::string::npos; start = at + 1) {
        values.push_back(text.substr(start, at - start));
    }
    EXPECT_EQ(start, text.size()) << "the last result has no terminator";
    return values;
}

clsToString keyed(const KeyHistory& keys) {
    clsToString c(CodePage::FromNumber(1252));
    for (const auto& k : keys) c.Key(k);
    return c;
}

std::string hex_of(const KeyHistory& keys, const std::string& text) {
    ValueOptions options;
    options.allowNoKey = true;  // test data written without a key is meant
    return ValueCipher(keys, options).EncryptOrThrow(text, PlainForm::Text, StoredForm::Hex);
}

const KeyHistory kA = {u"alpha"}, kAB = {u"alpha", u"beta"}, kC = {u"gamma"};

class ToolLines : public Tool {
protected:
    Result lines(std::vector<std::string> args, std::string input) {
        return run({std::move(args), std::move(input), {{"A", "alpha"}, {"B", "beta"}, {"C", "gamma"}}});
    }
};

// Every stored form, both ways and re-keyed, against EncryptString,
// StrToHex and their inverses (Base64 against the library's single value),
// for texts of every length from 0 to 100 whose characters run through
// every byte of the code page but the line's end.
TEST_F(ToolLines, StoredFormsMatchTheSingleValueOperations) {
    const CodePage cp = CodePage::FromNumber(1252);
    std::vector<std::string> plain;
    unsigned next = 0;
    for (std::size_t length = 0; length <= 100; ++length) {
        std::u16string text;
        for (; text.size() < length; ++next) {
            if (next % 256 != '\n' && next % 256 != '\r') text += cp.ToChar(static_cast<std::uint8_t>(next));
        }
        plain.push_back(utf8(text));
    }
    // A string-form value whose text ends a line cannot stand in one: the
    // library encrypts again (a new random first block) until it fits.
    const auto string_of = [](const KeyHistory& keys, const std::string& text) {
        clsToString c = keyed(keys);
        for (;;) {
            const std::string s = utf8(c.EncryptString(utf16(text)));
            if (s.find('\n') == std::string::npos && (s.empty() || s.back() != '\r')) return s;
        }
    };
    struct Form {
        std::vector<std::string> option;
        std::function<std::string(std::size_t, const std::string&)> store;  // under [alpha]
        std::function<std::string(const KeyHistory&, const std::string&)> read;
    };
    const std::vector<Form> forms = {
        {{},
         [](std::size_t i, const std::string& text) {
             // StrToHex's own spacing, none, and lower case all read.
             clsToString c = keyed(kA);
             std::string h = utf8(c.StrToHex(c.EncryptString(utf16(text)), i % 3 == 0 ? u" " : u""));
             if (i % 3 == 2)
                 std::transform(h.begin(), h.end(), h.begin(),
                                [](char ch) { return static_cast<char>(std::tolower(ch)); });
             return h;
         },
         [](const KeyHistory& keys, const std::string& line) {
             clsToString c = keyed(keys);
             return utf8(c.DecryptString(c.HexToStr(utf16(line), 0)));  // strict: upper case, no separator
         }},
        {{"--string"},
         [&](std::size_t, const std::string& text) { return string_of(kA, text); },
         [](const KeyHistory& keys, const std::string& line) { return utf8(keyed(keys).DecryptString(utf16(line))); }},
        {{"--base64"},
         [](std::size_t, const std::string& text) {
             return ValueCipher(kA).EncryptOrThrow(text, PlainForm::Text, StoredForm::Base64);
         },
         [](const KeyHistory& keys, const std::string& line) {
             return ValueCipher(keys).DecryptOrThrow(line, StoredForm::Base64, PlainForm::Text);
         }},
    };
    for (const auto& form : forms) {
        const std::string name = form.option.empty() ? "hex" : form.option[0];
        std::vector<std::string> stored;
        for (std::size_t i = 0; i < plain.size(); ++i) stored.push_back(form.store(i, plain[i]));

        std::vector<std::string> args = {"decrypt", "--lines", "--pass", "env:A"};
        args.insert(args.end(), form.option.begin(), form.option.end());
        const Result dec = lines(args, join(stored));
        EXPECT_EQ(dec.status, 0) << name << ": " << dec.err;
        EXPECT_EQ(dec.out, join(plain)) << name;

        args[0] = "encrypt";
        const Result enc = lines(args, join(plain));
        ASSERT_EQ(enc.status, 0) << name << ": " << enc.err;
        const auto encrypted = split(enc.out);
        ASSERT_EQ(encrypted.size(), plain.size()) << name;
        for (std::size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(form.read(kA, encrypted[i]), plain[i]) << name << i;

        args = {"rekey", "--lines", "--pass", "env:A", "--new-pass", "env:B", "--new-pass", "env:C"};
        args.insert(args.end(), form.option.begin(), form.option.end());
        const Result rekeyed = lines(args, join(stored));
        ASSERT_EQ(rekeyed.status, 0) << name << ": " << rekeyed.err;
        const auto moved = split(rekeyed.out);
        ASSERT_EQ(moved.size(), plain.size()) << name;
        for (std::size_t i = 0; i < plain.size(); ++i) {
            EXPECT_EQ(form.read({u"beta", u"gamma"}, moved[i]), plain[i]) << name << i;
        }
    }
}

// A column written before and after a re-keying, and a value of neither.
TEST_F(ToolLines, CandidatesAreTriedInOrderAndNamed) {
    const std::vector<std::string> stored = {hex_of(kA, "only A"), hex_of(kAB, "A then B"), hex_of(kAB, ""),
                                             hex_of(kC, "neither"), hex_of(kA, "A again")};
    const std::vector<std::string> candidates = {"--pass", "env:A", "--or", "--pass", "env:A", "--pass", "env:B"};
    const auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), candidates.begin(), candidates.end());
        return args;
    };
    const Result all = lines(with({"decrypt", "--lines", "--show-candidate", "--keep-going"}), join(stored));
    EXPECT_EQ(all.status, 4);
    EXPECT_EQ(all.out, "1\tonly A\n2\tA then B\n2\t\n\n1\tA again\n");
    EXPECT_NE(all.err.find("standard input: line 4: no candidate's key reads it"), std::string::npos) << all.err;
    EXPECT_EQ(all.err.find("neither"), std::string::npos) << all.err;
    EXPECT_EQ(all.err.find(stored[3]), std::string::npos) << all.err;

    // By default the value of neither stops the run; what came before stays written.
    const Result stop = lines(with({"decrypt", "--lines"}), join(stored));
    EXPECT_EQ(stop.status, 4);
    EXPECT_EQ(stop.out, "only A\nA then B\n\n");
    EXPECT_NE(stop.err.find("line 4"), std::string::npos) << stop.err;

    // The order given is the order tried, and the numbers follow it.
    const Result swapped = lines(
        {"decrypt", "--lines", "--show-candidate", "--pass", "env:A", "--pass", "env:B", "--or", "--pass", "env:A"},
        join({stored[0], stored[1]}));
    EXPECT_EQ(swapped.out, "2\tonly A\n1\tA then B\n") << swapped.err;

    // Re-keyed to one new history, with the candidate that read each value.
    const Result moved =
        lines(with({"rekey", "--lines", "--show-candidate", "--keep-going", "--new-pass", "env:C"}), join(stored));
    EXPECT_EQ(moved.status, 4);
    const auto out = split(moved.out);
    ASSERT_EQ(out.size(), stored.size()) << moved.err;
    EXPECT_EQ(out[3], "");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"1", "only A"}, {"2", "A then B"}, {"2", ""}, {"", ""}, {"1", "A again"}};
    for (const std::size_t i : {0, 1, 2, 4}) {
        const auto tab = out[i].find('\t');
        ASSERT_NE(tab, std::string::npos) << out[i];
        EXPECT_EQ(out[i].substr(0, tab), expected[i].first);
        EXPECT_EQ(ValueCipher(kC).DecryptOrThrow(out[i].substr(tab + 1), StoredForm::Hex, PlainForm::Text),
                  expected[i].second);
    }

    // Every key source works inside a group: no key, and a file.
    spit(at("key.txt"), "alpha\n");
    const Result sources =
        lines({"decrypt", "--lines", "--show-candidate", "--no-key", "--or", "--pass", "file:key.txt"},
              join({hex_of({}, "no key"), stored[0]}));
    EXPECT_EQ(sources.status, 0) << sources.err;
    EXPECT_EQ(sources.out, "1\tno key\n2\tonly A\n");
}

// A group without a key option asks on the terminal, naming the candidate;
// a terminal also gets the progress bar.
TEST_F(ToolLines, AGroupWithoutKeyAsksOnTheTerminal) {
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    spit(at("column.txt"), join({hex_of({utf16(home)}, "from env"), hex_of({u"typed"}, "from the terminal")}));
    const Result r =
        run_on_terminal(dir_, {"decrypt", "--lines", "--show-candidate", "--pass", "env:HOME", "--or", "column.txt"},
                        {{"Enter key of candidate 2: ", "typed\n"}});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("1\tfrom env"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2\tfrom the terminal"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("lines/s"), std::string::npos) << r.out;
}

// One value fails: by default the run stops there (exit 4 for a key, 1
// otherwise) with the lines before it written; --keep-going leaves an
// empty line in its place. Messages name the line, never the value.
TEST_F(ToolLines, AFailingLineStopsTheRunOrLeavesAnEmptyLine) {
    const std::string good1 = hex_of(kA, "first"), good3 = hex_of(kA, "third");
    const auto base64_of = [](const std::string& text) {
        return ValueCipher(kA).EncryptOrThrow(text, PlainForm::Text, StoredForm::Base64);
    };
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> in;  // the second fails
        int status;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {{"decrypt"}, {good1, hex_of(kC, "SECRET"), good3}, 4, "wrong key, or not a ciphertext"},
        {{"decrypt"}, {good1, "SECRET zz", good3}, 1, "not hexadecimal text"},
        {{"decrypt"}, {good1, "5EC2E7", good3}, 4, "not a whole number of 8-byte blocks"},
        {{"decrypt"}, {good1, hex_of(kA, "SECRET\nsecond line"), good3}, 1, "holds a line break"},
        {{"decrypt", "--base64"}, {base64_of("first"), "SECRET!!", base64_of("third")}, 1, "not Base64"},
        {{"rekey", "--new-pass", "env:B"}, {good1, hex_of(kC, "SECRET"), good3}, 4, "wrong key"},
        {{"encrypt"}, {"first", "SECRET \u0416", "third"}, 1, "which code page 1252 lacks"},
        {{"encrypt"}, {"first", "SECRET\xff", "third"}, 1, "not valid UTF-8"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {c.args[0], "--lines", "--pass", "env:A"};
        args.insert(args.end(), c.args.begin() + 1, c.args.end());
        const std::string what = c.args[0] + " " + c.reason;

        const Result stop = lines(args, join(c.in));
        EXPECT_EQ(stop.status, c.status) << what << ": " << stop.err;
        EXPECT_EQ(split(stop.out).size(), 1U) << what;
        EXPECT_NE(stop.err.find("standard input: line 2: "), std::string::npos) << what << ": " << stop.err;
        EXPECT_NE(stop.err.find(c.reason), std::string::npos) << what << ": " << stop.err;
        EXPECT_EQ(stop.err.find("SECRET"), std::string::npos) << stop.err;
        EXPECT_EQ(stop.err.find(c.in[1]), std::string::npos) << stop.err;

        args.push_back("--keep-going");
        const Result kept = lines(args, join(c.in));
        EXPECT_EQ(kept.status, c.status) << what << ": " << kept.err;
        const auto out = split(kept.out);
        ASSERT_EQ(out.size(), 3U) << what;
        EXPECT_EQ(out[1], "") << what;
        EXPECT_FALSE(out[2].empty()) << what;
        if (c.args[0] == "decrypt") {
            EXPECT_EQ(out[2], "third") << what;
        }
    }
    // A wrong key and a value that is not hexadecimal: the other failure decides.
    const Result both =
        lines({"decrypt", "--lines", "--keep-going", "--pass", "env:A"}, join({hex_of(kC, "x"), "zz", good3}));
    EXPECT_EQ(both.status, 1);
    EXPECT_EQ(both.out, "\n\nthird\n");
    EXPECT_NE(both.err.find("line 1"), std::string::npos);
    EXPECT_NE(both.err.find("line 2"), std::string::npos);
}

TEST_F(ToolLines, NulSeparatedValuesAndCrlfLines) {
    // With -z a value may hold line breaks and CRs; each result ends in NUL.
    const std::vector<std::string> texts = {"two\nlines", "ends in CR\r", "", "plain"};
    const Result enc = lines({"encrypt", "--lines", "-z", "--pass", "env:A"}, join(texts, '\0'));
    ASSERT_EQ(enc.status, 0) << enc.err;
    const auto stored = split(enc.out, '\0');
    ASSERT_EQ(stored.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(ValueCipher(kA).DecryptOrThrow(stored[i], StoredForm::Hex, PlainForm::Text), texts[i]);
    }
    const Result dec = lines({"decrypt", "--lines", "--zero", "--show-candidate", "--pass", "env:A"}, enc.out);
    EXPECT_EQ(dec.status, 0) << dec.err;
    EXPECT_EQ(dec.out, join({"1\ttwo\nlines", "1\tends in CR\r", "1\t", "1\tplain"}, '\0'));

    // CRLF line ends read as LF ones; the last line needs none.
    const Result crlf = lines({"decrypt", "--lines", "--pass", "env:A"},
                              hex_of(kA, "x") + "\r\n" + hex_of(kA, "") + "\r\n" + hex_of(kA, "last"));
    EXPECT_EQ(crlf.status, 0) << crlf.err;
    EXPECT_EQ(crlf.out, "x\n\nlast\n");
    EXPECT_EQ(lines({"encrypt", "--lines", "--pass", "env:A"}, "").out, "");  // no line, no result
}

// A column exported from PostgreSQL as bytea text ("\x" and lower-case
// digits, as psql and COPY ... CSV write it) reads as it stands: the
// library's one rule for ciphertext hex takes the "\x".
TEST_F(ToolLines, PostgreSqlByteaTextReads) {
    const std::vector<std::string> texts = {"first", "", "caf\u00e9 \u20ac", "a longer value of several blocks"};
    const auto bytea = [](const std::string& hex) {
        std::string out = "\\x";
        for (const char c : hex) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return out;
    };
    std::vector<std::string> column;
    for (const auto& t : texts) column.push_back(bytea(hex_of(kAB, t)));
    const std::string export_text = join(column);

    const Result dec = lines({"decrypt", "--lines", "--pass", "env:A", "--pass", "env:B"}, export_text);
    EXPECT_EQ(dec.status, 0) << dec.err;
    EXPECT_EQ(dec.out, join(texts));
    // CRLF, as a Windows client saves it.
    const Result crlf =
        lines({"decrypt", "--lines", "--pass", "env:A", "--pass", "env:B"}, column[0] + "\r\n" + column[2] + "\r\n");
    EXPECT_EQ(crlf.status, 0) << crlf.err;
    EXPECT_EQ(crlf.out, join({texts[0], texts[2]}));

    // Re-keyed out of bytea: plain hexadecimal lines under the new key.
    const Result moved =
        lines({"rekey", "--lines", "--pass", "env:A", "--pass", "env:B", "--new-pass", "env:C"}, export_text);
    ASSERT_EQ(moved.status, 0) << moved.err;
    const auto rekeyed = split(moved.out);
    ASSERT_EQ(rekeyed.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(rekeyed[i].find('\\'), std::string::npos) << rekeyed[i];
        EXPECT_EQ(ValueCipher(kC).DecryptOrThrow(rekeyed[i], StoredForm::Hex, PlainForm::Text), texts[i]);
    }

    // "\x" counts only in front: elsewhere the line is not hexadecimal text,
    // and the message names the line and the position.
    const std::string inside = hex_of(kAB, "x").substr(0, 4) + "\\x" + hex_of(kAB, "x").substr(4);
    const Result bad = lines({"decrypt", "--lines", "--keep-going", "--pass", "env:A", "--pass", "env:B"},
                             join({column[0], inside, column[2]}));
    EXPECT_EQ(bad.status, 1) << bad.err;
    EXPECT_EQ(bad.out, join({texts[0], "", texts[2]}));
    EXPECT_NE(bad.err.find("standard input: line 2: the value is not hexadecimal text (a character that is not a "
                           "digit at position 6)"),
              std::string::npos)
        << bad.err;
}

// Many values: the results keep their order across batches, a line longer
// than the tool holds fails alone, and memory stays far below the size of
// the input. (The child's peak memory counts this process's at the fork, so
// the files stream here and no copy of them is held.)
TEST_F(ToolLines, ManyLinesKeepTheirOrderInBoundedMemory) {
    constexpr std::size_t kValues = 20000;
    const auto text = [](std::size_t i) { return std::to_string(i) + std::string(500, '.'); };
    {
        std::ofstream plain(at("plain.txt"), std::ios::binary);
        for (std::size_t i = 0; i < kValues; ++i) plain << text(i) << '\n';
    }
    const Result enc = lines({"encrypt", "--lines", "--pass", "env:A", "-o", "column.txt", "plain.txt"}, "");
    ASSERT_EQ(enc.status, 0) << enc.err;
    {
        std::ifstream in(at("column.txt"), std::ios::binary);
        std::ofstream out(at("long.txt"), std::ios::binary);
        std::string line;
        for (std::size_t i = 0; std::getline(in, line); ++i) {
            if (i == kValues / 2) {
                const std::string piece(std::size_t{1} << 20, '0');
                for (int mib = 0; mib < 40; ++mib) out << piece;
                out << '\n';
            }
            out << line << '\n';
        }
    }

    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open((dir_ / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open((dir_ / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        if (chdir(dir_.c_str()) != 0) _exit(126);
        setenv("A", "alpha", 1);
        execl(CLSCRYPT_TOOL_PATH, CLSCRYPT_TOOL_PATH, "decrypt", "--lines", "--keep-going", "--progress", "--pass",
              "env:A", "long.txt", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    ASSERT_EQ(wait4(pid, &status, 0, &usage), pid);
    const std::string err = slurp(at("err.txt"));
    EXPECT_EQ(WEXITSTATUS(status), 1) << err;
    EXPECT_NE(err.find("long.txt: line 10001: longer than 4 MiB"), std::string::npos) << err;
    EXPECT_NE(err.find("lines/s"), std::string::npos) << err;
    std::ifstream out(at("out.txt"), std::ios::binary);
    std::string line;
    std::size_t n = 0, wrong = 0;
    for (; std::getline(out, line); ++n) {
        const std::size_t i = n < kValues / 2 ? n : n - 1;
        wrong += line != (n == kValues / 2 ? std::string() : text(i));
    }
    EXPECT_EQ(n, kValues + 1);
    EXPECT_EQ(wrong, 0U) << "results out of order";
#ifndef CLSCRYPT_TESTS_SANITIZED
    // 60 MB of input; ru_maxrss is in KiB.
    EXPECT_LT(usage.ru_maxrss, 32 << 10);
#endif
}

TEST_F(ToolLines, OutputFileTakesItsNameOnlyWhenComplete) {
    spit(at("in.txt"), join({hex_of(kA, "one"), hex_of(kA, "two")}));
    const std::vector<std::string> args = {"decrypt", "--lines", "--pass", "env:A", "-o", "out.txt", "in.txt"};
    ASSERT_EQ(lines(args, "").status, 0);
    EXPECT_EQ(slurp(at("out.txt")), "one\ntwo\n");
    const Result again = lines(args, "");
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
    std::vector<std::string> forced = args;
    forced.push_back("-f");
    EXPECT_EQ(lines(forced, "").status, 0);
    // A run that stops leaves no file behind, hidden or not.
    const Result wrong = lines({"decrypt", "--lines", "--pass", "env:B", "-o", "new.txt", "in.txt"}, "");
    EXPECT_EQ(wrong.status, 4);
    EXPECT_NE(wrong.err.find("new.txt was not written"), std::string::npos) << wrong.err;
    EXPECT_EQ(listing(), (std::vector<std::string>{"in.txt", "out.txt"}));
}

TEST_F(ToolLines, UsageErrors) {
    spit(at("in.txt"), "");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"encrypt", "--lines", "--bytes"}, "--bytes"},
        {{"encrypt", "--lines", "--in-place", "in.txt"}, "--in-place does not go with --lines"},
        {{"decrypt", "--lines", "-r", "in.txt"}, "--recursive does not go"},
        {{"encrypt", "--lines", "--text", "x"}, "--text does not go"},
        {{"decrypt", "--lines", "-j", "2"}, "--jobs does not go"},
        {{"decrypt", "--base64"}, "--base64 works with --lines only"},
        {{"decrypt", "-z", "in.txt"}, "--zero works with --lines only"},
        {{"decrypt", "--or", "--pass", "env:B"}, "--or works with --lines only"},
        {{"rekey", "-o", "x", "in.txt"}, "--output works with --lines only"},
        {{"decrypt", "--lines", "--base64", "--string"}, "excludes"},
        {{"decrypt", "--lines", "--hex", "--base64"}, "excludes"},
        {{"encrypt", "--lines", "--or"}, "--or"},
        {{"encrypt", "--lines", "--show-candidate"}, "--show-candidate"},
        {{"decrypt", "--lines", "-", "-"}, "standard input (-) can be read once"},
        {{"decrypt", "--lines", "--pass", "stdin"}, "standard input already carries the data"},
        {{"decrypt", "--lines", "-o", "in.txt", "in.txt"}, "would replace the input"},
    };
    for (const auto& [args, message] : cases) {
        std::vector<std::string> full = args;
        full.insert(full.end(), {"--pass", "env:A"});
        const Result r = lines(full, "");
        EXPECT_EQ(r.status, 2) << args[2] << ": " << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
}  // namespace clscrypt::test
