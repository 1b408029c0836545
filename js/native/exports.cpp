// The module's entry points are the C interface's functions, listed in
// CMakeLists.txt beside this file. This unit adds the one thing the
// package's JavaScript needs beyond them: the interface version it was
// compiled against, to check that the module and the JavaScript match.
#include "clscrypt/clscrypt.h"

extern "C" const char* clscrypt_wasm_header_version(void) {
    return CLSCRYPT_VERSION_STRING;
}
