// The COM server's contract test: a client of clscrypt_com.dll through COM
// only (the server must be registered), with the library linked in as the
// oracle. Early-bound calls through the dual interface, late-bound calls in
// the argument shapes script hosts and VBA send, every error number and
// description against what the library raises for the same call, Progress
// through a connection point (write-back included), a caller in the
// multi-threaded apartment, and the shared known answers.
//
// Prints each failure, then "N passed, N failed"; exits 1 on any failure.

#include <initguid.h>
#include <windows.h>
#include <oleauto.h>
#include <olectl.h>
#include <cguid.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "clscrypt/cipher.hpp"
#include "clscrypt/digest.hpp"
#include "clscrypt/error.hpp"
#include "clscrypt_com_h.h"
#include "com_cases.hpp"

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const std::string& what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

std::string Narrow(std::u16string_view s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::vector<std::uint8_t> FromHex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Owns a BSTR.
struct Bstr {
    BSTR b = nullptr;
    Bstr() = default;
    explicit Bstr(std::u16string_view s) : b(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(s.data()), static_cast<UINT>(s.size()))) {}
    ~Bstr() { SysFreeString(b); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR* Out() {
        SysFreeString(b);
        b = nullptr;
        return &b;
    }
    std::u16string Text() const {
        return b == nullptr ? std::u16string() : std::u16string(reinterpret_cast<const char16_t*>(b), SysStringLen(b));
    }
};

SAFEARRAY* MakeArray(const std::vector<std::uint8_t>& bytes, LONG lower = 0) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, lower, static_cast<ULONG>(bytes.size()));
    if (!bytes.empty()) std::memcpy(a->pvData, bytes.data(), bytes.size());
    return a;
}

std::vector<std::uint8_t> ArrayBytes(SAFEARRAY* a) {
    if (a == nullptr) return {};
    const auto* p = static_cast<const std::uint8_t*>(a->pvData);
    return {p, p + a->rgsabound[0].cElements};
}

// The error a call left: its HRESULT (or EXCEPINFO scode) and description.
struct Failure {
    HRESULT hr = S_OK;
    std::u16string description;
};

Failure LastError(HRESULT hr) {
    Failure f{hr, {}};
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
        Bstr d;
        info->GetDescription(d.Out());
        f.description = d.Text();
        info->Release();
    }
    return f;
}

// The legacy error the library raises for the same call.
Failure Expected(const std::function<void()>& call) {
    try {
        call();
    } catch (const clscrypt::RuntimeError& e) {
        const std::int32_t number = e.Number();
        const HRESULT hr = number < 0 ? static_cast<HRESULT>(number) : MAKE_HRESULT(1, FACILITY_CONTROL, number);
        // The library's descriptions are UTF-8, but for the system's own
        // messages in file errors, which come in the ANSI code page.
        const std::string& d = e.Description();
        std::wstring w(d.size(), L'\0');
        int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, d.data(), static_cast<int>(d.size()), w.data(),
                                    static_cast<int>(w.size()));
        if (n <= 0 && !d.empty()) {
            n = MultiByteToWideChar(CP_ACP, 0, d.data(), static_cast<int>(d.size()), w.data(), static_cast<int>(w.size()));
        }
        w.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return {hr, std::u16string(w.begin(), w.end())};
    }
    return {};
}

// ---------------------------------------------------------- late binding

struct LateResult {
    HRESULT hr = S_OK;
    VARIANT value;
    EXCEPINFO excep{};
    LateResult() { VariantInit(&value); }
    ~LateResult() {
        VariantClear(&value);
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrHelpFile);
    }
    LateResult(const LateResult&) = delete;
    LateResult& operator=(const LateResult&) = delete;
    std::u16string Text() const {
        return value.vt == VT_BSTR ? std::u16string(reinterpret_cast<const char16_t*>(value.bstrVal), SysStringLen(value.bstrVal))
                                   : std::u16string();
    }
    HRESULT Scode() const { return hr == DISP_E_EXCEPTION ? excep.scode : hr; }
    std::u16string Description() const {
        return excep.bstrDescription == nullptr ? std::u16string()
                                                : std::u16string(reinterpret_cast<const char16_t*>(excep.bstrDescription));
    }
};

