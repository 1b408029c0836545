/* The native side of js/bench/values.mjs: the same 100,000 values of 23
   characters, encrypted to hexadecimal text and decrypted back through the
   C interface's batch call, timed as the JavaScript batch is (best of 10).
   Not a test. From the project folder, after `cmake --preset release` and
   `cmake --build --preset release --target clscrypt`:
     cc -O2 -Iinclude -Ibuild/release/include js/bench/native_values.c build/release/src/libclscrypt.a -lstdc++ -lm -o build/native_values
     ./build/native_values */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "clscrypt/clscrypt.h"

enum { N = 100000, LENGTH = 23 };

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static void ok(clscrypt_status status, const char* what) {
    if (status != CLSCRYPT_OK) {
        fprintf(stderr, "%s: %s\n", what, clscrypt_error_message());
        exit(1);
    }
}

int main(void) {
    const char* key = "k";
    const size_t key_length = 1;
    const clscrypt_key_history history = {&key, &key_length, 1};
    clscrypt_values* values = NULL;
    ok(clscrypt_values_new(&history, 1, NULL, 0, NULL, 0, &values), "clscrypt_values_new");

    char* texts = malloc((size_t)N * LENGTH + 1);
    size_t* text_offsets = malloc((N + 1) * sizeof *text_offsets);
    for (size_t i = 0; i < N; i++) {
        char text[64];
        snprintf(text, sizeof text, "customer %08zu row ok", i);
        memcpy(texts + i * LENGTH, text, LENGTH);
        text_offsets[i] = i * LENGTH;
    }
    text_offsets[N] = (size_t)N * LENGTH;

    size_t hex_size = (size_t)N * 256;
    char* hex = malloc(hex_size);
    size_t* hex_offsets = malloc((N + 1) * sizeof *hex_offsets);
    clscrypt_value_outcome* outcomes = malloc(N * sizeof *outcomes);
    ok(clscrypt_values_encrypt_many(values, texts, text_offsets, N, CLSCRYPT_PLAIN_TEXT, CLSCRYPT_STORED_HEX, hex,
                                    &hex_size, hex_offsets, outcomes),
       "clscrypt_values_encrypt_many");

    char* plain = malloc((size_t)N * 256);
    size_t* plain_offsets = malloc((N + 1) * sizeof *plain_offsets);
    double best = 1e300;
    for (int run = 0; run < 10; run++) {
        size_t size = (size_t)N * 256;
        const double t = now_ms();
        ok(clscrypt_values_decrypt_many(values, hex, hex_offsets, N, CLSCRYPT_STORED_HEX, CLSCRYPT_PLAIN_TEXT, plain,
                                        &size, plain_offsets, outcomes),
           "clscrypt_values_decrypt_many");
        const double ms = now_ms() - t;
        if (ms < best) best = ms;
        if (size != (size_t)N * LENGTH || memcmp(plain, texts, size) != 0) {
            fprintf(stderr, "the values did not read back\n");
            return 1;
        }
    }
    printf("%d values of %d characters, %zu hex digits each\n", N, LENGTH, hex_offsets[1]);
    printf("clscrypt_values_decrypt_many %.3f us a value\n", best * 1000 / N);
    clscrypt_values_free(values);
    return 0;
}
