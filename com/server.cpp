// The DLL's entry points: the class factory, the module's lifetime, and
// registration per machine (DllRegisterServer, regsvr32) or per user
// (DllInstall, regsvr32 /n /i:user).
//
// Registration writes the keys itself rather than through RegisterTypeLib:
// the 32-bit and the 64-bit DLL share the ProgID and type library keys (the
// registry keeps one copy of them for both views) while each has its own
// CLSID and Interface keys, so unregistering one bitness removes its own
// keys and the shared ones only when the other bitness is not registered.

#include <initguid.h>

#include "com.hpp"

#include <atomic>
#include <cwchar>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/utf.hpp"

namespace clscrypt::com {

HINSTANCE g_module = nullptr;

namespace {

std::atomic<long> g_users{0};
std::mutex g_typelib_mutex;
ITypeLib* g_typelib = nullptr;

}  // namespace

void ModuleAddRef() noexcept {
    ++g_users;
}
void ModuleRelease() noexcept {
    --g_users;
}
bool ModuleInUse() noexcept {
    return g_users.load() != 0;
}

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

HRESULT GetTypeInfoOf(REFGUID guid, ITypeInfo** info) noexcept {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    std::lock_guard lock(g_typelib_mutex);
    if (g_typelib == nullptr) {
        std::wstring path;
        try {
            path = ModulePath();
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &g_typelib);
        if (FAILED(hr)) return hr;
    }
    return g_typelib->GetTypeInfoOfGuid(guid, info);
}

void ReleaseTypeLib() noexcept {
    std::lock_guard lock(g_typelib_mutex);
    if (g_typelib != nullptr) {
        g_typelib->Release();
        g_typelib = nullptr;
    }
}

HRESULT HresultOf(std::int32_t number) noexcept {
    if (number < 0) return static_cast<HRESULT>(number);  // the class's own error, 0x80040000
    return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, static_cast<unsigned>(number) & 0xFFFFU);
}

HRESULT ReportError(REFIID iid, const wchar_t* source, std::int32_t number, const std::string& description) noexcept {
    const HRESULT result = HresultOf(number);
    try {
        std::wstring text;
        struct Appender {
            std::wstring& s;
            void push_back(char16_t c) { s.push_back(static_cast<wchar_t>(c)); }
        } append{text};
        if (common::decode_utf8(description, append)) {
            // Not UTF-8: a system message in the ANSI code page.
            text.assign(description.size(), L'\0');
            const int n = MultiByteToWideChar(CP_ACP, 0, description.data(), static_cast<int>(description.size()),
                                              text.data(), static_cast<int>(text.size()));
            text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        }
        ICreateErrorInfo* create = nullptr;
        if (SUCCEEDED(CreateErrorInfo(&create))) {
            create->SetGUID(iid);
            create->SetSource(const_cast<LPOLESTR>(source));
            create->SetDescription(text.data());
            IErrorInfo* info = nullptr;
            if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
                SetErrorInfo(0, info);
                info->Release();
            }
            create->Release();
        }
    } catch (...) {
        // Out of memory while describing the error: the HRESULT still says which.
    }
    return result;
}

namespace {

// ---------------------------------------------------------------- factory

class ClassFactory final : public IClassFactory {
public:
    using Create = HRESULT (*)(REFIID, void**) noexcept;
    explicit constexpr ClassFactory(Create create) : create_(create) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // The factories are static: their references keep the module loaded.
    STDMETHODIMP_(ULONG) AddRef() override {
        ModuleAddRef();
        return 2;
    }
    STDMETHODIMP_(ULONG) Release() override {
        ModuleRelease();
        return 1;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return create_(iid, out);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            ModuleAddRef();
        } else {
            ModuleRelease();
        }
        return S_OK;
    }

private:
    Create create_;
};

ClassFactory g_tostring_factory(&CreateToString);
ClassFactory g_hsh_factory(&CreateHsh);

// ----------------------------------------------------------- registration

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

struct ClassEntry {
    const CLSID* clsid;
    const wchar_t* progid;
    const wchar_t* description;
};
const ClassEntry kClasses[] = {
    {&CLSID_clsToString, L"clscrypt.clsToString", L"clscrypt clsToString"},
    {&CLSID_clsHsh, L"clscrypt.clsHsh", L"clscrypt clsHsh"},
};

// The type library marshaler for the dual interfaces, the dispatch
// marshaler for the event interface.
const wchar_t kOleAutomationMarshaler[] = L"{00020424-0000-0000-C000-000000000046}";
const wchar_t kDispatchMarshaler[] = L"{00020420-0000-0000-C000-000000000046}";
struct InterfaceEntry {
    const IID* iid;
    const wchar_t* name;
    const wchar_t* marshaler;
};
const InterfaceEntry kInterfaces[] = {
    {&IID_IClsToString, L"IClsToString", kOleAutomationMarshaler},
    {&DIID_IClsToStringEvents, L"IClsToStringEvents", kDispatchMarshaler},
    {&IID_IClsHsh, L"IClsHsh", kOleAutomationMarshaler},
};

const wchar_t kVersion[] = L"1.0";
const wchar_t kClassesKey[] = L"Software\\Classes\\";

#ifdef _WIN64
const wchar_t kSyskind[] = L"win64";
const wchar_t kOtherSyskind[] = L"win32";
const REGSAM kOtherView = KEY_WOW64_32KEY;
#else
const wchar_t kSyskind[] = L"win32";
const wchar_t kOtherSyskind[] = L"win64";
const REGSAM kOtherView = KEY_WOW64_64KEY;
#endif

// Sets the value `name` (nullptr: the key's default) of `root\path`, creating the key.
LSTATUS SetValue(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status;
}

LSTATUS CreateKey(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    const LSTATUS status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return status;
}

