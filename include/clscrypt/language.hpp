#pragma once

// Every C++ header of clscrypt includes this one first. The headers use
// C++20 (std::span among others); under an older standard the first error a
// user meets should say so, not be a missing std::span deep inside a class.
// The C interface (clscrypt/clscrypt.h) does not include this header.

#if __cplusplus < 202002L && (!defined(_MSVC_LANG) || _MSVC_LANG < 202002L)
#error "clscrypt's C++ headers need C++20 (the C interface clscrypt/clscrypt.h works with C89 and any C++)"
#endif
