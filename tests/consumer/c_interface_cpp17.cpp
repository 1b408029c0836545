// A C++17 program that uses clscrypt through its C interface only: its
// target sets CLSCRYPT_C_INTERFACE_ONLY, so linking clscrypt must leave its
// standard at C++17 rather than raise it to the C++ headers' C++20.
#include <clscrypt/clscrypt.h>

#include <cstdio>
#include <cstring>

static_assert(__cplusplus == 201703L, "compiled under another standard than the target's C++17");

int main() {
    clscrypt_hsh* hsh = nullptr;
    if (clscrypt_hsh_new(&hsh) != CLSCRYPT_OK) return std::puts("hsh_new failed"), 1;
    clscrypt_hsh_free(hsh);
    if (std::strcmp(clscrypt_version(), CLSCRYPT_VERSION_STRING) != 0) return std::puts("version"), 1;
    std::printf("C++17 user of the C interface of clscrypt %s: ok\n", clscrypt_version());
    return 0;
}