// Removes `root\path` and everything under it in the given view; a missing key is fine.
LSTATUS DeleteTree(HKEY root, const std::wstring& path, REGSAM view = 0) {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS | view, &key);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    status = RegDeleteTreeW(key, nullptr);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return status;
    status = RegDeleteKeyExW(root, path.c_str(), view, 0);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view = 0) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

HRESULT FromStatus(LSTATUS status) {
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT Unregister(HKEY root) {
    const std::wstring classes = kClassesKey;
    const std::wstring libid = GuidText(LIBID_clscrypt);
    LSTATUS status = ERROR_SUCCESS;
    auto keep = [&status](LSTATUS s) {
        if (status == ERROR_SUCCESS) status = s;
    };
    for (const auto& c : kClasses) keep(DeleteTree(root, classes + L"CLSID\\" + GuidText(*c.clsid)));
    for (const auto& i : kInterfaces) keep(DeleteTree(root, classes + L"Interface\\" + GuidText(*i.iid)));

    // The type library's entry for this bitness; the version's key only
    // when the other bitness has no entry left.
    const std::wstring version = classes + L"TypeLib\\" + libid + L"\\" + kVersion;
    keep(DeleteTree(root, version + L"\\0\\" + kSyskind));
    if (!KeyExists(root, version + L"\\0\\" + kOtherSyskind)) {
        keep(DeleteTree(root, classes + L"TypeLib\\" + libid));
    }

    // The ProgIDs name one CLSID for both bitnesses: they stay while the
    // other view still serves it.
    for (const auto& c : kClasses) {
        const std::wstring clsid = classes + L"CLSID\\" + GuidText(*c.clsid) + L"\\InprocServer32";
        if (KeyExists(root, clsid, kOtherView)) continue;
        keep(DeleteTree(root, classes + c.progid));
        keep(DeleteTree(root, classes + c.progid + L".1"));
    }
    return FromStatus(status);
}

HRESULT Register(HKEY root) {
    std::wstring path;
    try {
        path = ModulePath();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    const std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
    const std::wstring classes = kClassesKey;
    const std::wstring libid = GuidText(LIBID_clscrypt);

    LSTATUS status = ERROR_SUCCESS;
    auto set = [&](const std::wstring& key, const wchar_t* name, const std::wstring& value) {
        if (status == ERROR_SUCCESS) status = SetValue(root, key, name, value);
    };
    for (const auto& c : kClasses) {
        const std::wstring clsid = GuidText(*c.clsid);
        const std::wstring progid = c.progid;
        const std::wstring versioned = progid + L".1";
        const std::wstring key = classes + L"CLSID\\" + clsid;
        set(key, nullptr, c.description);
        set(key + L"\\InprocServer32", nullptr, path);
        set(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
        set(key + L"\\ProgID", nullptr, versioned);
        set(key + L"\\VersionIndependentProgID", nullptr, progid);
        set(key + L"\\TypeLib", nullptr, libid);
        set(key + L"\\Version", nullptr, kVersion);
        if (status == ERROR_SUCCESS) status = CreateKey(root, key + L"\\Programmable");
        set(classes + progid, nullptr, c.description);
        set(classes + progid + L"\\CLSID", nullptr, clsid);
        set(classes + progid + L"\\CurVer", nullptr, versioned);
        set(classes + versioned, nullptr, c.description);
        set(classes + versioned + L"\\CLSID", nullptr, clsid);
    }
    for (const auto& i : kInterfaces) {
        const std::wstring key = classes + L"Interface\\" + GuidText(*i.iid);
        set(key, nullptr, i.name);
        set(key + L"\\ProxyStubClsid32", nullptr, i.marshaler);
        set(key + L"\\ProxyStubClsid", nullptr, i.marshaler);
        set(key + L"\\TypeLib", nullptr, libid);
        set(key + L"\\TypeLib", L"Version", kVersion);
    }
    const std::wstring version = classes + L"TypeLib\\" + libid + L"\\" + kVersion;
    set(version, nullptr, L"clscrypt");
    set(version + L"\\FLAGS", nullptr, L"0");
    set(version + L"\\HELPDIR", nullptr, folder);
    set(version + L"\\0\\" + kSyskind, nullptr, path);
    if (status != ERROR_SUCCESS) {
        Unregister(root);
        return FromStatus(status);
    }
    return S_OK;
}

// "user" (any case, surrounding blanks ignored) asks for the current user's
// classes; anything else, the machine's.
HKEY RootFor(LPCWSTR command_line) {
    if (command_line == nullptr) return HKEY_LOCAL_MACHINE;
    std::wstring text = command_line;
    while (!text.empty() && (text.back() == L' ' || text.back() == L'\t')) text.pop_back();
    std::size_t start = text.find_first_not_of(L" \t");
    text = start == std::wstring::npos ? L"" : text.substr(start);
    return _wcsicmp(text.c_str(), L"user") == 0 ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

}  // namespace
}  // namespace clscrypt::com

using namespace clscrypt::com;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (clsid == CLSID_clsToString) return g_tostring_factory.QueryInterface(iid, out);
    if (clsid == CLSID_clsHsh) return g_hsh_factory.QueryInterface(iid, out);
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
    if (ModuleInUse()) return S_FALSE;
    ReleaseTypeLib();
    return S_OK;
}

STDAPI DllRegisterServer() {
    return Register(HKEY_LOCAL_MACHINE);
}

STDAPI DllUnregisterServer() {
    return Unregister(HKEY_LOCAL_MACHINE);
}

STDAPI DllInstall(BOOL install, LPCWSTR command_line) {
    const HKEY root = RootFor(command_line);
    return install ? Register(root) : Unregister(root);
}

}  // extern "C"
