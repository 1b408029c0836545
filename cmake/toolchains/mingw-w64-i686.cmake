# Cross build for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686,
# its POSIX-threads flavour), for the 32-bit COM server (the com-x86 preset).
# Its programs run under Wine's 32-bit loader (Debian: wine32:i386).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

# The POSIX-threads flavour: its C++ runtime has std::thread and std::mutex.
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes go into each program and DLL, so they run on a bare
# Windows (and under Wine) without MinGW's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# The 32-bit loader (with wine32 installed, /usr/bin/wine is that loader).
find_program(CLSCRYPT_WINE NAMES wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(CLSCRYPT_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CLSCRYPT_WINE})
endif()

set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/../cross CACHE PATH "CLI11's package for cross builds")
