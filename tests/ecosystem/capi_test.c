/* The C interface, tested from C: every operation, both buffer styles, the
   error reporting and the progress callback. Takes a scratch folder for the
   file operations as its argument. */

#include <clscrypt/clscrypt.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int passed = 0;
static int failed = 0;

#define CHECK(cond)                                                                               \
    do {                                                                                          \
        if (cond) {                                                                               \
            ++passed;                                                                             \
        } else {                                                                                  \
            ++failed;                                                                             \
            fprintf(stderr, "%s:%d: failed: %s (last error %d: %s)\n", __FILE__, __LINE__, #cond, \
                    (int)clscrypt_error_number(), clscrypt_error_message());                      \
        }                                                                                         \
    } while (0)

static const uint8_t kAbcCipher[16] = {0xF1, 0x55, 0xB7, 0xCF, 0xC1, 0xE5, 0x6C, 0x7B,
                                       0x78, 0xE2, 0xF0, 0xDF, 0x08, 0x4C, 0x40, 0x45};
static const uint8_t kAbcdeCipher[24] = {0xF1, 0x55, 0xB7, 0xCF, 0xC1, 0xE5, 0x6C, 0x7B, 0xAA, 0xA9, 0x3D, 0x02,
                                         0x5C, 0xE2, 0x01, 0xF3, 0xE1, 0x1C, 0xB9, 0xF9, 0x14, 0x51, 0x31, 0xBD};
