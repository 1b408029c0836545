// Encryption and decryption round trips under arbitrary key histories. Two
// instances (writer and reader) and a model of the key state (tables mixed
// with each new key as they stand, the key in force, the empty-key error)
// take the same sequence of operations; after each one all three must hold
// the same tables, and whatever the writer encrypts the reader must decrypt.
//
// Input: code page, then operations: 0 set a key, 1 encrypt bytes (with an
// optional key argument), 2 encrypt a string, 3 copy or move the writer.

#define CLSCRYPT_FUZZ_MAX_INPUT 2048
#include "harness.hpp"

#include "cipher/blowfish.hpp"
#include "cipher/instance_access.hpp"
#include "clscrypt/clscrypt.hpp"

using clscrypt::clsToString;
using clscrypt::RuntimeError;
using clscrypt::fuzz::Bytes;
namespace detail = clscrypt::detail;

namespace {

struct Model {
    detail::BlowfishTables tables;
    std::u16string current;
    clscrypt::CodePage codepage;

    // What setting `key` does: nothing for the key in force; error 9 for
    // the empty key after another (the tables stay); else a mix.
    bool set(const std::u16string& key) {
        if (key == current) return true;
        current = key;
        if (key.empty()) return false;
        detail::mix_key(tables, codepage.Encode(key));
        return true;
    }
};

bool same(const detail::BlowfishTables& a, const detail::BlowfishTables& b) {
    return a.p == b.p && a.s == b.s;
}

// Runs `f`; true when it raised nothing, false for error 9; anything else is
// a finding.
template <typename F>
bool succeeds(F&& f) {
    try {
        f();
        return true;
    } catch (const RuntimeError& e) {
        FUZZ_CHECK(e.Number() == RuntimeError::SubscriptOutOfRange);
        return false;
    }
}

}  // namespace

void fuzz_one(clscrypt::fuzz::Input& in) {
    const auto pages = clscrypt::CodePage::Available();
    const auto codepage = clscrypt::CodePage::FromNumber(pages[in.byte() % pages.size()]);
    clsToString writer(codepage), reader(codepage);
    Model model{{}, {}, codepage};
    detail::initial_tables(model.tables);

    for (int op = 0; op < 24 && !in.empty(); ++op) {
        const std::uint8_t code = in.byte();
        switch (code % 4) {
            case 0: {
                const std::u16string key = in.text(80);
                const bool expected = model.set(key);
                FUZZ_CHECK(succeeds([&] { writer.Key(key); }) == expected);
                FUZZ_CHECK(succeeds([&] { reader.Key(key); }) == expected);
                break;
            }
            case 1: {
                const std::u16string key = (code & 4) ? in.text(20) : std::u16string();
                const Bytes message = in.bytes(in.u16() % 600);
                Bytes data = message;
                const bool expected = key.empty() || model.set(key);
                FUZZ_CHECK(succeeds([&] { writer.EncryptByte(data, key); }) == expected);
                if (!expected) {
                    FUZZ_CHECK(data == message);  // the key failed before anything was touched
                    FUZZ_CHECK(!succeeds([&] { reader.Key(key); }));
                    break;
                }
                FUZZ_CHECK(data.size() == (message.size() + 12 + 7) / 8 * 8);
                reader.DecryptByte(data, key);
                FUZZ_CHECK(data == message);
                break;
            }
            case 2: {
                const std::u16string text = in.text(120);
                const std::u16string cipher = writer.EncryptString(text);
                FUZZ_CHECK(reader.DecryptString(cipher) == codepage.Decode(codepage.Encode(text)));
                break;
            }
            default: {
                if (code & 4) {
                    clsToString copy(writer);
                    writer = copy;
                } else {
                    clsToString moved(std::move(writer));
                    writer = std::move(moved);
                }
                break;
            }
        }
        FUZZ_CHECK(same(detail::InstanceAccess::tables(writer), model.tables));
        FUZZ_CHECK(same(detail::InstanceAccess::tables(reader), model.tables));
    }
}

std::vector<Bytes> fuzz_seeds() {
    using clscrypt::fuzz::put_text;
    std::vector<Bytes> seeds;
    Bytes s{0};
    s.push_back(0);
    put_text(s, u"first key");
    s.push_back(1);
    s.push_back(5);
    s.push_back(0);
    for (char c : std::string("hello")) s.push_back(static_cast<std::uint8_t>(c));
    s.push_back(0);
    put_text(s, u"second");
    s.push_back(2);
    put_text(s, u"text \u20AC \u4E2D");
    s.push_back(0);
    put_text(s, u"");  // the empty key: error 9
    s.push_back(5);    // encrypt with a key argument
    put_text(s, u"first key");
    s.push_back(3);
    s.push_back(0);
    s.push_back(3);
    s.push_back(7);
    s.push_back(1);
    s.push_back(0);
    s.push_back(0);
    seeds.push_back(s);
    seeds.push_back(Bytes{3, 0, 3, 'a', 'b', 'c', 2, 2, 'x', 'y'});
    return seeds;
}
