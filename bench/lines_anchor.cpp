// What a user would write instead of `clscrypt encrypt/decrypt --lines`: one
// process that reads a text per line and converts each with OpenSSL's
// Blowfish-CBC (EVP through the legacy provider, the key schedule set up
// once, a fresh random initial value per value), hexadecimal text out. Each
// value has the length of ours: an 8-byte initial value in front of the
// message zero-filled to as many blocks as our layout takes, so both sides
// read, decipher and write the same number of bytes. Decryption drops the
// zero fill (the texts hold no NUL).
//
//   clscrypt_lines_anchor encrypt|decrypt < in > out      (key: "benchmark key")

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr unsigned char kKey[] = "benchmark key";

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "clscrypt_lines_anchor: %s\n", what);
    std::exit(1);
}

EVP_CIPHER_CTX* keyed_context(int encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CIPHER* bf = EVP_CIPHER_fetch(nullptr, "BF-CBC", nullptr);
    if (ctx == nullptr || bf == nullptr || EVP_CipherInit_ex2(ctx, bf, nullptr, nullptr, encrypt, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_key_length(ctx, sizeof kKey - 1) != 1 ||
        EVP_CipherInit_ex2(ctx, nullptr, kKey, nullptr, -1, nullptr) != 1) {
        fail("no Blowfish-CBC in this OpenSSL");
    }
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CIPHER_free(bf);
    return ctx;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || (std::strcmp(argv[1], "encrypt") != 0 && std::strcmp(argv[1], "decrypt") != 0)) {
        fail("usage: clscrypt_lines_anchor encrypt|decrypt < in > out");
    }
    if (OSSL_PROVIDER_load(nullptr, "legacy") == nullptr || OSSL_PROVIDER_load(nullptr, "default") == nullptr) {
        fail("cannot load OpenSSL's legacy provider");
    }
    const bool encrypt = argv[1][0] == 'e';
    EVP_CIPHER_CTX* ctx = keyed_context(encrypt ? 1 : 0);
    static char in_buffer[1 << 16], out_buffer[1 << 16];
    std::setvbuf(stdin, in_buffer, _IOFBF, sizeof in_buffer);
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    std::string line, text;
    unsigned char buf[8192];
    unsigned char plain[8192];
    char* raw = nullptr;
    std::size_t cap = 0;
    ssize_t got = 0;
    while ((got = getline(&raw, &cap, stdin)) > 0) {
        std::size_t n = static_cast<std::size_t>(got);
        if (raw[n - 1] == '\n') --n;
        int out = 0;
        if (encrypt) {
            const std::size_t blocks = (n + 12 + 7) / 8 * 8 - 8;  // ours less its first block
            if (blocks + 8 > sizeof buf) fail("line too long");
            std::memset(plain, 0, blocks);
            std::memcpy(plain, raw, n);
            if (RAND_bytes(buf, 8) != 1 || EVP_CipherInit_ex2(ctx, nullptr, nullptr, buf, -1, nullptr) != 1 ||
                EVP_CipherUpdate(ctx, buf + 8, &out, plain, static_cast<int>(blocks)) != 1) {
                fail("encryption failed");
            }
            text.resize(2 * (blocks + 8) + 1);
            std::size_t written = 0;
            if (OPENSSL_buf2hexstr_ex(text.data(), text.size(), &written, buf, blocks + 8, '\0') != 1) {
                fail("hex encoding failed");
            }
            text.resize(written - 1);
        } else {
            raw[n] = '\0';
            std::size_t len = 0;
            if (OPENSSL_hexstr2buf_ex(buf, sizeof buf, &len, raw, '\0') != 1 || len < 16 || len % 8 != 0) {
                fail("a line is not a hexadecimal ciphertext");
            }
            if (EVP_CipherInit_ex2(ctx, nullptr, nullptr, buf, -1, nullptr) != 1 ||
                EVP_CipherUpdate(ctx, plain, &out, buf + 8, static_cast<int>(len - 8)) != 1) {
                fail("decryption failed");
            }
            std::size_t end = len - 8;
            while (end > 0 && plain[end - 1] == 0) --end;
            text.assign(reinterpret_cast<const char*>(plain), end);
        }
        text.push_back('\n');
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) fail("write failed");
    }
    std::free(raw);
    EVP_CIPHER_CTX_free(ctx);
    if (std::fflush(stdout) != 0) fail("write failed");
    return 0;
}
