// Many short values against OpenSSL doing the same work per value: the key
// schedule prepared once, a fresh random initial value for each encryption,
// Blowfish-CBC through EVP (the legacy provider), and the hexadecimal text
// decoded and encoded by OpenSSL's own functions. Each OpenSSL value has the
// length of ours (an 8-byte initial value in front of the blocks, as our
// random first block is), so both sides decode, decipher and encode the same
// number of bytes.

#include <benchmark/benchmark.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cipher/kernels/dispatch.hpp"
#include "clscrypt/values.hpp"
#include "suites.hpp"

namespace clscrypt::bench {

namespace {

constexpr std::size_t kColumn = 512;  // values per timed batch
constexpr unsigned char kKey[] = "benchmark key";

std::size_t ciphertext_length(std::size_t n) {
    return (n + 12 + 7) / 8 * 8;
}

// OpenSSL's side: one context per key, its schedule set up once.
class OpenSslValues {
public:
    OpenSslValues() {
        if (OSSL_PROVIDER_load(nullptr, "legacy") == nullptr || OSSL_PROVIDER_load(nullptr, "default") == nullptr) {
            std::abort();
        }
        for (auto* ctx : {&enc_, &dec_}) {
            *ctx = EVP_CIPHER_CTX_new();
            EVP_CIPHER* bf = EVP_CIPHER_fetch(nullptr, "BF-CBC", nullptr);
            if (bf == nullptr || EVP_CipherInit_ex2(*ctx, bf, nullptr, nullptr, ctx == &enc_ ? 1 : 0, nullptr) != 1 ||
                EVP_CIPHER_CTX_set_key_length(*ctx, sizeof kKey - 1) != 1 ||
                EVP_CipherInit_ex2(*ctx, nullptr, kKey, nullptr, -1, nullptr) != 1) {
                std::abort();
            }
            EVP_CIPHER_CTX_set_padding(*ctx, 0);
            EVP_CIPHER_free(bf);
        }
    }
    ~OpenSslValues() {
        EVP_CIPHER_CTX_free(enc_);
        EVP_CIPHER_CTX_free(dec_);
    }

    // Message (already zero-filled to whole blocks by the caller's layout)
    // to hexadecimal text of initial value + blocks.
    void encrypt(const std::uint8_t* message, std::size_t blocks_len, std::string& hex) {
        std::uint8_t buf[512];
        if (RAND_bytes(buf, 8) != 1) std::abort();
        int out = 0;
        if (EVP_CipherInit_ex2(enc_, nullptr, nullptr, buf, -1, nullptr) != 1 ||
            EVP_CipherUpdate(enc_, buf + 8, &out, message, static_cast<int>(blocks_len)) != 1) {
            std::abort();
        }
        hex.resize(2 * (blocks_len + 8) + 1);
        std::size_t written = 0;
        if (OPENSSL_buf2hexstr_ex(hex.data(), hex.size(), &written, buf, blocks_len + 8, '\0') != 1) std::abort();
        hex.resize(written - 1);
    }

