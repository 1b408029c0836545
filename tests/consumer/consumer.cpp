// A C++ user of clscrypt: a round trip, a wrong key caught as the library's
// exception type (which must cross the shared library's boundary), a digest.
#include <clscrypt/clscrypt.hpp>

#include <cstdio>
#include <vector>

int main() {
    clscrypt::clsToString cipher;
    const std::vector<std::uint8_t> message = {'s', 'e', 'c', 'r', 'e', 't'};
    std::vector<std::uint8_t> data = message;
    cipher.EncryptByte(data, u"my key");
    if (data.size() != 24) return std::puts("wrong ciphertext length"), 1;
    cipher.DecryptByte(data);
    if (data != message) return std::puts("round trip failed"), 1;

    cipher.EncryptByte(data);
    try {
        clscrypt::clsToString(clscrypt::CodePage::FromNumber(1251)).DecryptByte(data, u"other key");
        return std::puts("a wrong key went unnoticed"), 1;
    } catch (const clscrypt::RuntimeError& e) {
        if (e.Number() != clscrypt::RuntimeError::ClassError) return std::puts("wrong error number"), 1;
    }
    if (clscrypt::clsHsh().SHA256(u"abc") != "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad") {
        return std::puts("wrong digest"), 1;
    }
    std::puts("C++ consumer: ok");
    return 0;
}
