// End-to-end tests of the command-line tool: the real binary, run the way
// scripts and people run it (pipes, files, key sources, a terminal).

#include <cctype>

#include <clscrypt/clscrypt.hpp>

#include "conformance.hpp"
#include "tool_runner.hpp"

namespace clscrypt::test {
namespace {

namespace fs = std::filesystem;

TEST_F(Tool, PipeRoundTripOfBinaryData) {
    const std::string data = random_text(300000);
    const Result enc = run({{"encrypt", "--pass", "env:K"}, data, {{"K", "pipe key"}}});
    ASSERT_EQ(enc.status, 0) << enc.err;
    EXPECT_EQ(enc.out.size(), (data.size() + 12 + 7) / 8 * 8);
    const Result dec = run({{"decrypt", "--pass", "env:K", "-"}, enc.out, {{"K", "pipe key"}}});
    ASSERT_EQ(dec.status, 0) << dec.err;
    EXPECT_EQ(dec.out, data);
}

TEST_F(Tool, EveryKeySourceGivesTheSameKey) {
    spit(at("plain"), "key sources");
    spit(at("key.txt"), "s3cret\r\nsecond line ignored\n");
    ASSERT_EQ(run({{"encrypt", "--pass", "pass:s3cret", "-q", "plain"}}).status, 0);
    const std::vector<Invocation> decrypts = {
        {{"decrypt", "-f", "--pass", "pass:s3cret", "plain.cls"}},
        {{"decrypt", "-f", "--pass", "env:KEY", "plain.cls"}, "", {{"KEY", "s3cret"}}},
        {{"decrypt", "-f", "--pass", "file:key.txt", "plain.cls"}},
        {{"decrypt", "-f", "--pass", "fd:3", "plain.cls"}, "", {}, std::string("s3cret\n")},
        {{"decrypt", "-f", "--pass", "stdin", "plain.cls"}, "s3cret\n"},
    };
    for (const auto& d : decrypts) {
        fs::remove(at("plain"));
        const Result r = run(d);
        EXPECT_EQ(r.status, 0) << d.args[3] << ": " << r.err;
        EXPECT_EQ(slurp(at("plain")), "key sources") << d.args[3];
    }
    // pass: warns that the key is visible; -q silences the warning.
    EXPECT_NE(run({{"decrypt", "-f", "--pass", "pass:s3cret", "plain.cls"}}).err.find("visible"), std::string::npos);
}

TEST_F(Tool, KeyProblemsAreUsageErrors) {
    const std::vector<Invocation> cases = {
        {{"encrypt", "--pass", "env:NOT_SET_ANYWHERE", "--text", "x", "--hex"}},
        {{"encrypt", "--pass", "bogus:1", "--text", "x", "--hex"}},
        {{"encrypt", "--pass", "pass:", "--text", "x", "--hex"}},
        {{"encrypt", "--text", "x", "--hex"}},  // no key and no terminal: an error, never a hang
        {{"encrypt", "--pass", "stdin"}, "data on stdin"},
        {{"encrypt", "--no-key", "--pass", "pass:k", "--text", "x", "--hex"}},
    };
    for (const auto& c : cases) {
        const Result r = run(c);
        EXPECT_EQ(r.status, 2) << c.args[2] << ": " << r.err;
        EXPECT_FALSE(r.err.empty());
        EXPECT_TRUE(r.out.empty());
    }
}

TEST_F(Tool, KeysNeverAppearInMessages) {
    // A key typed without its source kind, a key that is not UTF-8, a wrong
    // key: each error names the problem but never the key text.
    spit(at("plain"), "data");
    spit(at("bad-utf8"), "Tr0ub4dor\xff&3\n");
    ASSERT_EQ(run({{"encrypt", "-q", "--pass", "pass:Correct-Horse-Battery", "plain"}}).status, 0);
    const std::vector<Invocation> cases = {
        {{"encrypt", "--pass", "Correct-Horse-Battery", "--text", "x", "--hex"}},
        {{"encrypt", "--pass", "pass:Tr0ub4dor\xff&3", "--text", "x", "--hex"}},
        {{"encrypt", "--pass", "file:bad-utf8", "--text", "x", "--hex"}},
        {{"decrypt", "-f", "--pass", "pass:Tr0ub4dor&3", "plain.cls"}},
        {{"decrypt", "-f", "--pass", "env:K", "plain.cls"}, "", {{"K", "Tr0ub4dor&3"}}},
    };
    for (const auto& c : cases) {
        const Result r = run(c);
        EXPECT_NE(r.status, 0) << c.args[2];
        EXPECT_FALSE(r.err.empty()) << c.args[2];
        for (const char* key : {"Correct-Horse", "Tr0ub4dor"}) {
            EXPECT_EQ(r.err.find(key), std::string::npos) << r.err;
            EXPECT_EQ(r.out.find(key), std::string::npos) << r.out;
        }
    }
}

TEST_F(Tool, KeyHistoryAndNoKey) {
    const std::string data = random_text(1000);
    const Result enc = run({{"encrypt", "--pass", "pass:A", "--pass", "pass:B", "-q"}, data});
    ASSERT_EQ(enc.status, 0) << enc.err;
    const Result both = run({{"decrypt", "--pass", "pass:A", "--pass", "pass:B", "-q"}, enc.out});
    EXPECT_EQ(both.status, 0) << both.err;
    EXPECT_EQ(both.out, data);
    EXPECT_EQ(run({{"decrypt", "--pass", "pass:B", "-q"}, enc.out}).status, 4);
    EXPECT_EQ(run({{"decrypt", "--pass", "pass:B", "--pass", "pass:A", "-q"}, enc.out}).status, 4);

    // Ciphertexts made by a program that never set a key, given in small
    // letters with a space between the blocks.
    const auto unkeyed = unkeyed_known_answers();
    ASSERT_FALSE(unkeyed.empty());
    for (const auto& ka : unkeyed) {
        std::string hex;
        for (std::size_t i = 0; i < ka.ciphertext.size(); ++i) {
            if (i != 0 && i % 16 == 0) hex += ' ';
            hex += static_cast<char>(std::tolower(static_cast<unsigned char>(ka.ciphertext[i])));
        }
        const Result plain = run({{"decrypt", "--no-key", "--text", hex}});
        EXPECT_EQ(plain.status, 0) << ka.name << ": " << plain.err;
        const auto message = ReadHex(ka.message);  // ASCII in the shared cases
        EXPECT_EQ(plain.out, std::string(message.begin(), message.end()) + "\n") << ka.name;
    }
}

TEST_F(Tool, WrongKeyExitsWith4AndLeavesNothing) {
    spit(at("plain"), random_text(5000));
    ASSERT_EQ(run({{"encrypt", "--pass", "pass:right", "-q", "plain"}}).status, 0);
    fs::remove(at("plain"));
    const Result r = run({{"decrypt", "--pass", "pass:wrong", "-q", "plain.cls"}});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("wrong key, or not a file encrypted with this format"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("plain.cls"), std::string::npos);
    EXPECT_EQ(listing(), std::vector<std::string>{"plain.cls"});

    spit(at("junk.cls"), "not a ciphertext at all");
    EXPECT_EQ(run({{"decrypt", "--pass", "pass:right", "-q", "junk.cls"}}).status, 4);
    EXPECT_EQ(run({{"decrypt", "--pass", "pass:right", "-q"}, "short"}).status, 4);
}

TEST_F(Tool, NeverOverwritesWithoutForceAndKeepsTheSource) {
    spit(at("a"), "new content");
    spit(at("a.cls"), "precious");
    const Result r = run({{"encrypt", "--pass", "pass:k", "-q", "a"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("-f"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(at("a.cls")), "precious");
    EXPECT_EQ(run({{"encrypt", "--pass", "pass:k", "-q", "-f", "a"}}).status, 0);
    EXPECT_NE(slurp(at("a.cls")), "precious");
    EXPECT_EQ(slurp(at("a")), "new content");  // the source is kept

    // Output onto the input is refused unless --in-place; a name without the
    // suffix needs -o.
    EXPECT_EQ(run({{"encrypt", "--pass", "pass:k", "-q", "-o", "a", "a"}}).status, 2);
    EXPECT_EQ(run({{"decrypt", "--pass", "pass:k", "-q", "a"}}).status, 2);
    EXPECT_EQ(run({{"decrypt", "--pass", "pass:k", "-q", "-o", "b", "a.cls"}}).status, 0);
    EXPECT_EQ(slurp(at("b")), "new content");
    EXPECT_EQ(run({{"encrypt", "--pass", "pass:k", "-q", "-o", "x", "a", "b"}}).status, 2);
}

TEST_F(Tool, InPlaceAndSuffix) {
    const std::string data = random_text(10000);
    spit(at("doc"), data);
    ASSERT_EQ(run({{"encrypt", "--pass", "pass:k", "-q", "--in-place", "doc"}}).status, 0);
    EXPECT_NE(slurp(at("doc")), data);
    EXPECT_EQ(listing(), std::vector<std::string>{"doc"});
    ASSERT_EQ(run({{"decrypt", "--pass", "pass:k", "-q", "--in-place", "doc"}}).status, 0);
    EXPECT_EQ(slurp(at("doc")), data);

    ASSERT_EQ(run({{"encrypt", "--pass", "pass:k", "-q", "--suffix", ".enc", "doc"}}).status, 0);
    fs::rename(at("doc"), at("orig"));
    ASSERT_EQ(run({{"decrypt", "--pass", "pass:k", "-q", "--suffix", ".enc", "doc.enc"}}).status, 0);
    EXPECT_EQ(slurp(at("doc")), data);
}

TEST_F(Tool, ManyFilesKeepGoingPastAFailure) {
    spit(at("one"), "1");
    spit(at("three"), "3");
    const Result r = run({{"encrypt", "--pass", "pass:k", "-q", "one", "missing", "three"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing"), std::string::npos) << r.err;
    EXPECT_EQ(listing(), (std::vector<std::string>{"one", "one.cls", "three", "three.cls"}));

    // One file with a wrong key among good ones.
    spit(at("other.cls"), slurp(at("one.cls")));
    fs::remove(at("one"));
    fs::remove(at("three"));
    ASSERT_EQ(run({{"encrypt", "--pass", "pass:different", "-q", "-o", "odd.cls", "other.cls"}}).status, 0);
    const Result mixed = run({{"decrypt", "--pass", "pass:k", "-v", "one.cls", "odd.cls", "three.cls"}});
    EXPECT_EQ(mixed.status, 4) << mixed.err;
    EXPECT_EQ(slurp(at("one")), "1");
    EXPECT_EQ(slurp(at("three")), "3");
    EXPECT_NE(mixed.err.find("three.cls -> "), std::string::npos) << mixed.err;
}

// Files side by side: the same files and messages (in the order given) as
// one at a time, a failure among them reported in its place, and inputs
// whose outputs collide still handled one at a time in order.
TEST_F(Tool, JobsProcessFilesSideBySideWithMessagesInOrder) {
    std::vector<std::string> names;
    std::vector<std::string> contents;
    for (int i = 0; i < 12; ++i) {
        // (Strings built by appending: GCC 12 warns falsely on "literal" +
        // std::string temporaries at -O3.)
        std::string name = "f";
        name += std::to_string(i);
        names.push_back(name);
        // The first file is by far the longest: the others finish before it.
        contents.push_back(random_text(i == 0 ? std::size_t{3} << 20 : static_cast<std::size_t>(1000 * i + i)));
        spit(at(names.back()), contents.back());
    }
    std::vector<std::string> args = {"encrypt", "--pass", "env:K", "-v", "-j", "3"};
    args.insert(args.end(), names.begin(), names.end());
    args.insert(args.begin() + 6 + 5, "missing");  // the sixth input fails
    const Result enc = run({args, "", {{"K", "k"}}});
    EXPECT_EQ(enc.status, 1) << enc.err;
    std::string expected;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i == 5) expected += "clscrypt: missing: no such file; check the name\n";
        expected.append(names[i]).append(" -> ").append(names[i]).append(".cls\n");
    }
    EXPECT_EQ(enc.err, expected);

    std::vector<std::string> dec_args = {"decrypt", "--pass", "pass:k", "-q", "-f", "--jobs", "4"};
    for (std::string n : names) dec_args.push_back(n.append(".cls"));
    ASSERT_EQ(run({dec_args}).status, 0);
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(slurp(at(names[i])), contents[i]) << names[i];

    // The same input twice: one at a time, so the second finds the output
    // the first wrote, as it would without -j.
    const Result twice = run({{"encrypt", "--pass", "pass:k", "-q", "-j", "2", "-o", "x.cls", "f1"}});
    ASSERT_EQ(twice.status, 0) << twice.err;
    const Result dup = run({{"encrypt", "--pass", "pass:k", "-q", "-j", "2", "f2", "f2"}});
    EXPECT_EQ(dup.status, 1);
    EXPECT_NE(dup.err.find("already exists"), std::string::npos) << dup.err;
    EXPECT_EQ(run({{"encrypt", "--pass", "pass:k", "-j", "-1", "f1"}}).status, 2);  // 0 means one per processor
}

TEST_F(Tool, RecursiveWalk) {
    fs::create_directories(at("tree/sub"));
    spit(at("tree/a"), "a");
    spit(at("tree/sub/b"), "b");
    EXPECT_EQ(run({{"encrypt", "--pass", "pass:k", "-q", "tree"}}).status, 1);  // a folder needs -r
    ASSERT_EQ(run({{"encrypt", "--pass", "pass:k", "-q", "-r", "tree"}}).status, 0);
    EXPECT_EQ(listing(at("tree/sub")), (std::vector<std::string>{"b", "b.cls"}));
    // Encrypting again skips what is already encrypted.
    ASSERT_EQ(run({{"encrypt", "--pass", "pass:k", "-q", "-r", "-f", "tree"}}).status, 0);
    EXPECT_EQ(listing(at("tree/sub")), (std::vector<std::string>{"b", "b.cls"}));
    fs::remove(at("tree/a"));
    fs::remove(at("tree/sub/b"));
    ASSERT_EQ(run({{"decrypt", "--pass", "pass:k", "-q", "-r", "tree"}}).status, 0);
    EXPECT_EQ(slurp(at("tree/a")), "a");
    EXPECT_EQ(slurp(at("tree/sub/b")), "b");
}

TEST_F(Tool, RekeyMigratesFiles) {
    spit(at("a"), random_text(70000));
    spit(at("b"), "short");
    const std::string a = slurp(at("a"));
    ASSERT_EQ(run({{"encrypt", "--pass", "pass:old", "-q", "a", "b"}}).status, 0);
    const Result r =
        run({{"rekey", "--pass", "pass:old", "--new-pass", "env:NEW", "-q", "a.cls", "b.cls"}, "", {{"NEW", "new"}}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(run({{"decrypt", "--pass", "pass:old", "-q", "-o", "x", "a.cls"}}).status, 4);
    ASSERT_EQ(run({{"decrypt", "--pass", "pass:new", "-q", "-o", "a2", "a.cls"}}).status, 0);
    EXPECT_EQ(slurp(at("a2")), a);
    // A wrong old key changes nothing.
    const std::string before = slurp(at("b.cls"));
    EXPECT_EQ(run({{"rekey", "--pass", "pass:nope", "--new-pass", "pass:x", "-q", "b.cls"}}).status, 4);
    EXPECT_EQ(slurp(at("b.cls")), before);
}

TEST_F(Tool, HexCiphertextIsOneUpperCaseLine) {
    const Result enc = run({{"encrypt", "--pass", "pass:k", "-q", "--hex", "--text", "h\u00e9llo \u20ac"}});
    ASSERT_EQ(enc.status, 0) << enc.err;
    ASSERT_EQ(enc.out.size(), 2 * 24 + 1U);
    EXPECT_EQ(enc.out.back(), '\n');
    EXPECT_EQ(enc.out.find_first_not_of("0123456789ABCDEF"), 48U);
    std::string spaced_lower;
    for (std::size_t i = 0; i < 48; ++i) {
        spaced_lower += static_cast<char>(std::tolower(enc.out[i]));
        if (i % 8 == 7) spaced_lower += "\n ";
    }
    const Result dec = run({{"decrypt", "--pass", "pass:k", "-q", "--text", spaced_lower}});
    EXPECT_EQ(dec.status, 0) << dec.err;
    EXPECT_EQ(dec.out, "h\u00e9llo \u20ac\n");
    const Result piped = run({{"decrypt", "--pass", "pass:k", "-q", "--hex"}, enc.out});
    EXPECT_EQ(piped.out, "h\xe9llo \x80");  // the code-page bytes of the text
    EXPECT_EQ(run({{"decrypt", "--pass", "pass:k", "-q", "--text", "XYZ"}}).status, 2);
}

TEST_F(Tool, Sha256MatchesSha256sumAndChecks) {
    spit(at("one"), "abc");
    spit(at("two"), random_text(200000));
    spit(at("empty"), "");
    const Result ours = run({{"sha256", "one", "two", "empty"}});
    ASSERT_EQ(ours.status, 0) << ours.err;
    std::string expected;
    {
        const std::string cmd = "cd '" + dir_.string() + "' && sha256sum one two empty";
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char buf[512];
        while (fgets(buf, sizeof buf, p) != nullptr) expected += buf;
        ASSERT_EQ(pclose(p), 0);
    }
    EXPECT_EQ(ours.out, expected);
    EXPECT_EQ(run({{"sha256"}, "abc"}).out, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  -\n");

    spit(at("SUMS"), ours.out);
    const Result ok = run({{"sha256", "--check", "SUMS"}});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out, "one: OK\ntwo: OK\nempty: OK\n");
    spit(at("two"), "changed");
    const Result bad = run({{"sha256", "-c", "SUMS"}});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "one: OK\ntwo: FAILED\nempty: OK\n");
    EXPECT_NE(bad.err.find("did NOT match"), std::string::npos);
    EXPECT_EQ(run({{"sha256", "--check", "SUMS", "--status"}}).out, "");

    // --text: the digest of the characters' low bytes alone.
    EXPECT_EQ(run({{"sha256", "--text", "abc"}}).out,
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n");
    EXPECT_EQ(run({{"sha256", "--text", "\u20ac"}}).out, run({{"sha256", "--text", "\u00ac"}}).out);
}

TEST_F(Tool, HexEncodeAndDecode) {
    struct Case {
        Invocation run;
        int status;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{{"hex", "encode", "AB"}}, 0, "41 42\n"},
        {{{"hex", "encode", "--separator", "-+", "AB"}}, 0, "41--42\n"},
        {{{"hex", "encode", "--separator", "", "\u20ac"}}, 0, "80\n"},
        {{{"hex", "encode"}, "AB\n"}, 0, "41 42\n"},  // standard input, without its line ending
        {{{"hex", "decode", "4142"}}, 0, "AB\n"},
        {{{"hex", "decode", "--separators", "1", "41 42"}}, 0, "AB\n"},
        {{{"hex", "decode", "--separators", "1"}, "41 80\n"}, 0, "A\u20ac\n"},
        {{{"hex", "decode", "4a"}}, 1, ""},
        {{{"hex", "decode", "--separators", "-2", "4142"}}, 2, ""},  // a negative count is a usage error
        {{{"hex", "encode", "--codepage", "1251", "\u0416"}}, 0, "C6\n"},
        {{{"hex", "encode", "--codepage", "65001", "x"}}, 2, ""},
    };
    for (const auto& c : cases) {
        const Result r = run(c.run);
        EXPECT_EQ(r.status, c.status) << c.run.args.back() << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.run.args.back();
    }
}

TEST_F(Tool, PromptsOnTheTerminal) {
    spit(at("secret"), "typed key");
    const Result ok = run_on_terminal(dir_, {"encrypt", "-q", "secret"},
                                      {{"Enter key: ", "typed\n"}, {"Enter key again: ", "typed\n"}});
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_EQ(ok.out.find("typed"), std::string::npos) << "the key was echoed: " << ok.out;
    fs::remove(at("secret"));
    const Result dec = run({{"decrypt", "--pass", "pass:typed", "-q", "secret.cls"}});
    EXPECT_EQ(dec.status, 0) << dec.err;
    EXPECT_EQ(slurp(at("secret")), "typed key");

    // A mistyped confirmation writes nothing.
    spit(at("other"), "x");
    const Result typo = run_on_terminal(dir_, {"encrypt", "-q", "other"},
                                        {{"Enter key: ", "first\n"}, {"Enter key again: ", "frist\n"}});
    EXPECT_EQ(typo.status, 1);
    EXPECT_NE(typo.out.find("differ"), std::string::npos) << typo.out;
    EXPECT_FALSE(fs::exists(at("other.cls")));

    // Decryption asks once.
    const Result once = run_on_terminal(dir_, {"decrypt", "-q", "-f", "secret.cls"}, {{"Enter key: ", "typed\n"}});
    EXPECT_EQ(once.status, 0) << once.out;

    // Binary ciphertext is not written to a terminal.
    const Result binary = run_on_terminal(dir_, {"encrypt", "--pass", "env:HOME", "-q"}, {});
    EXPECT_EQ(binary.status, 2) << binary.out;
}

TEST_F(Tool, UsageHelpAndVersion) {
    EXPECT_EQ(run({{"--version"}}).status, 0);
    EXPECT_NE(run({{"--version"}}).out.find("clscrypt"), std::string::npos);
    for (const char* cmd : {"encrypt", "decrypt", "rekey", "sha256"}) {
        const Result r = run({{cmd, "--help"}});
        EXPECT_EQ(r.status, 0) << cmd;
        EXPECT_NE(r.out.find("Example"), std::string::npos) << cmd;
    }
    EXPECT_EQ(run({{"help"}}).status, 0);
    EXPECT_EQ(run({{"help", "encrypt"}}).status, 0);
    EXPECT_EQ(run({{"encrypt", "--no-such-option"}}).status, 2);
    EXPECT_EQ(run({{}}).status, 2);
}

}  // namespace
}  // namespace clscrypt::test