// Calls `name` with `args` in source order (reversed here as IDispatch wants them).
void Late(IDispatch* d, const wchar_t* name, WORD flags, std::vector<VARIANT> args, LateResult& r,
          std::vector<std::pair<const wchar_t*, VARIANT>> named = {}) {
    std::vector<LPOLESTR> names{const_cast<LPOLESTR>(name)};
    for (auto& n : named) names.push_back(const_cast<LPOLESTR>(n.first));
    std::vector<DISPID> ids(names.size());
    r.hr = d->GetIDsOfNames(IID_NULL, names.data(), static_cast<UINT>(names.size()), LOCALE_USER_DEFAULT, ids.data());
    if (FAILED(r.hr)) return;
    std::vector<VARIANT> reversed;
    std::vector<DISPID> named_ids;
    for (std::size_t i = named.size(); i-- > 0;) {
        reversed.push_back(named[i].second);
        named_ids.push_back(ids[i + 1]);
    }
    for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(*it);
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), named_ids.empty() ? nullptr : named_ids.data(), static_cast<UINT>(reversed.size()),
                      static_cast<UINT>(named_ids.size())};
    if (flags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &put;
        params.cNamedArgs = 1;
    }
    UINT arg_err = 0;
    r.hr = d->Invoke(ids[0], IID_NULL, LOCALE_USER_DEFAULT, flags, &params, flags == DISPATCH_PROPERTYPUT ? nullptr : &r.value,
                     &r.excep, &arg_err);
}

VARIANT ByVal(BSTR b) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = b;
    return v;
}
VARIANT ByVal(LONG n) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = n;
    return v;
}
VARIANT ByRef(VARIANT* inner) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | VT_VARIANT;
    v.pvarVal = inner;
    return v;
}
VARIANT Missing() {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

// ---------------------------------------------------------------- events

class Sink final : public IDispatch {
public:
    std::vector<LONG> seen;
    std::function<void(LONG&)> on_event;
    HRESULT fail_with = S_OK;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID_IClsToStringEvents) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO* e, UINT*) override {
        if (id != 1 || p->cArgs != 1 || p->rgvarg[0].vt != (VT_BYREF | VT_I4)) return DISP_E_MEMBERNOTFOUND;
        LONG& percent = *p->rgvarg[0].plVal;
        seen.push_back(percent);
        if (on_event) on_event(percent);
        if (fail_with != S_OK) {
            *e = EXCEPINFO{};
            e->scode = fail_with;
            e->bstrDescription = SysAllocString(L"the sink gave up");
            e->bstrSource = SysAllocString(L"contract sink");
            return DISP_E_EXCEPTION;
        }
        return S_OK;
    }

private:
    std::atomic<ULONG> refs_{1};
};

struct Connection {
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    HRESULT hr = E_FAIL;
    Connection(IUnknown* object, IUnknown* sink) {
        IConnectionPointContainer* c = nullptr;
        hr = object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&c));
        if (FAILED(hr)) return;
        hr = c->FindConnectionPoint(DIID_IClsToStringEvents, &point);
        c->Release();
        if (FAILED(hr)) return;
        hr = point->Advise(sink, &cookie);
    }
    ~Connection() {
        if (point != nullptr) {
            if (SUCCEEDED(hr)) point->Unadvise(cookie);
            point->Release();
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
};

IClsToString* NewToString() {
    CLSID clsid{};
    if (FAILED(CLSIDFromProgID(L"clscrypt.clsToString", &clsid))) return nullptr;
    IClsToString* o = nullptr;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IClsToString, reinterpret_cast<void**>(&o));
    return o;
}

clscrypt::clsToString Library(int codepage, const std::vector<std::u16string>& keys) {
    clscrypt::clsToString c(clscrypt::CodePage::FromNumber(codepage));
    for (const auto& k : keys) c.Key(k);
    return c;
}

}  // namespace

// ------------------------------------------------------------------ cases

