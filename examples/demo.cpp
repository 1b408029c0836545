// Encrypts and decrypts a built-in sample and shows what happened: the
// ciphertext in hexadecimal and the progress the cipher reported.

#include <clscrypt/clscrypt.hpp>

#include <cstdio>
#include <string>
#include <vector>

int main() {
    const std::string sample = "The quick brown fox jumps over the lazy dog.";
    const std::u16string key = u"demonstration key";

    clscrypt::clsToString cipher;
    std::vector<int> reported;
    cipher.Progress.Subscribe([&reported](std::int32_t& percent) { reported.push_back(percent); });

    std::vector<std::uint8_t> data(sample.begin(), sample.end());
    std::printf("message     (%zu bytes): %s\n", data.size(), sample.c_str());
    cipher.EncryptByte(data, key);
    std::printf("ciphertext  (%zu bytes): ", data.size());
    for (const std::uint8_t b : data) {
        std::printf("%02X", b);
    }
    std::printf("\nprogress while encrypting:");
    for (const int p : reported) {
        std::printf(" %d", p);
    }
    reported.clear();

    cipher.DecryptByte(data);  // the key stays in force
    const std::string back(data.begin(), data.end());
    std::printf("\nprogress while decrypting:");
    for (const int p : reported) {
        std::printf(" %d", p);
    }
    std::printf("\ndecrypted   (%zu bytes): %s\n", data.size(), back.c_str());
    if (back != sample) {
        std::fprintf(stderr, "round trip failed\n");
        return 1;
    }
    std::printf("round trip: ok\n");
    return 0;
}
