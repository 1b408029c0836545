# Cross build for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64),
# tests run under Wine (Debian: wine64). Used by the `windows` preset:
#   cmake --workflow --preset windows        (or scripts/windows-test.sh)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The POSIX-threads flavour: its C++ runtime has std::thread and std::mutex.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes go into each program and DLL, so they run on a bare
# Windows (and under Wine) without MinGW's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Programs built here run under Wine: CTest's tests and GoogleTest's test
# discovery both go through it.
find_program(CLSCRYPT_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine NO_CMAKE_FIND_ROOT_PATH)
if(CLSCRYPT_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CLSCRYPT_WINE})
endif()

# CLI11 is header-only: take the build machine's headers, and only those.
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/../cross CACHE PATH "CLI11's package for cross builds")