static void KnownAnswers() {
    const int acp = static_cast<int>(GetACP());
    int ran = 0;
    for (const auto& c : com_cases::kKnownAnswers) {
        if (c.codepage != acp) continue;  // the server's code page is the system's: the runner runs each one
        ++ran;
        const std::string name = c.name;
        std::vector<std::u16string> keys(c.keys, c.keys + c.key_count);
        const auto cipher = FromHex(c.cipher);
        const auto message = FromHex(c.message);

        // Reads the shared ciphertext.
        IClsToString* o = NewToString();
        if (o == nullptr) {
            Check(false, name + ": no object");
            continue;
        }
        for (const auto& k : keys) {
            Bstr key(k);
            Check(o->put_Key(key.b) == S_OK, name + ": Key");
        }
        SAFEARRAY* a = MakeArray(cipher);
        Check(o->DecryptByte(&a, nullptr) == S_OK && ArrayBytes(a) == message, name + ": DecryptByte gives the message");
        // Produces what the library reads back under the same keys.
        SafeArrayDestroy(a);
        a = MakeArray(message);
        Check(o->EncryptByte(&a, nullptr) == S_OK, name + ": EncryptByte");
        std::vector<std::uint8_t> made = ArrayBytes(a);
        Check(made.size() == cipher.size() && made != cipher, name + ": a fresh ciphertext of the known length");
        auto lib = Library(c.codepage, keys);
        lib.DecryptByte(made);
        Check(made == message, name + ": the library reads what the server made");
        SafeArrayDestroy(a);
        // Strings: the library's ciphertext as text, read by the server.
        std::vector<std::uint8_t> fresh = message;
        Library(c.codepage, keys).EncryptByte(fresh);
        const auto page = clscrypt::CodePage::FromNumber(c.codepage);
        Bstr text(page.Decode(fresh));
        Bstr plain;
        Check(o->DecryptString(text.b, nullptr, plain.Out()) == S_OK && plain.Text() == page.Decode(message),
              name + ": DecryptString reads the library's ciphertext");
        o->Release();
    }
    std::printf("known answers under code page %d: %d\n", acp, ran);
    Check(ran > 0, "some known answers run under this code page");

    // Keys the code page lacks: the legacy "?" in their place.
    for (const auto& c : com_cases::kUnmappableKeys) {
        if (c.codepage != acp) continue;
        IClsToString* o = NewToString();
        Bstr key(c.key);
        SAFEARRAY* a = MakeArray(FromHex(c.cipher));
        Check(o->DecryptByte(&a, key.b) == S_OK && ArrayBytes(a) == FromHex(c.message),
              std::string(c.name) + ": read with the replaced key");
        SafeArrayDestroy(a);
        o->Release();
    }
}

