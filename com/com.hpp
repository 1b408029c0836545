#pragma once

// What the parts of clscrypt_com.dll share: the module's object count, the
// type library embedded in it, the error reporting and the factories of the
// two classes. The classes themselves only translate between automation
// types and the library's clsToString and clsHsh.

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <string>

#include "clscrypt_com_h.h"

namespace clscrypt::com {

/// The DLL's own handle (set in DllMain).
extern HINSTANCE g_module;

/// Live objects and LockServer locks: DllCanUnloadNow says S_OK at zero.
void ModuleAddRef() noexcept;
void ModuleRelease() noexcept;
[[nodiscard]] bool ModuleInUse() noexcept;

/// The type information for `guid` from the type library embedded in this
/// DLL (loaded once, released when the module is no longer in use).
HRESULT GetTypeInfoOf(REFGUID guid, ITypeInfo** info) noexcept;
void ReleaseTypeLib() noexcept;

/// Records an error for the calling thread (IErrorInfo) as the legacy class
/// raised it and returns its HRESULT: 0x800A0000 + number for the run-time
/// errors (VB reads back the number), the number itself for the class's own
/// error (0x80040000).
HRESULT ReportError(REFIID iid, const wchar_t* source, std::int32_t number, const std::string& description) noexcept;

/// The HRESULT of a legacy error number.
[[nodiscard]] HRESULT HresultOf(std::int32_t number) noexcept;

HRESULT CreateToString(REFIID iid, void** out) noexcept;
HRESULT CreateHsh(REFIID iid, void** out) noexcept;

}  // namespace clscrypt::com