static const char kAbcDigest[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

static clscrypt_tostring* fresh(const char* key) {
    clscrypt_tostring* h = NULL;
    if (clscrypt_tostring_new(0, &h) != CLSCRYPT_OK) return NULL;
    if (key != NULL && clscrypt_tostring_set_key_utf8(h, key, CLSCRYPT_NUL_TERMINATED) != CLSCRYPT_OK) {
        clscrypt_tostring_free(h);
        return NULL;
    }
    return h;
}

static void test_known_answers(void) {
    clscrypt_tostring* h = fresh(NULL);
    uint8_t out[24];
    size_t size = sizeof out;
    uint8_t* alloc = NULL;
    size_t alloc_size = 0;
    CHECK(h != NULL);
    CHECK(clscrypt_tostring_decrypt(h, kAbcCipher, sizeof kAbcCipher, out, &size) == CLSCRYPT_OK);
    CHECK(size == 3 && memcmp(out, "abc", 3) == 0);
    CHECK(clscrypt_error_number() == 0 && clscrypt_error_description()[0] == '\0');
    CHECK(clscrypt_tostring_decrypt_alloc(h, kAbcdeCipher, sizeof kAbcdeCipher, &alloc, &alloc_size) == CLSCRYPT_OK);
    CHECK(alloc != NULL && alloc_size == 5 && memcmp(alloc, "abcde", 5) == 0);
    clscrypt_free(alloc);
    /* In place: the output buffer is the input. */
    memcpy(out, kAbcdeCipher, sizeof kAbcdeCipher);
    size = sizeof out;
    CHECK(clscrypt_tostring_decrypt(h, out, sizeof kAbcdeCipher, out, &size) == CLSCRYPT_OK);
    CHECK(size == 5 && memcmp(out, "abcde", 5) == 0);
    clscrypt_tostring_free(h);
}

static void test_round_trips(void) {
    static const char message[] = "attack at dawn, bring the 1997 ledgers";
    const size_t n = sizeof message - 1;
    const size_t t = clscrypt_encrypted_size(n);
    clscrypt_tostring* writer = fresh("clé secrète");
    clscrypt_tostring* reader = NULL;
    uint8_t buf[64];
    uint8_t back[64];
    size_t size = sizeof buf;
    size_t back_size = sizeof back;
    uint8_t* alloc = NULL;
    size_t alloc_size = 0;
    /* The same key as UTF-16: "clé secrète". */
    static const uint16_t key16[] = {'c', 'l', 0xE9, ' ', 's', 'e', 'c', 'r', 0xE8, 't', 'e', 0};

    CHECK(t == 8 * ((n + 12 + 7) / 8));
    CHECK(clscrypt_tostring_new(1252, &reader) == CLSCRYPT_OK);
    CHECK(clscrypt_tostring_set_key_utf16(reader, key16, CLSCRYPT_NUL_TERMINATED) == CLSCRYPT_OK);
    CHECK(clscrypt_tostring_encrypt(writer, (const uint8_t*)message, n, buf, &size) == CLSCRYPT_OK);
    CHECK(size == t);
    CHECK(clscrypt_tostring_decrypt(reader, buf, size, back, &back_size) == CLSCRYPT_OK);
    CHECK(back_size == n && memcmp(back, message, n) == 0);

    /* Two encryptions of one message differ (random first block) and both decrypt. */
    CHECK(clscrypt_tostring_encrypt_alloc(writer, (const uint8_t*)message, n, &alloc, &alloc_size) == CLSCRYPT_OK);
    CHECK(alloc_size == t && memcmp(alloc, buf, t) != 0);
    back_size = sizeof back;
    CHECK(clscrypt_tostring_decrypt(reader, alloc, alloc_size, back, &back_size) == CLSCRYPT_OK);
    CHECK(back_size == n && memcmp(back, message, n) == 0);
    clscrypt_free(alloc);

    /* The empty message. */
    size = sizeof buf;
    CHECK(clscrypt_tostring_encrypt(writer, NULL, 0, buf, &size) == CLSCRYPT_OK && size == 16);
    back_size = sizeof back;
    CHECK(clscrypt_tostring_decrypt(reader, buf, size, back, &back_size) == CLSCRYPT_OK && back_size == 0);

    /* A copy keeps the key state. */
    {
        clscrypt_tostring* copy = NULL;
        CHECK(clscrypt_tostring_clone(reader, &copy) == CLSCRYPT_OK);
        size = sizeof buf;
        CHECK(clscrypt_tostring_encrypt(writer, (const uint8_t*)"xyz", 3, buf, &size) == CLSCRYPT_OK);
        back_size = sizeof back;
        CHECK(clscrypt_tostring_decrypt(copy, buf, size, back, &back_size) == CLSCRYPT_OK);
        CHECK(back_size == 3 && memcmp(back, "xyz", 3) == 0);
        clscrypt_tostring_free(copy);
    }
    clscrypt_tostring_free(writer);
    clscrypt_tostring_free(reader);
}

static void test_buffers_and_errors(void) {
    clscrypt_tostring* h = fresh("right");
    clscrypt_tostring* wrong = fresh("wrong");
    uint8_t cipher[32];
    uint8_t out[32];
    size_t size = 0;
    size_t i;

    /* Too small: nothing written, the size needed reported. */
    memset(out, 0xAA, sizeof out);
    CHECK(clscrypt_tostring_encrypt(h, (const uint8_t*)"hello", 5, out, &size) == CLSCRYPT_BUFFER_TOO_SMALL);
    CHECK(size == 24);
    CHECK(out[0] == 0xAA);
    CHECK(clscrypt_tostring_encrypt(h, (const uint8_t*)"hello", 5, cipher, &size) == CLSCRYPT_OK && size == 24);
    size = 4;
    CHECK(clscrypt_tostring_decrypt(h, cipher, 24, out, &size) == CLSCRYPT_BUFFER_TOO_SMALL && size == 5);
    for (i = 0; i < sizeof out; ++i) CHECK(out[i] == 0xAA);

    /* A wrong key: the class error, its description, nothing written. */
    size = sizeof out;
    CHECK(clscrypt_tostring_decrypt(wrong, cipher, 24, out, &size) == CLSCRYPT_ERROR);
    CHECK(clscrypt_error_number() == CLSCRYPT_ERR_CLASS_ERROR);
    CHECK(clscrypt_error_kind() == CLSCRYPT_KIND_WRONG_KEY_OR_DAMAGED);
    CHECK(strcmp(clscrypt_error_description(), "Incorrect size descriptor in Blowfish decryption") == 0);
    CHECK(out[0] == 0xAA && size == sizeof out);

    /* Lengths that are no ciphertext. */
    size = sizeof out;
    CHECK(clscrypt_tostring_decrypt(h, cipher, 15, out, &size) == CLSCRYPT_ERROR);
    CHECK(clscrypt_error_number() == CLSCRYPT_ERR_SUBSCRIPT_OUT_OF_RANGE);
    CHECK(clscrypt_error_kind() == CLSCRYPT_KIND_WRONG_KEY_OR_DAMAGED);
    CHECK(strcmp(clscrypt_error_description(), "Subscript out of range") == 0);
    CHECK(strlen(clscrypt_error_message()) > strlen(clscrypt_error_description()));

    /* The empty key after a non-empty one. */
    CHECK(clscrypt_tostring_set_key_utf8(h, "", 0) == CLSCRYPT_INVALID_ARGUMENT);
    CHECK(clscrypt_error_number() == CLSCRYPT_ERR_SUBSCRIPT_OUT_OF_RANGE);
    CHECK(clscrypt_error_kind() == CLSCRYPT_KIND_INVALID_ARGUMENT);

    /* Bad arguments never reach the library. */
    CHECK(clscrypt_tostring_set_key_utf8(h, "\xC3\x28", 2) == CLSCRYPT_INVALID_ARGUMENT);
    CHECK(clscrypt_error_number() == 5);
    CHECK(clscrypt_tostring_encrypt(NULL, cipher, 1, out, &size) == CLSCRYPT_INVALID_ARGUMENT);
    CHECK(clscrypt_tostring_encrypt(h, NULL, 3, out, &size) == CLSCRYPT_INVALID_ARGUMENT);
    CHECK(clscrypt_tostring_encrypt(h, cipher, 3, out, NULL) == CLSCRYPT_INVALID_ARGUMENT);
    clscrypt_tostring_free(wrong);
    wrong = NULL;
    CHECK(clscrypt_tostring_new(1234, &wrong) == CLSCRYPT_INVALID_ARGUMENT && wrong == NULL);

    /* Success clears the last error. */
    CHECK(clscrypt_tostring_encrypt(h, cipher, 1, out, &size) == CLSCRYPT_OK && clscrypt_error_number() == 0);
    CHECK(clscrypt_error_kind() == CLSCRYPT_KIND_NONE);
    clscrypt_tostring_free(h);
    clscrypt_tostring_free(NULL);
}

static void test_code_pages(void) {
    clscrypt_tostring* h = NULL;
    char* hex = NULL;
    size_t length = 0;
    CHECK(clscrypt_tostring_new(0, &h) == CLSCRYPT_OK);
    CHECK(clscrypt_tostring_codepage(h) == 1252);
    /* Cyrillic "Я" is 0xDF in Windows-1251 and missing ("?") in 1252. */
    CHECK(clscrypt_tostring_str_to_hex_utf8(h, "\xD0\xAF", 2, "", 0, &hex, &length) == CLSCRYPT_OK);
    CHECK(length == 2 && strcmp(hex, "3F") == 0);
    clscrypt_free(hex);
    CHECK(clscrypt_tostring_set_codepage(h, 1251) == CLSCRYPT_OK && clscrypt_tostring_codepage(h) == 1251);
    CHECK(clscrypt_tostring_str_to_hex_utf8(h, "\xD0\xAF", 2, "", 0, &hex, &length) == CLSCRYPT_OK);
    CHECK(strcmp(hex, "DF") == 0);
    clscrypt_free(hex);
    CHECK(clscrypt_tostring_set_codepage(h, 437) == CLSCRYPT_INVALID_ARGUMENT && clscrypt_tostring_codepage(h) == 1251);
    {
        /* "Яé" fits 1252 from its second character on, 1251 up to it. */
        static const uint16_t text[] = {0x042F, 0x00E9};
        size_t index = 0;
        CHECK(clscrypt_tostring_first_unmappable(h, text, 2, &index) == CLSCRYPT_OK && index == 1);
        CHECK(clscrypt_tostring_first_unmappable(h, text, 1, &index) == CLSCRYPT_OK && index == CLSCRYPT_ALL_MAPPABLE);
        CHECK(clscrypt_tostring_set_codepage(h, 1252) == CLSCRYPT_OK);
        CHECK(clscrypt_tostring_first_unmappable(h, text, 2, &index) == CLSCRYPT_OK && index == 0);
        CHECK(clscrypt_tostring_first_unmappable(h, text, 2, NULL) == CLSCRYPT_INVALID_ARGUMENT);
    }
    clscrypt_tostring_free(h);
}

static void test_strings(void) {
    clscrypt_tostring* h = fresh("k");
    static const uint16_t text16[] = {'p', 0x20AC, 'x', 0}; /* "p€x" */
    uint16_t* enc16 = NULL;
    uint16_t* dec16 = NULL;
    char* enc8 = NULL;
    char* dec8 = NULL;
    size_t len = 0;
    size_t dec_len = 0;

    CHECK(clscrypt_tostring_encrypt_string_utf16(h, text16, 3, &enc16, &len) == CLSCRYPT_OK);
    CHECK(len == 16 && enc16[16] == 0);
    CHECK(clscrypt_tostring_decrypt_string_utf16(h, enc16, len, &dec16, &dec_len) == CLSCRYPT_OK);
    CHECK(dec_len == 3 && memcmp(dec16, text16, sizeof text16) == 0);

    CHECK(clscrypt_tostring_encrypt_string_utf8(h, "p\xE2\x82\xACx", CLSCRYPT_NUL_TERMINATED, &enc8, &len) ==
          CLSCRYPT_OK);
    CHECK(clscrypt_tostring_decrypt_string_utf8(h, enc8, len, &dec8, &dec_len) == CLSCRYPT_OK);
    CHECK(dec_len == 5 && strcmp(dec8, "p\xE2\x82\xACx") == 0);
    clscrypt_free(dec8);
    dec8 = NULL;
    /* The UTF-16 ciphertext decrypts through the UTF-8 form too. */
    {
        uint16_t* back16 = NULL;
        size_t back_len = 0;
        CHECK(clscrypt_tostring_decrypt_string_utf16(h, enc16, 16, &back16, &back_len) == CLSCRYPT_OK);
        CHECK(back_len == 3 && back16[1] == 0x20AC);
        clscrypt_free(back16);
    }
    CHECK(clscrypt_tostring_decrypt_string_utf8(h, "", 0, &dec8, &dec_len) == CLSCRYPT_ERROR);
    CHECK(clscrypt_error_number() == CLSCRYPT_ERR_SUBSCRIPT_OUT_OF_RANGE && dec8 == NULL);
    clscrypt_free(enc16);
    clscrypt_free(dec16);
    clscrypt_free(enc8);
    clscrypt_tostring_free(h);
}

static void test_hex(void) {
    clscrypt_tostring* h = fresh(NULL);
    char* out = NULL;
    size_t len = 0;
    CHECK(clscrypt_tostring_str_to_hex_utf8(h, "AB", 2, "-+", 2, &out, &len) == CLSCRYPT_OK);
    CHECK(len == 6 && strcmp(out, "41--42") == 0);
    clscrypt_free(out);
    CHECK(clscrypt_tostring_hex_to_str_utf8(h, "41 42", CLSCRYPT_NUL_TERMINATED, 1, &out, &len) == CLSCRYPT_OK);
    CHECK(len == 2 && strcmp(out, "AB") == 0);
    clscrypt_free(out);
    /* "E9" is é in Windows-1252: two bytes of UTF-8. */
    CHECK(clscrypt_tostring_hex_to_str_utf8(h, "E9", 2, 0, &out, &len) == CLSCRYPT_OK);
    CHECK(len == 2 && strcmp(out, "\xC3\xA9") == 0);
    clscrypt_free(out);
    {
        /* The UTF-16 forms: "é€" in Windows-1252 is E9 80. */
        static const uint16_t text[] = {0xE9, 0x20AC};
        static const uint16_t sep[] = {':'};
        uint16_t* hex16 = NULL;
        uint16_t* back16 = NULL;
        size_t back_len = 0;
        CHECK(clscrypt_tostring_str_to_hex_utf16(h, text, 2, sep, 1, &hex16, &len) == CLSCRYPT_OK);
        CHECK(len == 5 && hex16[0] == 'E' && hex16[1] == '9' && hex16[2] == ':' && hex16[3] == '8' && hex16[5] == 0);
        CHECK(clscrypt_tostring_hex_to_str_utf16(h, hex16, len, 1, &back16, &back_len) == CLSCRYPT_OK);
        CHECK(back_len == 2 && back16[0] == 0xE9 && back16[1] == 0x20AC);
        clscrypt_free(hex16);
        clscrypt_free(back16);
    }
    CHECK(clscrypt_tostring_hex_to_str_utf8(h, "4G", 2, 0, &out, &len) == CLSCRYPT_ERROR);
    CHECK(clscrypt_error_number() == CLSCRYPT_ERR_SUBSCRIPT_OUT_OF_RANGE);
    CHECK(clscrypt_tostring_hex_to_str_utf8(h, "4142", 4, -2, &out, &len) == CLSCRYPT_ERROR);
    CHECK(clscrypt_error_number() == CLSCRYPT_ERR_DIVISION_BY_ZERO);
    clscrypt_tostring_free(h);
}

struct progress_log {
    int calls;
    int32_t last;
    int increasing;
    int stop_after;
};

static int on_progress(int32_t* percent, void* user) {
    struct progress_log* log = (struct progress_log*)user;
    if (*percent < log->last) log->increasing = 0;
    log->last = *percent;
    ++log->calls;
    return log->stop_after > 0 && log->calls >= log->stop_after;
}

static void test_progress(void) {
    enum { kSize = 100000 };
    clscrypt_tostring* h = fresh("p");
    uint8_t* data = (uint8_t*)calloc(kSize, 1);
    uint8_t* out = NULL;
    size_t out_size = 0;
    struct progress_log log = {0, 0, 1, 0};

    CHECK(clscrypt_tostring_set_progress(h, on_progress, &log) == CLSCRYPT_OK);
    CHECK(clscrypt_tostring_encrypt_alloc(h, data, kSize, &out, &out_size) == CLSCRYPT_OK);
    CHECK(log.calls > 2 && log.last == 100 && log.increasing);
    clscrypt_free(out);

    /* A callback that asks to stop. */
    log.calls = 0;
    log.last = 0;
    log.stop_after = 2;
    out = NULL;
    CHECK(clscrypt_tostring_encrypt_alloc(h, data, kSize, &out, &out_size) == CLSCRYPT_CANCELLED);
    CHECK(log.calls == 2 && out == NULL);
    CHECK(clscrypt_error_number() == 18 && clscrypt_error_kind() == CLSCRYPT_KIND_CANCELLED);

    /* A size probe answers from the length alone: no callback runs. */
    log.calls = 0;
    log.stop_after = 0;
    out_size = 0;
    CHECK(clscrypt_tostring_encrypt(h, data, kSize, NULL, &out_size) == CLSCRYPT_BUFFER_TOO_SMALL);
    CHECK(out_size == clscrypt_encrypted_size(kSize) && log.calls == 0);
    CHECK(clscrypt_error_kind() == CLSCRYPT_KIND_BUFFER_TOO_SMALL);

    /* Removed, it is not called. */
    log.calls = 0;
    CHECK(clscrypt_tostring_set_progress(h, NULL, NULL) == CLSCRYPT_OK);
    CHECK(clscrypt_tostring_encrypt_alloc(h, data, kSize, &out, &out_size) == CLSCRYPT_OK && log.calls == 0);
    clscrypt_free(out);
    free(data);
    clscrypt_tostring_free(h);
}

static int write_file(const char* path, const char* content) {
    FILE* f = fopen(path, "wb");
    if (f == NULL) return 0;
    fputs(content, f);
    return fclose(f) == 0;
}

static int file_equals(const char* path, const char* content) {
    char buf[256];
    size_t n;
    FILE* f = fopen(path, "rb");
    if (f == NULL) return 0;
    n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    return n == strlen(content) && memcmp(buf, content, n) == 0;
}

static void test_files(const char* dir) {
    static const char content[] = "rows of the 1998 ledger\n";
    char plain[512], sealed[512], opened[512], missing[512];
    clscrypt_tostring* old_key = fresh("old");
    clscrypt_tostring* new_key = fresh("new");
    /* Paths are UTF-8: the library makes and reads the non-ASCII one (fopen
       would take the system's code page on Windows). */
    snprintf(plain, sizeof plain, "%s/ledger.txt", dir);
    snprintf(sealed, sizeof sealed, "%s/ledger \xC3\xA9t\xC3\xA9 \xE5\xA0\xB1\xE5\x91\x8A.cls", dir);
    snprintf(opened, sizeof opened, "%s/ledger.out", dir);
    snprintf(missing, sizeof missing, "%s/no such file", dir);
    remove(opened);

    CHECK(write_file(plain, content));
    CHECK(clscrypt_tostring_encrypt_file(old_key, plain, sealed) == CLSCRYPT_OK);
    CHECK(clscrypt_tostring_decrypt_file(old_key, sealed, opened) == CLSCRYPT_OK);
    CHECK(file_equals(opened, content));

    /* Re-keyed in place, only the new key opens it. */
    CHECK(clscrypt_tostring_rekey_file(new_key, old_key, sealed, sealed) == CLSCRYPT_OK);
    CHECK(clscrypt_tostring_decrypt_file(old_key, sealed, opened) == CLSCRYPT_ERROR);
    CHECK(clscrypt_error_number() == CLSCRYPT_ERR_CLASS_ERROR);
    CHECK(clscrypt_error_kind() == CLSCRYPT_KIND_WRONG_KEY_OR_DAMAGED);
    remove(opened);
    CHECK(clscrypt_tostring_decrypt_file(new_key, sealed, opened) == CLSCRYPT_OK);
    CHECK(file_equals(opened, content));

    /* The same number as a wrong key; the kind tells them apart. */
    CHECK(clscrypt_tostring_encrypt_file(old_key, missing, sealed) == CLSCRYPT_ERROR);
    CHECK(clscrypt_error_number() == CLSCRYPT_ERR_CLASS_ERROR);
    CHECK(clscrypt_error_kind() == CLSCRYPT_KIND_SOURCE_MISSING);
    CHECK(strstr(clscrypt_error_description(), "Source file does not exist") != NULL);
    CHECK(clscrypt_tostring_encrypt_file(old_key, NULL, sealed) == CLSCRYPT_INVALID_ARGUMENT);
    clscrypt_tostring_free(old_key);
    clscrypt_tostring_free(new_key);
}

static void test_digests(void) {
    clscrypt_hsh* hsh = NULL;
    char hex[65];
    char other[65];
    uint8_t digest[32];
    static const uint16_t abc16[] = {'a', 'b', 'c'};
    static const uint16_t high[] = {0x20AC};
    static const uint16_t low[] = {0x00AC};

    CHECK(clscrypt_hsh_new(&hsh) == CLSCRYPT_OK);
    CHECK(clscrypt_hsh_sha256_utf8(hsh, "abc", 3, hex) == CLSCRYPT_OK && strcmp(hex, kAbcDigest) == 0);
    CHECK(clscrypt_hsh_sha256_utf16(hsh, abc16, 3, hex) == CLSCRYPT_OK && strcmp(hex, kAbcDigest) == 0);
    /* One byte per character, its low 8 bits: U+20AC hashes like U+00AC. */
    CHECK(clscrypt_hsh_sha256_utf16(hsh, high, 1, hex) == CLSCRYPT_OK);
    CHECK(clscrypt_hsh_sha256_utf16(hsh, low, 1, other) == CLSCRYPT_OK && strcmp(hex, other) == 0);
    CHECK(clscrypt_hsh_sha256_utf8(hsh, "\xE2\x82\xAC", 3, other) == CLSCRYPT_OK && strcmp(hex, other) == 0);
    CHECK(clscrypt_sha256((const uint8_t*)"abc", 3, digest) == CLSCRYPT_OK);
    CHECK(digest[0] == 0xBA && digest[31] == 0xAD);
    CHECK(clscrypt_hsh_sha256_utf8(NULL, "abc", 3, hex) == CLSCRYPT_INVALID_ARGUMENT);
    clscrypt_hsh_free(hsh);
}

/* Values: the known answer "abc" (no key) in hex, candidates, per-value
   errors, and the buffer protocol. */
static void test_values(void) {
    static const char* const kA[] = {"A"};
    static const char* const kAB[] = {"A", "B"};
    const clscrypt_key_history none = {NULL, NULL, 0};
    const clscrypt_key_history a = {kA, NULL, 1};
    const clscrypt_key_history ab = {kAB, NULL, 2};
    const clscrypt_key_history candidates[] = {none, a};
    clscrypt_values* reader = NULL;
    clscrypt_values* writer = NULL;
    char hex[64];
    char out[64];
    size_t size = sizeof hex;
    size_t candidate = 99;
    size_t i;

    CHECK(clscrypt_values_new(candidates, 2, &ab, 0, "-", 0, &reader) == CLSCRYPT_OK);
    for (i = 0; i < sizeof kAbcCipher; ++i) sprintf(hex + 2 * i, "%02x", kAbcCipher[i]);
    CHECK(clscrypt_values_decrypt(reader, hex, 32, CLSCRYPT_STORED_HEX, CLSCRYPT_PLAIN_TEXT, out, &size, &candidate) ==
          CLSCRYPT_OK);
    CHECK(size == 3 && memcmp(out, "abc", 3) == 0 && candidate == 0);

    /* A value of the second candidate, re-keyed to the target [A, B]. */
    CHECK(clscrypt_values_new(&a, 1, NULL, 0, NULL, 0, &writer) == CLSCRYPT_OK);
    size = sizeof hex;
    CHECK(clscrypt_values_encrypt(writer, "xyz", 3, CLSCRYPT_PLAIN_TEXT, CLSCRYPT_STORED_BASE64, hex, &size) ==
          CLSCRYPT_OK);
    CHECK(size == 24);
    {
        char rekeyed[64];
        size_t rekeyed_size = 8; /* too small: told the size needed */
        CHECK(clscrypt_values_rekey(reader, hex, size, CLSCRYPT_STORED_BASE64, CLSCRYPT_STORED_HEX, rekeyed,
                                    &rekeyed_size, &candidate) == CLSCRYPT_BUFFER_TOO_SMALL);
        CHECK(rekeyed_size == 16 * 3 - 1);
        CHECK(clscrypt_values_rekey(reader, hex, size, CLSCRYPT_STORED_BASE64, CLSCRYPT_STORED_HEX, rekeyed,
                                    &rekeyed_size, &candidate) == CLSCRYPT_OK);
        CHECK(candidate == 1 && rekeyed[2] == '-');
        /* The reader's candidates do not include [A, B]: a wrong key, told by kind. */
        size = sizeof out;
        CHECK(clscrypt_values_decrypt(reader, rekeyed, rekeyed_size, CLSCRYPT_STORED_HEX, CLSCRYPT_PLAIN_TEXT, out,
                                      &size, NULL) == CLSCRYPT_ERROR);
        CHECK(clscrypt_error_kind() == CLSCRYPT_KIND_WRONG_KEY_OR_DAMAGED);
        CHECK(clscrypt_error_number() == CLSCRYPT_ERR_CLASS_ERROR);
    }
    size = sizeof out;
    CHECK(clscrypt_values_decrypt(reader, "not hex", 7, CLSCRYPT_STORED_HEX, CLSCRYPT_PLAIN_TEXT, out, &size, NULL) ==
          CLSCRYPT_INVALID_ARGUMENT);
    CHECK(clscrypt_error_kind() == CLSCRYPT_KIND_INVALID_ARGUMENT);
    {
        /* A batch, packed: the known answer, two values of the second
           candidate (encrypted by the writer in a batch), one not in its form. */
        const size_t plain_offsets[] = {0, 3, 7};
        char packed[128];
        size_t packed_offsets[5];
        clscrypt_value_outcome outcomes[4];
        char results[64];
        size_t result_offsets[5];
        for (i = 0; i < sizeof kAbcCipher; ++i) sprintf(packed + 2 * i, "%02x", kAbcCipher[i]);
        size = sizeof packed - 32;
        CHECK(clscrypt_values_encrypt_many(writer, "xyzuvwz", plain_offsets, 2, CLSCRYPT_PLAIN_TEXT,
                                           CLSCRYPT_STORED_HEX, packed + 32, &size, packed_offsets + 1,
                                           outcomes) == CLSCRYPT_OK);
        CHECK(size == 64 && packed_offsets[2] == 32 && outcomes[0].kind == CLSCRYPT_KIND_NONE);
        memcpy(packed + 96, "not hex", 7);
        packed_offsets[0] = 0;
        packed_offsets[1] = 32;
        packed_offsets[2] = 64;
        packed_offsets[3] = 96;
        packed_offsets[4] = 103;
        size = 4; /* too small: told the total needed */
        CHECK(clscrypt_values_decrypt_many(reader, packed, packed_offsets, 4, CLSCRYPT_STORED_HEX, CLSCRYPT_PLAIN_TEXT,
                                           results, &size, result_offsets, outcomes) == CLSCRYPT_BUFFER_TOO_SMALL);
        CHECK(size == 10);
        CHECK(clscrypt_values_decrypt_many(reader, packed, packed_offsets, 4, CLSCRYPT_STORED_HEX, CLSCRYPT_PLAIN_TEXT,
                                           results, &size, result_offsets, outcomes) == CLSCRYPT_OK);
        CHECK(size == 10 && memcmp(results, "abcxyzuvwz", 10) == 0);
        CHECK(result_offsets[1] == 3 && result_offsets[2] == 6 && result_offsets[3] == 10 && result_offsets[4] == 10);
        CHECK(outcomes[0].kind == CLSCRYPT_KIND_NONE && outcomes[0].candidate == 0);
        CHECK(outcomes[1].kind == CLSCRYPT_KIND_NONE && outcomes[1].candidate == 1);
        CHECK(outcomes[2].kind == CLSCRYPT_KIND_NONE && outcomes[2].candidate == 1);
        CHECK(outcomes[3].kind == CLSCRYPT_KIND_INVALID_ARGUMENT);
        size = sizeof results;
        CHECK(clscrypt_values_rekey_many(reader, packed, packed_offsets, 2, CLSCRYPT_STORED_HEX, CLSCRYPT_STORED_BASE64,
                                         results, &size, result_offsets, outcomes) == CLSCRYPT_OK);
        CHECK(size == 48 && result_offsets[1] == 24 && outcomes[1].candidate == 1);
        packed_offsets[1] = 70; /* offsets that fall */
        CHECK(clscrypt_values_decrypt_many(reader, packed, packed_offsets, 4, CLSCRYPT_STORED_HEX, CLSCRYPT_PLAIN_TEXT,
                                           results, &size, result_offsets, outcomes) == CLSCRYPT_INVALID_ARGUMENT);
    }
    clscrypt_values_free(writer);
    CHECK(clscrypt_values_new(NULL, 0, NULL, 0, NULL, 0, &writer) == CLSCRYPT_INVALID_ARGUMENT && writer == NULL);
    CHECK(clscrypt_error_kind() == CLSCRYPT_KIND_INVALID_ARGUMENT);
    clscrypt_values_free(reader);
}

/* Values a C caller can put in an enumerated argument: in C an enumeration
   is an int, and the library must read it as one (UndefinedBehavior-
   Sanitizer's enumeration check watches the library's side). */
static void test_enumerations_out_of_range(void) {
    const char* keys[] = {"k"};
    const clscrypt_key_history history = {keys, NULL, 1};
    clscrypt_values* v = NULL;
    char out[256];
    size_t size = sizeof out;
    CHECK(clscrypt_values_new(&history, 1, NULL, 0, NULL, 0, &v) == CLSCRYPT_OK);
    CHECK(clscrypt_values_encrypt(v, "x", 1, (clscrypt_plain_form)7, CLSCRYPT_STORED_HEX, out, &size) ==
          CLSCRYPT_INVALID_ARGUMENT);
    CHECK(clscrypt_error_kind() == CLSCRYPT_KIND_INVALID_ARGUMENT);
    size = sizeof out;
    CHECK(clscrypt_values_encrypt(v, "x", 1, CLSCRYPT_PLAIN_TEXT, (clscrypt_stored_form)-1, out, &size) ==
          CLSCRYPT_INVALID_ARGUMENT);
    size = sizeof out;
    CHECK(clscrypt_values_decrypt(v, "00", 2, (clscrypt_stored_form)9, CLSCRYPT_PLAIN_TEXT, out, &size, NULL) ==
          CLSCRYPT_INVALID_ARGUMENT);
    clscrypt_values_free(v);
}

int main(int argc, char** argv) {
    const char* dir = argc > 1 ? argv[1] : ".";
    CHECK(strcmp(clscrypt_version(), CLSCRYPT_EXPECTED_VERSION) == 0);
    test_known_answers();
    test_round_trips();
    test_buffers_and_errors();
    test_code_pages();
    test_strings();
    test_hex();
    test_progress();
    test_files(dir);
    test_digests();
    test_values();
    test_enumerations_out_of_range();
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