static void Errors(IClsToString* o, const std::wstring& scratch) {
    struct Case {
        const char* name;
        unsigned long number;  // the HRESULT a script's Err.Number comes from
        std::function<HRESULT(IClsToString*)> com;
        std::function<void(clscrypt::clsToString&)> lib;
    };
    const std::wstring missing = scratch + L"\\no such file";
    const std::wstring nowhere = scratch + L"\\no such folder\\out.bin";
    const std::wstring plain = scratch + L"\\plain.txt";
    HANDLE h = CreateFileW(plain.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(h, "abc", 3, &written, nullptr);
    CloseHandle(h);
    const std::vector<Case> cases = {
        {"DecryptByte of 5 bytes (9)", 0x800A0009,
         [](IClsToString* x) {
             SAFEARRAY* a = MakeArray({1, 2, 3, 4, 5});
             const HRESULT hr = x->DecryptByte(&a, nullptr);
             SafeArrayDestroy(a);
             return hr;
         },
         [](clscrypt::clsToString& l) {
             std::vector<std::uint8_t> b{1, 2, 3, 4, 5};
             l.DecryptByte(b);
         }},
        {"DecryptByte under the wrong key (class error)", 0x80040000,
         [](IClsToString* x) {
             SAFEARRAY* a = MakeArray(FromHex(com_cases::kKnownAnswers[3].cipher));
             Bstr k(u"wrong");
             const HRESULT hr = x->DecryptByte(&a, k.b);
             SafeArrayDestroy(a);
             return hr;
         },
         [](clscrypt::clsToString& l) {
             std::vector<std::uint8_t> b = FromHex(com_cases::kKnownAnswers[3].cipher);
             l.DecryptByte(b, u"wrong");
         }},
        {"HexToStr with an odd digit (9)", 0x800A0009,
         [](IClsToString* x) {
             Bstr t(u"4"), r;
             return x->HexToStr(t.b, 0, r.Out());
         },
         [](clscrypt::clsToString& l) { (void)l.HexToStr(u"4", 0); }},
        {"HexToStr with Separators -2 (11)", 0x800A000B,
         [](IClsToString* x) {
             Bstr t(u"41 42"), r;
             return x->HexToStr(t.b, -2, r.Out());
         },
         [](clscrypt::clsToString& l) { (void)l.HexToStr(u"41 42", -2); }},
        {"HexToStr past the 32-bit range (6)", 0x800A0006,
         [](IClsToString* x) {
             Bstr t(u"414"), r;
             return x->HexToStr(t.b, 0x7FFFFFFF, r.Out());
         },
         [](clscrypt::clsToString& l) { (void)l.HexToStr(u"414", 0x7FFFFFFF); }},
        {"EncryptFile of a missing source (class error)", 0x80040000,
         [&](IClsToString* x) {
             Bstr s(std::u16string(missing.begin(), missing.end())), d(u"out.bin");
             return x->EncryptFile(s.b, d.b, nullptr);
         },
         [&](clscrypt::clsToString& l) { l.EncryptFile(missing, L"out.bin"); }},
        {"DecryptFile of a file too short (9)", 0x800A0009,
         [&](IClsToString* x) {
             Bstr s(std::u16string(plain.begin(), plain.end())), d(u"out.bin");
             return x->DecryptFile(s.b, d.b, nullptr);
         },
         [&](clscrypt::clsToString& l) { l.DecryptFile(plain, L"out.bin"); }},
        {"EncryptFile into a missing folder (76)", 0x800A004C,
         [&](IClsToString* x) {
             Bstr s(std::u16string(plain.begin(), plain.end())), d(std::u16string(nowhere.begin(), nowhere.end()));
             return x->EncryptFile(s.b, d.b, nullptr);
         },
         [&](clscrypt::clsToString& l) { l.EncryptFile(plain, nowhere); }},
        {"the empty Key after a non-empty one (9)", 0x800A0009,
         [](IClsToString* x) {
             Bstr k(u"set"), e(u"");
             x->put_Key(k.b);
             return x->put_Key(e.b);
         },
         [](clscrypt::clsToString& l) {
             l.Key(u"set");
             l.Key(u"");
         }},
    };
    for (const auto& c : cases) {
        clscrypt::clsToString lib;
        const Failure want = Expected([&] { c.lib(lib); });
        Check(want.hr == static_cast<HRESULT>(c.number), std::string(c.name) + ": the library raises " + Hex(want.hr));
        const Failure got = LastError(c.com(o));
        Check(got.hr == want.hr, std::string(c.name) + ": " + Hex(got.hr) + ", want " + Hex(want.hr));
        Check(got.description == want.description,
              std::string(c.name) + ": description \"" + Narrow(got.description) + "\", want \"" + Narrow(want.description) + "\"");
    }
}

static void LateBound(IClsToString* o) {
    IDispatch* d = o;
    const std::u16string text = u"Text with a NUL \0 inside and \u00e9";
    // VBScript: variables by reference in variants.
    {
        VARIANT t = ByVal(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size())));
        VARIANT k = ByVal(SysAllocString(L"vbs key"));
        LateResult enc;
        Late(d, L"EncryptString", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {ByRef(&t), ByRef(&k)}, enc);
        Check(enc.hr == S_OK && enc.value.vt == VT_BSTR, "VBScript shape: EncryptString " + Hex(enc.hr));
        VARIANT c;
        VariantInit(&c);
        VariantCopy(&c, &enc.value);
        LateResult dec;
        Late(d, L"DecryptString", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {ByRef(&c), ByRef(&k)}, dec);
        Check(dec.hr == S_OK && dec.Text() == text, "VBScript shape: DecryptString round trip (NUL kept) " + Hex(dec.hr));
        // The library reads it too.
        clscrypt::clsToString lib;
        Check(lib.DecryptString(enc.Text(), u"vbs key") == text, "VBScript shape: the library reads the ciphertext");
        VariantClear(&t);
        VariantClear(&k);
        VariantClear(&c);
    }
    // JScript: values, optional arguments left out.
    {
        struct Row {
            const wchar_t* name;
            std::vector<std::u16string> args;
            LONG separators;
            bool with_number;
            std::u16string want;
        };
        const Row rows[] = {
            {L"StrToHex", {u"AB"}, 0, false, u""},
            {L"StrToHex", {u"AB", u"-+"}, 0, false, u""},
            {L"StrToHex", {u"\u20ac"}, 0, false, u""},
            {L"HexToStr", {u"4142"}, 0, false, u"AB"},
            {L"HexToStr", {u"41 42"}, 1, true, u"AB"},
        };
        for (const auto& r : rows) {
            std::vector<VARIANT> args;
            std::vector<Bstr*> owned;
            for (const auto& a : r.args) {
                owned.push_back(new Bstr(a));
                args.push_back(ByVal(owned.back()->b));
            }
            if (r.with_number) args.push_back(ByVal(r.separators));
            LateResult res;
            Late(d, r.name, DISPATCH_METHOD, args, res);
            // The server's code page is the system's, as the library's default here.
            clscrypt::clsToString lib;
            const std::u16string want = std::u16string(reinterpret_cast<const char16_t*>(r.name)) == u"StrToHex"
                                            ? lib.StrToHex(r.args[0], r.args.size() > 1 ? std::u16string_view(r.args[1]) : u" ")
                                            : r.want;
            Check(res.hr == S_OK && res.Text() == want, "JScript shape: " + Narrow(std::u16string(reinterpret_cast<const char16_t*>(r.name))) + "(" + Narrow(r.args[0]) + ") gives " + Narrow(res.Text()));
            for (Bstr* b : owned) delete b;
        }
    }
    // VBA: a String variable by reference, a missing optional, named arguments,
    // the Key property.
    {
        Bstr t(u"vba text"), k(u"vba key");
        VARIANT tr;
        VariantInit(&tr);
        tr.vt = VT_BYREF | VT_BSTR;
        tr.pbstrVal = &t.b;
        LateResult enc;
        Late(d, L"EncryptString", DISPATCH_METHOD, {tr, Missing()}, enc);
        Check(enc.hr == S_OK, "VBA shape: EncryptString with a missing Key " + Hex(enc.hr));
        // A missing Key keeps the key in force (the VBScript call's).
        clscrypt::clsToString lib;
        lib.Key(u"vbs key");
        Check(enc.hr == S_OK && lib.DecryptString(enc.Text()) == u"vba text", "VBA shape: the missing Key keeps the key in force");

        LateResult put;
        VARIANT kr;
        VariantInit(&kr);
        kr.vt = VT_BYREF | VT_BSTR;
        kr.pbstrVal = &k.b;
        Late(d, L"Key", DISPATCH_PROPERTYPUT, {kr}, put);
        Check(put.hr == S_OK, "VBA shape: Key = ... " + Hex(put.hr));
        LateResult named;
        Bstr text(u"named");
        Late(d, L"EncryptString", DISPATCH_METHOD, {}, named, {{L"Text", ByVal(text.b)}});
        Check(named.hr == S_OK, "VBA shape: named argument Text:= " + Hex(named.hr));
        // The object's key history: the VBScript call's key, then this one.
        clscrypt::clsToString keyed;
        keyed.Key(u"vbs key");
        keyed.Key(u"vba key");
        Check(named.hr == S_OK && keyed.DecryptString(named.Text()) == u"named", "VBA shape: the Key property keyed the object");
        LateResult get;
        Late(d, L"Key", DISPATCH_PROPERTYGET, {}, get);
        Check(get.hr != S_OK, "the Key property is write-only");
    }
    // Byte arrays in every shape.
    {
        const std::vector<std::uint8_t> message{'b', 'y', 't', 'e', 's'};
        auto decrypts_to = [](const std::vector<std::uint8_t>& cipher, const std::vector<std::uint8_t>& want) {
            clscrypt::clsToString lib;
            lib.Key(u"vbs key");
            lib.Key(u"vba key");
            std::vector<std::uint8_t> b = cipher;
            try {
                lib.DecryptByte(b);
            } catch (const clscrypt::RuntimeError&) {
                return false;
            }
            return b == want;
        };
        // VBScript: a variant holding the array, by reference.
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_ARRAY | VT_UI1;
        v.parray = MakeArray(message);
        LateResult r1;
        Late(d, L"EncryptByte", DISPATCH_METHOD, {ByRef(&v)}, r1);
        Check(r1.hr == S_OK && v.vt == (VT_ARRAY | VT_UI1) && decrypts_to(ArrayBytes(v.parray), message),
              "array in a variant by reference: encrypted in place " + Hex(r1.hr));
        LateResult r2;
        Late(d, L"DecryptByte", DISPATCH_METHOD, {ByRef(&v)}, r2);
        Check(r2.hr == S_OK && ArrayBytes(v.parray) == message, "array in a variant by reference: decrypted in place");
        VariantClear(&v);

        // VBA: a Byte() variable by reference, lower bound 5.
        SAFEARRAY* a = MakeArray(message, 5);
        VARIANT ar;
        VariantInit(&ar);
        ar.vt = VT_BYREF | VT_ARRAY | VT_UI1;
        ar.pparray = &a;
        LateResult r3;
        Late(d, L"EncryptByte", DISPATCH_METHOD, {ar}, r3);
        Check(r3.hr == S_OK && a->rgsabound[0].lLbound == 5 && decrypts_to(ArrayBytes(a), message),
              "Byte() by reference with lower bound 5: resized in place, bound kept " + Hex(r3.hr));
        SafeArrayDestroy(a);

        // A by-value array: the caller's stays as it was and alive.
        SAFEARRAY* kept = MakeArray(message);
        VARIANT bv;
        VariantInit(&bv);
        bv.vt = VT_ARRAY | VT_UI1;
        bv.parray = kept;
        LateResult r4;
        Late(d, L"EncryptByte", DISPATCH_METHOD, {bv}, r4);
        Check(r4.hr == S_OK && ArrayBytes(kept) == message, "a by-value array is copied, the caller's untouched " + Hex(r4.hr));
        SafeArrayDestroy(kept);

        // An empty variable and a NULL array: the empty message.
        VARIANT e;
        VariantInit(&e);
        LateResult r5;
        Late(d, L"EncryptByte", DISPATCH_METHOD, {ByRef(&e)}, r5);
        Check(r5.hr == S_OK && e.vt == (VT_ARRAY | VT_UI1) && e.parray != nullptr && e.parray->rgsabound[0].cElements == 16 &&
                  decrypts_to(ArrayBytes(e.parray), {}),
              "an empty variable becomes the ciphertext of the empty message " + Hex(r5.hr));
        VariantClear(&e);
        SAFEARRAY* none = nullptr;
        Check(o->EncryptByte(&none, nullptr) == S_OK && none != nullptr && none->rgsabound[0].cElements == 16,
              "a NULL array: the empty message");
        SafeArrayDestroy(none);
        VARIANT nul;
        VariantInit(&nul);
        nul.vt = VT_NULL;
        LateResult r6;
        Late(d, L"DecryptByte", DISPATCH_METHOD, {nul}, r6);
        Check(r6.Scode() == static_cast<HRESULT>(0x800A0009), "DecryptByte of Null: error 9, got " + Hex(r6.Scode()));

        // Fixed, locked and two-dimensional arrays are refused.
        SAFEARRAY* fixed = MakeArray(message);
        fixed->fFeatures |= FADF_FIXEDSIZE;
        LateResult r7;
        VARIANT fr;
        VariantInit(&fr);
        fr.vt = VT_BYREF | VT_ARRAY | VT_UI1;
        fr.pparray = &fixed;
        Late(d, L"EncryptByte", DISPATCH_METHOD, {fr}, r7);
        Check(r7.Scode() == static_cast<HRESULT>(0x800A000A) && r7.Description() == u"This array is fixed or temporarily locked" &&
                  ArrayBytes(fixed) == message,
              "a fixed-size array: error 10, untouched, got " + Hex(r7.Scode()));
        fixed->fFeatures &= static_cast<USHORT>(~FADF_FIXEDSIZE);
        SafeArrayDestroy(fixed);
        SAFEARRAY* locked = MakeArray(message);
        SafeArrayLock(locked);
        Check(LastError(o->EncryptByte(&locked, nullptr)).hr == static_cast<HRESULT>(0x800A000A) && ArrayBytes(locked) == message,
              "a locked array: error 10, untouched");
        SafeArrayUnlock(locked);
        SafeArrayDestroy(locked);
        SAFEARRAYBOUND two[2] = {{2, 0}, {3, 0}};
        SAFEARRAY* square = SafeArrayCreate(VT_UI1, 2, two);
        const Failure f = LastError(o->EncryptByte(&square, nullptr));
        Check(f.hr == static_cast<HRESULT>(0x800A0005), "a two-dimensional array: error 5, got " + Hex(f.hr));
        SafeArrayDestroy(square);
        SAFEARRAY* words = SafeArrayCreateVector(VT_I4, 0, 4);
        Check(FAILED(o->EncryptByte(&words, nullptr)), "an array of longs is refused");
        SafeArrayDestroy(words);
    }
    // Errors through EXCEPINFO as a late-bound caller sees them.
    {
        Bstr t(u"41 42");
        LateResult r;
        Late(d, L"HexToStr", DISPATCH_METHOD, {ByVal(t.b), ByVal(-2)}, r);
        Check(r.hr == DISP_E_EXCEPTION && r.excep.scode == static_cast<HRESULT>(0x800A000B) && r.Description() == u"Division by zero",
              "late-bound error 11 through EXCEPINFO, got " + Hex(r.Scode()));
        Bstr junk(u"0123456789ABCDEF");
        LateResult w;
        Late(d, L"DecryptString", DISPATCH_METHOD, {ByVal(junk.b)}, w);
        clscrypt::clsToString lib;
        lib.Key(u"vbs key");
        lib.Key(u"vba key");
        const Failure want = Expected([&] { (void)lib.DecryptString(u"0123456789ABCDEF"); });
        Check(w.Scode() == static_cast<HRESULT>(0x80040000) && w.Description() == want.description,
              "late-bound class error 0x80040000 with the class's description, got " + Hex(w.Scode()) + " \"" + Narrow(w.Description()) + "\"");
    }
}

