#ifndef CLSCRYPT_EXPORT_H
#define CLSCRYPT_EXPORT_H

/* CLSCRYPT_API marks what the library exports: the public classes and
   functions of the C++ headers and the functions of the C interface. The
   shared library is built with hidden visibility, so everything else (the
   cipher's internals, the platform layer) stays out of its symbol table and
   out of its ABI.

   On Windows the objects of the DLL alone are compiled with
   CLSCRYPT_BUILDING_DLL (those of the static library are not, so a DLL that
   links the static library does not export its functions), and users of the
   DLL get CLSCRYPT_DLL from the CMake target (clscrypt::clscrypt_shared);
   users of the static library get neither. Usable from C and C++.

   CLSCRYPT_LOCAL marks the private member functions of an exported class,
   which would otherwise leave with the class: their signatures name the
   library's internal types, and they are no part of its ABI. Only the
   library's own code calls them. On Windows a member of a dllexport class
   cannot be held back, and the mark is empty there. */

#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(CLSCRYPT_BUILDING_DLL)
#define CLSCRYPT_API __declspec(dllexport)
#elif defined(CLSCRYPT_DLL)
#define CLSCRYPT_API __declspec(dllimport)
#else
#define CLSCRYPT_API
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define CLSCRYPT_API __attribute__((visibility("default")))
#else
#define CLSCRYPT_API
#endif

#if !defined(_WIN32) && !defined(__CYGWIN__) && (defined(__GNUC__) || defined(__clang__))
#define CLSCRYPT_LOCAL __attribute__((visibility("hidden")))
#else
#define CLSCRYPT_LOCAL
#endif

#endif /* CLSCRYPT_EXPORT_H */
