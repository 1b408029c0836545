/* A C user of clscrypt: a known ciphertext, a round trip, an error. */
#include <clscrypt/clscrypt.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    /* "abc" under the tables construction gives, with both random words 0. */
    static const uint8_t known[16] = {0xF1, 0x55, 0xB7, 0xCF, 0xC1, 0xE5, 0x6C, 0x7B,
                                      0x78, 0xE2, 0xF0, 0xDF, 0x08, 0x4C, 0x40, 0x45};
    uint8_t out[16];
    size_t size = sizeof out;
    clscrypt_tostring* cipher = NULL;
    if (clscrypt_tostring_new(0, &cipher) != CLSCRYPT_OK) return puts("new failed"), 1;
    if (clscrypt_tostring_decrypt(cipher, known, sizeof known, out, &size) != CLSCRYPT_OK || size != 3 ||
        memcmp(out, "abc", 3) != 0) {
        return puts("known ciphertext"), 1;
    }
    if (clscrypt_tostring_set_key_utf8(cipher, "key", CLSCRYPT_NUL_TERMINATED) != CLSCRYPT_OK) return 1;
    size = sizeof out;
    if (clscrypt_tostring_decrypt(cipher, known, sizeof known, out, &size) != CLSCRYPT_ERROR ||
        clscrypt_error_number() != CLSCRYPT_ERR_CLASS_ERROR) {
        return puts("wrong key"), 1;
    }
    clscrypt_tostring_free(cipher);
    /* The headers' version macros are the library's version. */
    {
        char expected[32];
        snprintf(expected, sizeof expected, "%d.%d.%d", CLSCRYPT_VERSION_MAJOR, CLSCRYPT_VERSION_MINOR,
                 CLSCRYPT_VERSION_PATCH);
        if (strcmp(expected, clscrypt_version()) != 0 || strcmp(CLSCRYPT_VERSION_STRING, expected) != 0) {
            return puts("version macros"), 1;
        }
    }
    printf("C consumer of clscrypt %s: ok\n", clscrypt_version());
    return 0;
}