static void Events() {
    // What the library's own listeners see is what sinks must see. A sink
    // stores `store` at every event (-1: nothing).
    auto library_percents = [](std::size_t size, LONG store) {
        clscrypt::clsToString lib;
        std::vector<LONG> seen;
        lib.Progress.Subscribe([&](std::int32_t& p) {
            seen.push_back(p);
            if (store >= 0) p = store;
        });
        std::vector<std::uint8_t> b(size, 7);
        lib.EncryptByte(b);
        return seen;
    };
    const std::size_t size = 3 * 1024 * 1024;
    std::size_t plain_count = 0;
    for (LONG store : {-1L, 100L, 50L}) {
        IClsToString* o = NewToString();
        Sink* sink = new Sink;
        sink->on_event = [&](LONG& p) {
            if (store >= 0) p = store;
        };
        Sink* second = new Sink;
        {
            Connection c1(o, sink), c2(o, second);
            Check(c1.hr == S_OK && c2.hr == S_OK, "Advise");
            SAFEARRAY* a = MakeArray(std::vector<std::uint8_t>(size, 7));
            Check(o->EncryptByte(&a, nullptr) == S_OK, "EncryptByte with sinks");
            SafeArrayDestroy(a);
        }
        const auto want = library_percents(size, store);
        const std::string label = " (store " + std::to_string(store) + ")";
        Check(sink->seen == want, "the sink sees the library's Progress values" + label);
        Check(sink->seen.size() > 2 && sink->seen.front() < 100, "events between blocks" + label);
        if (store < 0) {
            plain_count = sink->seen.size();
            Check(sink->seen.back() == 100, "the closing event says 100");
            Check(second->seen == sink->seen, "the second sink sees the same values");
        } else {
            // Only a sink that stores 100 suppresses the closing event.
            Check(sink->seen.size() + (store == 100 ? 1 : 0) == plain_count,
                  "the closing event follows the write-back" + label);
            bool all = !second->seen.empty();
            for (LONG p : second->seen) all = all && p == store;
            Check(all && second->seen.size() == sink->seen.size(), "the second sink sees what the first stored" + label);
        }
        // Unadvised: no more events.
        const std::size_t before = sink->seen.size();
        SAFEARRAY* a = MakeArray(std::vector<std::uint8_t>(size, 7));
        o->EncryptByte(&a, nullptr);
        SafeArrayDestroy(a);
        Check(sink->seen.size() == before, "no events after Unadvise");
        sink->Release();
        second->Release();
        o->Release();
    }
    // A sink's error ends the operation and reaches the caller.
    {
        IClsToString* o = NewToString();
        Sink* sink = new Sink;
        sink->fail_with = static_cast<HRESULT>(0x800A0005);
        Connection c(o, sink);
        SAFEARRAY* a = MakeArray(std::vector<std::uint8_t>(size, 7));
        const Failure f = LastError(o->EncryptByte(&a, nullptr));
        Check(f.hr == static_cast<HRESULT>(0x800A0005) && f.description == u"the sink gave up" && sink->seen.size() == 1,
              "a failing sink stops the operation with its own error, got " + Hex(f.hr));
        SafeArrayDestroy(a);
        // A sink that changes the key while the operation runs: Busy, the operation unharmed.
        sink->fail_with = S_OK;
        HRESULT inner = S_OK;
        sink->on_event = [&](LONG&) {
            Bstr k(u"changed");
            if (inner == S_OK) inner = o->put_Key(k.b);
        };
        a = MakeArray({1, 2, 3});
        Check(o->EncryptByte(&a, nullptr) == S_OK && inner == static_cast<HRESULT>(0x800A0005),
              "Key from inside Progress is refused (5) and the operation completes, got " + Hex(inner));
        std::vector<std::uint8_t> back = ArrayBytes(a);
        clscrypt::clsToString lib;
        lib.DecryptByte(back);
        Check(back == std::vector<std::uint8_t>{1, 2, 3}, "the operation kept its key");
        SafeArrayDestroy(a);
        sink->Release();
        o->Release();
    }
    // Enumeration of the connection point and the class information.
    {
        IClsToString* o = NewToString();
        IProvideClassInfo2* pci = nullptr;
        GUID g{};
        Check(SUCCEEDED(o->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&pci))) &&
                  pci->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &g) == S_OK && g == DIID_IClsToStringEvents,
              "IProvideClassInfo2 names the event interface");
        if (pci != nullptr) pci->Release();
        IConnectionPointContainer* cpc = nullptr;
        o->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
        IEnumConnectionPoints* en = nullptr;
        IConnectionPoint* p = nullptr;
        ULONG n = 0;
        Check(cpc->EnumConnectionPoints(&en) == S_OK && en->Next(1, &p, &n) == S_OK && n == 1, "one connection point");
        IID iid{};
        Check(p != nullptr && p->GetConnectionInterface(&iid) == S_OK && iid == DIID_IClsToStringEvents, "of the event interface");
        if (p != nullptr) p->Release();
        if (en != nullptr) en->Release();
        cpc->Release();
        o->Release();
    }
}