    // Hexadecimal text to the blocks' plaintext.
    void decrypt(const std::string& hex, std::string& plain) {
        std::uint8_t buf[512];
        std::size_t len = 0;
        if (OPENSSL_hexstr2buf_ex(buf, sizeof buf, &len, hex.c_str(), '\0') != 1) std::abort();
        plain.resize(len - 8);
        int out = 0;
        if (EVP_CipherInit_ex2(dec_, nullptr, nullptr, buf, -1, nullptr) != 1 ||
            EVP_CipherUpdate(dec_, reinterpret_cast<unsigned char*>(plain.data()), &out, buf + 8,
                             static_cast<int>(len - 8)) != 1) {
            std::abort();
        }
    }

private:
    EVP_CIPHER_CTX* enc_ = nullptr;
    EVP_CIPHER_CTX* dec_ = nullptr;
};

struct Column {
    std::vector<std::string> plain;                   // messages of n bytes
    std::vector<std::string> ours;                    // our hexadecimal ciphertexts
    std::vector<std::string> theirs;                  // OpenSSL's, of the same length
    std::vector<std::vector<std::uint8_t>> laid_out;  // OpenSSL's input: message zero-filled to whole blocks
};

Column make_column(std::size_t n, ValueCipher& ours, OpenSslValues& theirs) {
    Column c;
    std::string out;
    for (std::size_t i = 0; i < kColumn; ++i) {
        std::string message(n, '\0');
        RAND_bytes(reinterpret_cast<unsigned char*>(message.data()), static_cast<int>(n));
        if (!ours.Encrypt(message, PlainForm::Bytes, StoredForm::Hex, out)) std::abort();
        c.ours.push_back(out);
        std::vector<std::uint8_t> blocks(ciphertext_length(n) - 8, 0);
        std::memcpy(blocks.data(), message.data(), n);
        theirs.encrypt(blocks.data(), blocks.size(), out);
        c.theirs.push_back(out);
        c.laid_out.push_back(std::move(blocks));
        c.plain.push_back(std::move(message));
    }
    return c;
}

}  // namespace

bool values_outputs_agree() {
    ValueCipher ours({u"benchmark key"});
    OpenSslValues theirs;
    std::string out;
    for (const std::size_t n : {32, 200}) {
        const Column c = make_column(n, ours, theirs);
        for (std::size_t i = 0; i < kColumn; ++i) {
            if (!ours.Decrypt(c.ours[i], StoredForm::Hex, PlainForm::Bytes, out) || out != c.plain[i]) return false;
            theirs.decrypt(c.theirs[i], out);
            if (out.compare(0, n, c.plain[i]) != 0) return false;
        }
        const std::vector<std::string_view> views(c.ours.begin(), c.ours.end());
        std::vector<std::string> many;
        std::vector<ValueOutcome> outcomes;
        ours.DecryptMany(views, StoredForm::Hex, PlainForm::Bytes, many, outcomes);
        if (many != c.plain) return false;
    }
    return true;
}

void register_values_benchmarks() {
    for (const std::size_t n : {32, 200}) {
        auto ours = std::make_shared<ValueCipher>(std::vector<KeyHistory>{{u"benchmark key"}}, KeyHistory{u"new key"});
        auto theirs = std::make_shared<OpenSslValues>();
        auto other = std::make_shared<OpenSslValues>();  // the new key's side of a re-keying
        ValueCipher writer({u"benchmark key"});
        auto column = std::make_shared<Column>(make_column(n, writer, *theirs));
        auto out = std::make_shared<std::string>();
        auto plain = std::make_shared<std::string>();
        const std::string size = std::to_string(n);
        constexpr int kBatch = 1;  // one call does the whole column
        register_pair("ValuesDecrypt" + size, kColumn, kBatch,
                      {[=] {
                           for (const auto& v : column->ours) ours->Decrypt(v, StoredForm::Hex, PlainForm::Bytes, *out);
                       },
                       {}},
                      {[=] {
                           for (const auto& v : column->theirs) theirs->decrypt(v, *out);
                       },
                       {}});
        register_pair("ValuesEncrypt" + size, kColumn, kBatch,
                      {[=] {
                           for (const auto& p : column->plain)
                               ours->Encrypt(p, PlainForm::Bytes, StoredForm::Hex, *out);
                       },
                       {}},
                      {[=] {
                           for (const auto& l : column->laid_out) theirs->encrypt(l.data(), l.size(), *out);
                       },
                       {}});
        register_pair("ValuesRekey" + size, kColumn, kBatch,
                      {[=] {
                           for (const auto& v : column->ours) ours->Rekey(v, StoredForm::Hex, StoredForm::Hex, *out);
                       },
                       {}},
                      {[=] {
                           for (const auto& v : column->theirs) {
                               theirs->decrypt(v, *plain);
                               other->encrypt(reinterpret_cast<const std::uint8_t*>(plain->data()), plain->size(),
                                              *out);
                           }
                       },
                       {}});

        // The same columns handed over in one call each.
        auto views = std::make_shared<std::vector<std::string_view>>(column->ours.begin(), column->ours.end());
        auto plain_views = std::make_shared<std::vector<std::string_view>>(column->plain.begin(), column->plain.end());
        auto outs = std::make_shared<std::vector<std::string>>();
        auto outcomes = std::make_shared<std::vector<ValueOutcome>>();
        register_pair("ValuesDecryptMany" + size, kColumn, kBatch,
                      {[=] { ours->DecryptMany(*views, StoredForm::Hex, PlainForm::Bytes, *outs, *outcomes); }, {}},
                      {[=] {
                           for (const auto& v : column->theirs) theirs->decrypt(v, *out);
                       },
                       {}});
        register_pair(
            "ValuesEncryptMany" + size, kColumn, kBatch,
            {[=] { ours->EncryptMany(*plain_views, PlainForm::Bytes, StoredForm::Hex, *outs, *outcomes); }, {}},
            {[=] {
                 for (const auto& l : column->laid_out) theirs->encrypt(l.data(), l.size(), *out);
             },
             {}});
        // Encryption is where the kernels differ most (64 chains side by
        // side with AVX-512 VBMI, 8 in the scalar ones): the batch again on
        // the portable kernels, forced for the call.
        const detail::CbcBackend* portable = &detail::cbc_backends().front();
        register_pair("ValuesEncryptMany" + size + "-portable", kColumn, kBatch,
                      {[=] {
                           const detail::ScopedCbcBackend forced(*portable);
                           ours->EncryptMany(*plain_views, PlainForm::Bytes, StoredForm::Hex, *outs, *outcomes);
                       },
                       {}},
                      {[=] {
                           for (const auto& l : column->laid_out) theirs->encrypt(l.data(), l.size(), *out);
                       },
                       {}});
        register_pair("ValuesRekeyMany" + size, kColumn, kBatch,
                      {[=] { ours->RekeyMany(*views, StoredForm::Hex, StoredForm::Hex, *outs, *outcomes); }, {}},
                      {[=] {
                           for (const auto& v : column->theirs) {
                               theirs->decrypt(v, *plain);
                               other->encrypt(reinterpret_cast<const std::uint8_t*>(plain->data()), plain->size(),
                                              *out);
                           }
                       },
                       {}});
    }
}

std::vector<Row> values_rows() {
    // The targets are the batch's: a column handed over in one call is the
    // shape bulk work takes. One value a call is shown beside it.
    // Encryption's target depends on the kernel: 5x with the AVX-512 VBMI
    // lanes kernel, 1.5x with the scalar ones. A processor without AVX-512
    // VBMI shows that row as skipped rather than a figure of another kernel.
    const auto kps = Unit::ThousandsPerSecond;
    const std::string ref = "OpenSSL EVP bf-cbc";
    const std::string best(detail::cbc_backends().back().name);
    const bool vbmi = best == "avx512-vbmi";
    std::vector<Row> rows;
    for (const char* n : {"32", "200"}) {
        const std::string size = std::string(n) + " B values, hex";
        const std::string one = size + ", one a call";
        const std::string batch = size + ", 512 a call";
        rows.push_back({"Values: decrypt", one, std::string("ValuesDecrypt") + n, ref, kps, 0, 0});
        rows.push_back({"Values: decrypt", batch, std::string("ValuesDecryptMany") + n, ref, kps, 3.0, 0});
        rows.push_back({"Values: encrypt", one, std::string("ValuesEncrypt") + n, ref, kps, 0, 0});
        rows.push_back({"Values: encrypt", batch + " (" + best + ")", std::string("ValuesEncryptMany") + n, ref, kps,
                        vbmi ? 5.0 : 1.5, 0});
        if (!vbmi) {
            // Never registered: the table prints it as not measured.
            rows.push_back({"Values: encrypt", batch + " (avx512-vbmi: skipped, this processor has no AVX-512 VBMI)",
                            std::string("ValuesEncryptMany") + n + "-avx512-vbmi", ref, kps, 5.0, 0});
        }
        rows.push_back({"Values: encrypt", batch + " (portable, forced)",
                        std::string("ValuesEncryptMany") + n + "-portable", ref, kps, 1.5, 0});
        rows.push_back({"Values: re-key", one, std::string("ValuesRekey") + n, ref, kps, 0, 0});
        rows.push_back({"Values: re-key", batch, std::string("ValuesRekeyMany") + n, ref, kps, 3.0, 0});
    }
    return rows;
}

}  // namespace clscrypt::bench
