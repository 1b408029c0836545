// The shared cases of tests/data/conformance.json through the real binary:
// the tool must take its rules from the library (known answers, keys the
// code page cannot carry, messages that hold no deciphered byte, the one
// rule for ciphertext hex), so it must give the answers the library gives.

#include <cctype>
#include <fstream>

#include <nlohmann/json.hpp>

#include <clscrypt/clscrypt.hpp>

#include "common/utf.hpp"
#include "conformance.hpp"
#include "tool_runner.hpp"

namespace clscrypt::test {
namespace {

const nlohmann::json& cases() {
    return test::conformance_cases();
}

bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

std::string str(const nlohmann::json& j) {
    return j.get<std::string>();
}

std::string bytes_string(const std::vector<std::uint8_t>& b) {
    return {b.begin(), b.end()};
}

// What decrypt --text prints for `message`: its bytes through the code page, as UTF-8.
std::string text_of(int codepage, const std::vector<std::uint8_t>& message) {
    return common::utf16_to_utf8(CodePage::FromNumber(codepage).Decode(message));
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Upper-case hexadecimal as other programs write it: PostgreSQL's bytea
// text ("\x" and lower case), and colon-separated pairs wrapped with CRLF.
std::vector<std::string> hex_forms(const std::string& upper) {
    std::string wrapped;
    for (std::size_t i = 0; i < upper.size(); i += 2) {
        if (i != 0) wrapped += (i / 2) % 8 == 0 ? "\r\n" : ":";
        wrapped += upper.substr(i, 2);
    }
    return {upper, "\\x" + lower(upper), wrapped};
}

// The key options for a history, each key from an environment variable of
// its own (no pass:TEXT, whose warning would blur standard error).
struct Keys {
    std::vector<std::string> args;
    Environment env;
};
Keys keys_of(const nlohmann::json& history) {
    Keys k;
    if (history.empty()) k.args = {"--no-key"};
    for (std::size_t i = 0; i < history.size(); ++i) {
        const std::string name = "CLSCRYPT_K" + std::to_string(i);
        k.args.insert(k.args.end(), {"--pass", "env:" + name});
        k.env.emplace_back(name, str(history[i]));
    }
    return k;
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class ToolConformance : public Tool {};

TEST_F(ToolConformance, KnownAnswersDecryptThroughEveryWayIn) {
    ASSERT_FALSE(cases()["known_answers"].empty());
    for (const auto& c : cases()["known_answers"]) {
        SCOPED_TRACE(str(c["name"]));
        const int cp = c["codepage"].get<int>();
        const Keys k = keys_of(c["keys"]);
        const std::vector<std::string> base = joined({"decrypt", "--codepage", std::to_string(cp)}, k.args);
        const std::string cipher = str(c["cipher"]);
        const auto message = from_hex(str(c["message"]));
        const std::string text = text_of(cp, message);

        for (const auto& form : hex_forms(cipher)) {
            const Result r = run({joined(base, {"--text", form}), "", k.env});
            EXPECT_EQ(r.status, 0) << form << ": " << r.err;
            EXPECT_EQ(r.out, text + "\n") << form;
            EXPECT_EQ(r.err, "") << form;
            // The same hexadecimal on standard input gives the message bytes.
            const Result in = run({joined(base, {"--hex"}), form + "\n", k.env});
            EXPECT_EQ(in.status, 0) << form << ": " << in.err;
            EXPECT_EQ(in.out, bytes_string(message)) << form;
        }
        // The ciphertext bytes on standard input.
        const Result raw = run({base, bytes_string(from_hex(cipher)), k.env});
        EXPECT_EQ(raw.status, 0) << raw.err;
        EXPECT_EQ(raw.out, bytes_string(message));
        // One value a line, as this tool writes them and as PostgreSQL exports bytea.
        const Result lines = run({joined(base, {"--lines"}), cipher + "\n\\x" + lower(cipher) + "\r\n", k.env});
        EXPECT_EQ(lines.status, 0) << lines.err;
        EXPECT_EQ(lines.out, text + "\n" + text + "\n");
    }
}

TEST_F(ToolConformance, KeysTheCodePageLacksAreRefusedWithoutNamingThem) {
    ASSERT_FALSE(cases()["unmappable_keys"].empty());
    for (const auto& c : cases()["unmappable_keys"]) {
        SCOPED_TRACE(str(c["name"]));
        const std::string key = str(c["key"]);
        const std::string cp = std::to_string(c["codepage"].get<int>());
        const std::string cipher = str(c["cipher_with_replacement"]);
        const Environment env = {{"CLSCRYPT_K", key}};
        const std::vector<std::string> keyed = {"--codepage", cp, "--pass", "env:CLSCRYPT_K"};
        const std::string position = "position " + std::to_string(c["position"].get<int>());
        const std::string holder = c["holder"].is_null()
                                       ? "no single-byte code page offered here has it"
                                       : "code page " + std::to_string(c["holder"].get<int>()) + " has it";
        struct Way {
            std::vector<std::string> args;
            std::string input;
        };
        const std::vector<Way> ways = {
            {joined({"decrypt", "--text", cipher}, keyed), ""},
            {joined({"decrypt", "--lines"}, keyed), cipher + "\n"},
            {joined({"encrypt", "--hex", "--text", "x"}, keyed), ""},
            {{"rekey", "--lines", "--codepage", cp, "--no-key", "--new-pass", "env:CLSCRYPT_K"}, ""},
        };
        for (const auto& way : ways) {
            const Result r = run({way.args, way.input, env});
            const std::string trace = way.args[0] + " " + way.args[1] + ": " + r.err;
            EXPECT_EQ(r.status, 2) << trace;
            EXPECT_EQ(r.out, "") << trace;
            EXPECT_TRUE(contains(r.err, position + ", which code page " + cp + " lacks; " + holder)) << trace;
            EXPECT_TRUE(contains(r.err, "--replace-unmappable")) << trace;
            // Neither a character of the key nor its code.
            EXPECT_FALSE(contains(r.err, "U+")) << trace;
            std::u16string units;
            ASSERT_FALSE(common::decode_utf8(key, units));
            for (const char16_t u : units) {
                if (u < 0x80) continue;
                std::string one;
                common::append_utf8(one, u);
                EXPECT_FALSE(contains(r.err, one)) << trace;
            }
        }
        // Asked for, the legacy '?' reads what such a key wrote.
        const std::string message = text_of(std::stoi(cp), from_hex(str(c["message"])));
        const Result text = run({joined({"decrypt", "--replace-unmappable", "--text", cipher}, keyed), "", env});
        EXPECT_EQ(text.status, 0) << text.err;
        EXPECT_EQ(text.out, message + "\n");
        const Result lines = run({joined({"decrypt", "--lines", "--replace-unmappable"}, keyed), cipher + "\n", env});
        EXPECT_EQ(lines.status, 0) << lines.err;
        EXPECT_EQ(lines.out, message + "\n");
    }
}

// Every slice of whole blocks at every byte offset of a ciphertext, read with
// the right key: whatever the tool says about it names no descriptor those
// bytes decipher to and no piece of the plaintext.
TEST_F(ToolConformance, NoMessageHoldsADecipheredByte) {
    const auto& c = cases()["spliced"];
    const auto cipher = from_hex(str(c["cipher"]));
    std::vector<std::string> forbidden;
    for (const auto& f : c["forbidden"]) forbidden.push_back(str(f));
    ASSERT_FALSE(forbidden.empty());
    const Keys k = keys_of(c["keys"]);
    const std::string cp = std::to_string(c["codepage"].get<int>());
    const std::vector<std::string> decrypt = joined({"decrypt", "--codepage", cp}, k.args);

    // The option's own name is no deciphered text ("pass" is a piece of the plaintext).
    const auto check = [&](std::string err, const std::string& where) {
        for (std::size_t at; (at = err.find("--pass")) != std::string::npos;) err.erase(at, 6);
        for (const auto& f : forbidden) EXPECT_FALSE(contains(err, f)) << where << ": '" << f << "' in " << err;
    };
    std::string all_lines;
    std::size_t refused = 0, slices = 0;
    for (std::size_t at = 0; at + 16 <= cipher.size(); ++at) {
        for (std::size_t len = 16; at + len <= cipher.size(); len += 8) {
            if (at == 0 && len == cipher.size()) continue;  // the ciphertext itself reads
            ++slices;
            const std::vector<std::uint8_t> slice(cipher.begin() + static_cast<std::ptrdiff_t>(at),
                                                  cipher.begin() + static_cast<std::ptrdiff_t>(at + len));
            const std::string hex = to_hex(slice);
            const std::string where = "offset " + std::to_string(at) + ", length " + std::to_string(len);
            const Result text = run({joined(decrypt, {"--text", hex}), "", k.env});
            if (text.status != 0) {
                ++refused;
                EXPECT_EQ(text.status, 4) << where << ": " << text.err;
            }
            check(text.err, where + " (--text)");
            const Result raw = run({decrypt, bytes_string(slice), k.env});
            EXPECT_EQ(raw.status, text.status) << where << ": " << raw.err;
            check(raw.err, where + " (standard input)");
            all_lines += hex + "\n";
        }
    }
    EXPECT_GT(refused, slices / 2);
    const Result lines = run({joined(decrypt, {"--lines", "--keep-going"}), all_lines, k.env});
    EXPECT_NE(lines.status, 0);
    check(lines.err, "--lines");
    const Result rekeyed =
        run({joined({"rekey", "--lines", "--keep-going", "--codepage", cp, "--new-pass", "env:CLSCRYPT_K0"}, k.args),
             all_lines, k.env});
    EXPECT_NE(rekeyed.status, 0);
    check(rekeyed.err, "rekey --lines");
}

TEST_F(ToolConformance, DamagedCiphertextsAreNoCiphertexts) {
    const Keys k = keys_of(cases()["spliced"]["keys"]);
    ASSERT_FALSE(cases()["damaged"].empty());
    for (const auto& c : cases()["damaged"]) {
        SCOPED_TRACE(str(c["name"]));
        ASSERT_EQ(str(c["kind"]), "WrongKeyOrDamaged");  // the one kind the tool tells by exit status 4
        const Result text = run({joined({"decrypt", "--text", str(c["cipher"])}, k.args), "", k.env});
        EXPECT_EQ(text.status, 4) << text.err;
        EXPECT_EQ(text.out, "");
        EXPECT_TRUE(contains(text.err, "not a ciphertext of this format")) << text.err;
        const Result lines = run({joined({"decrypt", "--lines"}, k.args), str(c["cipher"]) + "\n", k.env});
        EXPECT_EQ(lines.status, 4) << lines.err;
        EXPECT_TRUE(contains(lines.err, "line 1: ")) << lines.err;
    }
}

// Every way the tool reads ciphertext hex follows the library's one rule.
TEST_F(ToolConformance, CiphertextHexReadsByTheLibrarysRule) {
    const Keys k = keys_of(cases()["spliced"]["keys"]);
    ASSERT_FALSE(cases()["hex"].empty());
    for (const auto& c : cases()["hex"]) {
        const std::string text = str(c["text"]);
        SCOPED_TRACE("'" + text + "'");
        const Result lenient = run({{"hex", "decode", "--lenient", "--codepage", "1252", text}});
        const Result decrypt = run({joined({"decrypt", "--text", text}, k.args), "", k.env});
        const Result piped = run({joined({"decrypt", "--hex"}, k.args), text, k.env});
        // NUL-terminated, so that a value may hold a line break.
        const Result lines = run({joined({"decrypt", "--lines", "-z"}, k.args), text + std::string(1, '\0'), k.env});
        if (c.contains("bytes")) {
            EXPECT_EQ(lenient.status, 0) << lenient.err;
            EXPECT_EQ(lenient.out, text_of(1252, from_hex(str(c["bytes"]))) + "\n");
            // Read, and then found to be no ciphertext: never a usage error.
            for (const Result* r : {&decrypt, &piped, &lines}) {
                EXPECT_EQ(r->status, 4) << r->err;
                EXPECT_TRUE(contains(r->err, "not a ciphertext of this format")) << r->err;
                EXPECT_FALSE(contains(r->err, "hexadecimal")) << r->err;
            }
            continue;
        }
        const auto position = c["error_position"].get<std::size_t>();
        const std::string words = position == text.size() + 1
                                      ? "has an odd number of hexadecimal digits"
                                      : "is not hexadecimal text (a character that is not a digit at position " +
                                            std::to_string(position) + ")";
        EXPECT_EQ(lenient.status, 1) << lenient.err;
        EXPECT_TRUE(contains(lenient.err, "hex decode: the text " + words)) << lenient.err;
        EXPECT_EQ(decrypt.status, 2) << decrypt.err;
        EXPECT_TRUE(contains(decrypt.err, "--text " + words)) << decrypt.err;
        EXPECT_EQ(piped.status, 2) << piped.err;
        EXPECT_TRUE(contains(piped.err, "standard input " + words)) << piped.err;
        EXPECT_EQ(lines.status, 1) << lines.err;
        EXPECT_TRUE(contains(lines.err, "line 1: the value " + words)) << lines.err;
        for (const Result* r : {&lenient, &decrypt, &piped, &lines}) EXPECT_EQ(r->out, "");
    }
}

}  // namespace
}  // namespace clscrypt::test