static void Hsh() {
    CLSID clsid{};
    IClsHsh* h = nullptr;
    Check(CLSIDFromProgID(L"clscrypt.clsHsh", &clsid) == S_OK &&
              CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IClsHsh, reinterpret_cast<void**>(&h)) == S_OK,
          "clscrypt.clsHsh");
    if (h == nullptr) return;
    clscrypt::clsHsh lib;
    for (std::u16string text : {std::u16string(), std::u16string(u"abc"), std::u16string(u"\u20ac\u0100 and a NUL \0 too", 20)}) {
        Bstr t(text), r;
        const std::string want = lib.SHA256(text);
        Check(h->SHA256(t.b, r.Out()) == S_OK && r.Text() == std::u16string(want.begin(), want.end()), "SHA256 as the library");
        LateResult late;
        Late(h, L"SHA256", DISPATCH_METHOD, {ByVal(t.b)}, late);
        Check(late.hr == S_OK && late.Text() == std::u16string(want.begin(), want.end()), "SHA256 late-bound");
    }
    h->Release();
}

// A caller in the multi-threaded apartment reaches the apartment-threaded
// object through the type library marshaler: calls, errors and events.
static void Mta() {
    std::thread worker([] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            IClsToString* o = NewToString();
            Check(o != nullptr, "MTA: created");
            if (o != nullptr) {
                Bstr t(u"from the MTA"), k(u"mta"), c, p;
                Check(o->EncryptString(t.b, k.b, c.Out()) == S_OK && o->DecryptString(c.b, nullptr, p.Out()) == S_OK &&
                          p.Text() == u"from the MTA",
                      "MTA: round trip");
                Bstr odd(u"4"), r;
                const Failure f = LastError(o->HexToStr(odd.b, 0, r.Out()));
                // Wine's marshaler does not carry the error object between
                // apartments (Windows does): there the description is empty.
                const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
                Check(f.hr == static_cast<HRESULT>(0x800A0009) &&
                          (f.description == u"Subscript out of range" || (wine && f.description.empty())),
                      "MTA: error 9 and its description, got " + Hex(f.hr) + " \"" + Narrow(f.description) + "\"");
                const auto& ka = com_cases::kKnownAnswers[1];
                SAFEARRAY* a = MakeArray(FromHex(ka.cipher));
                IClsToString* fresh = NewToString();
                Check(fresh->DecryptByte(&a, nullptr) == S_OK && ArrayBytes(a) == FromHex(ka.message), "MTA: DecryptByte known answer");
                SafeArrayDestroy(a);
                Sink* sink = new Sink;
                sink->on_event = [](LONG& percent) { percent = 100; };
                {
                    Connection c(fresh, sink);
                    Check(c.hr == S_OK, "MTA: Advise " + Hex(c.hr));
                    a = MakeArray(std::vector<std::uint8_t>(3 * 1024 * 1024, 1));
                    Check(fresh->EncryptByte(&a, nullptr) == S_OK && a->rgsabound[0].cElements > 3 * 1024 * 1024, "MTA: EncryptByte");
                    SafeArrayDestroy(a);
                }
                std::string seen;
                for (LONG p : sink->seen) seen += std::to_string(p) + " ";
                bool closing = false;
                for (LONG p : sink->seen) closing = closing || p == 100;
                Check(sink->seen.size() > 2 && !closing, "MTA: the sink's write-back of 100 suppresses the closing event: " + seen);
                sink->Release();
                fresh->Release();
                o->Release();
            }
        }
        CoUninitialize();
    });
    worker.join();
}

int wmain(int argc, wchar_t** argv) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::wstring scratch = argc > 1 ? argv[1] : L".";
    // A section that throws (the library oracle refusing what the server
    // made) counts as one failure and the others still run.
    auto section = [](const char* name, const std::function<void()>& run) {
        try {
            run();
        } catch (const std::exception& e) {
            Check(false, std::string(name) + ": " + e.what());
        }
    };
    section("known answers", KnownAnswers);
    IClsToString* o = NewToString();
    Check(o != nullptr, "clscrypt.clsToString is registered and creates");
    if (o != nullptr) {
        section("errors", [&] { Errors(o, scratch); });
        o->Release();
        o = NewToString();
        section("late binding", [&] { LateBound(o); });
        o->Release();
        section("events", Events);
        section("multi-threaded apartment", Mta);
    }
    section("clsHsh", Hsh);
    CoUninitialize();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
