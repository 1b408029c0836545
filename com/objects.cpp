// The automation objects: clsToString and clsHsh over the library's classes.
// Everything the cipher does is the library's; this file converts BSTRs and
// SAFEARRAYs, raises Progress to connected sinks, and turns the library's
// errors into the legacy error numbers a script or VBA caller reads back.

#include "com.hpp"

#include <olectl.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "clscrypt/cipher.hpp"
#include "clscrypt/digest.hpp"
#include "clscrypt/error.hpp"
#include "clscrypt/policy.hpp"

namespace clscrypt::com {
namespace {

const wchar_t kToStringSource[] = L"clscrypt.clsToString";
const wchar_t kHshSource[] = L"clscrypt.clsHsh";

// VB's "This array is fixed or temporarily locked".
constexpr std::int32_t kArrayFixedOrLocked = 10;
constexpr std::int32_t kInternalError = 51;
constexpr std::int32_t kOutOfMemory = 7;

std::u16string_view View(BSTR text) noexcept {
    if (text == nullptr) return {};
    return {reinterpret_cast<const char16_t*>(text), SysStringLen(text)};
}

// A BSTR of the text (a NUL may stand inside); throws std::bad_alloc.
BSTR ToBstr(std::u16string_view text) {
    BSTR result = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size()));
    if (result == nullptr) throw std::bad_alloc();
    return result;
}

std::filesystem::path PathOf(BSTR text) {
    return std::filesystem::path(std::wstring(text == nullptr ? L"" : text, text == nullptr ? 0 : SysStringLen(text)));
}

// A sink's own failure, passed on to the caller of the operation as it came.
struct SinkFailure {
    HRESULT hr;
};

// Runs `body`, turning what it throws into the legacy error of the class.
template <typename Body>
HRESULT Guard(REFIID iid, const wchar_t* source, Body&& body) noexcept {
    try {
        body();
        return S_OK;
    } catch (const RuntimeError& e) {
        return ReportError(iid, source, e.Number(), e.Description());
    } catch (const SinkFailure& e) {
        return e.hr;  // its error information is the sink's, still set on this thread
    } catch (const std::bad_alloc&) {
        return ReportError(iid, source, kOutOfMemory, StandardDescription(kOutOfMemory));
    } catch (const std::exception& e) {
        return ReportError(iid, source, kInternalError, StandardDescription(kInternalError) + ": " + e.what());
    } catch (...) {
        return ReportError(iid, source, kInternalError, StandardDescription(kInternalError));
    }
}

// ------------------------------------------------------------ byte arrays

// The byte array a caller passed to EncryptByte or DecryptByte: one
// dimension of VT_UI1, any lower bound, or no array at all (an empty one).
// Refuses arrays the operation could not resize: fixed-size or locked
// (error 10), or of more than one dimension (error 5).
std::vector<std::uint8_t> ReadArray(SAFEARRAY* array) {
    std::vector<std::uint8_t> bytes;
    if (array == nullptr) return bytes;
    VARTYPE type = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(array, &type)) || type != VT_UI1 || array->cbElements != 1) {
        throw RuntimeError(ErrorKind::InvalidArgument, 13, "Type mismatch", "the array is not of bytes");
    }
    if (SafeArrayGetDim(array) != 1) {
        throw RuntimeError::FromNumber(ErrorKind::InvalidArgument, 5, "the array has more than one dimension");
    }
    if ((array->fFeatures & (FADF_FIXEDSIZE | FADF_STATIC | FADF_EMBEDDED | FADF_AUTO)) != 0 || array->cLocks != 0) {
        throw RuntimeError(ErrorKind::InvalidArgument, kArrayFixedOrLocked, "This array is fixed or temporarily locked");
    }
    bytes.resize(array->rgsabound[0].cElements);
    if (!bytes.empty()) std::memcpy(bytes.data(), array->pvData, bytes.size());
    return bytes;
}

// Puts `bytes` into `*array`, resizing it in place (its lower bound stays)
// or making a new array when there was none.
void WriteArray(SAFEARRAY** array, const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() > 0x7FFFFFFFU) throw RuntimeError::FromNumber(ErrorKind::Overflow, 6, "the array is too long");
    if (*array == nullptr) {
        SAFEARRAY* made = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        if (made == nullptr) throw std::bad_alloc();
        *array = made;
    } else {
        SAFEARRAYBOUND bound{static_cast<ULONG>(bytes.size()), (*array)->rgsabound[0].lLbound};
        const HRESULT hr = SafeArrayRedim(*array, &bound);
        if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
        if (FAILED(hr)) {
            throw RuntimeError(ErrorKind::InvalidArgument, kArrayFixedOrLocked, "This array is fixed or temporarily locked");
        }
    }
    if (!bytes.empty()) std::memcpy((*array)->pvData, bytes.data(), bytes.size());
}

// ---------------------------------------------------------- IDispatch glue

// The shared part of the dual interfaces' IDispatch: names and calls go
// through the type library, after the arguments scripts send by reference
// are unwrapped (see Unwrapped below).
class Dispatch {
public:
    explicit Dispatch(REFIID iid) : iid_(iid) {}
    ~Dispatch() {
        if (info_ != nullptr) info_->Release();
    }
    Dispatch(const Dispatch&) = delete;
    Dispatch& operator=(const Dispatch&) = delete;

    HRESULT Info(ITypeInfo** out) {
        if (info_ == nullptr) {
            const HRESULT hr = GetTypeInfoOf(iid_, &info_);
            if (FAILED(hr)) return hr;
        }
        info_->AddRef();
        *out = info_;
        return S_OK;
    }

    HRESULT GetTypeInfo(UINT index, ITypeInfo** out) {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return Info(out);
    }

    HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) {
        ITypeInfo* info = nullptr;
        HRESULT hr = Info(&info);
        if (FAILED(hr)) return hr;
        hr = DispGetIDsOfNames(info, names, count, ids);
        info->Release();
        return hr;
    }

    HRESULT Invoke(void* self, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                   UINT* arg_err, bool (*is_array_param)(DISPID, UINT));

private:
    IID iid_;
    ITypeInfo* info_ = nullptr;
};

// The arguments of one late-bound call as the type library's dispatch takes
// them. Script hosts pass variables as VT_BYREF|VT_VARIANT, which the
// dispatch refuses for typed by-reference parameters: those are unwrapped
// here. The byte array parameter gets a pointer to the caller's own array
// (resized in place, the result visible to the caller), or to a copy when
// the caller passed the array by value (its array is never freed).
class Unwrapped {
public:
    Unwrapped(const DISPPARAMS& in, DISPID id, bool (*is_array_param)(DISPID, UINT))
        : args_(in.cArgs), owned_(in.cArgs), copies_(in.cArgs, nullptr), emptied_(in.cArgs, nullptr) {
        for (UINT i = 0; i < in.cArgs; ++i) {
            VariantInit(&owned_[i]);
            const VARIANT& arg = in.rgvarg[i];
            args_[i] = arg;
            const UINT param = i < in.cNamedArgs ? static_cast<UINT>(in.rgdispidNamedArgs[i]) : in.cArgs - 1 - i;
            const bool array_param = i < in.cNamedArgs ? in.rgdispidNamedArgs[i] >= 0 && is_array_param(id, param)
                                                       : is_array_param(id, param);
            if (array_param) {
                UnwrapArray(i, arg);
            } else if ((arg.vt & VT_BYREF) != 0 && (arg.vt & VT_ARRAY) == 0) {
                // A scalar or string by reference: its value, copied.
                if (SUCCEEDED(VariantCopyInd(&owned_[i], const_cast<VARIANT*>(&arg)))) args_[i] = owned_[i];
            }
        }
        params_ = in;
        // A missing optional argument (VBA sends VT_ERROR DISP_E_PARAMNOTFOUND)
        // at the end of the list is left out, so its default applies. The
        // optional parameters of these interfaces are all last.
        const std::size_t first = in.cNamedArgs;
        while (params_.cArgs > in.cNamedArgs && args_[first].vt == VT_ERROR && args_[first].scode == DISP_E_PARAMNOTFOUND) {
            args_.erase(args_.begin() + static_cast<std::ptrdiff_t>(first));
            --params_.cArgs;
        }
        params_.rgvarg = args_.empty() ? nullptr : args_.data();
    }
    ~Unwrapped() {
        for (std::size_t i = 0; i < owned_.size(); ++i) {
            if (owned_[i].vt == VT_BSTR && owned_[i].bstrVal != nullptr) {
                Wipe(owned_[i].bstrVal, SysStringByteLen(owned_[i].bstrVal));
            }
            VariantClear(&owned_[i]);
            if (copies_[i] != nullptr) {
                if (copies_[i]->pvData != nullptr) Wipe(copies_[i]->pvData, copies_[i]->rgsabound[0].cElements);
                SafeArrayDestroy(copies_[i]);
            }
        }
    }
    Unwrapped(const Unwrapped&) = delete;
    Unwrapped& operator=(const Unwrapped&) = delete;

    DISPPARAMS* Params() { return &params_; }

    // After a failed call, a variable that was empty before is empty again.
    void RestoreEmptied() {
        for (VARIANT* v : emptied_) {
            if (v != nullptr && v->vt == (VT_ARRAY | VT_UI1) && v->parray == nullptr) v->vt = VT_EMPTY;
        }
    }

private:
    void UnwrapArray(UINT i, const VARIANT& arg) {
        constexpr VARTYPE bytes = VT_ARRAY | VT_UI1;
        if (arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal != nullptr) {
            VARIANT* inner = arg.pvarVal;
            if (inner->vt == bytes) {
                args_[i].vt = VT_BYREF | bytes;
                args_[i].pparray = &inner->parray;
            } else if (inner->vt == (VT_BYREF | bytes)) {
                args_[i] = *inner;
            } else if (inner->vt == VT_EMPTY) {
                // An empty variable becomes the byte array.
                inner->vt = bytes;
                inner->parray = nullptr;
                emptied_[i] = inner;
                args_[i].vt = VT_BYREF | bytes;
                args_[i].pparray = &inner->parray;
            } else {
                args_[i] = *inner;  // the dispatch reports the type mismatch
            }
        } else if (arg.vt == bytes) {
            // By value: the operation works on a copy of the caller's array.
            SAFEARRAY* source = arg.parray;
            if (source != nullptr) {
                const bool one_dim = SafeArrayGetDim(source) == 1;
                const ULONG count = one_dim ? source->rgsabound[0].cElements : 0;
                const LONG lower = one_dim ? source->rgsabound[0].lLbound : 0;
                SAFEARRAY* copy = nullptr;
                if (one_dim) {
                    copy = SafeArrayCreateVector(VT_UI1, lower, count);
                    if (copy != nullptr && count != 0) std::memcpy(copy->pvData, source->pvData, count);
                } else {
                    SafeArrayCopy(source, &copy);  // refused later as multi-dimensional
                }
                copies_[i] = copy;
            }
            args_[i].vt = VT_BYREF | bytes;
            args_[i].pparray = &copies_[i];
        } else if (arg.vt == VT_NULL || arg.vt == VT_EMPTY) {
            args_[i].vt = VT_BYREF | bytes;
            args_[i].pparray = &copies_[i];
        }
    }

    std::vector<VARIANT> args_;
    std::vector<VARIANT> owned_;
    std::vector<SAFEARRAY*> copies_;
    std::vector<VARIANT*> emptied_;
    DISPPARAMS params_{};
};

HRESULT Dispatch::Invoke(void* self, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                         UINT* arg_err, bool (*is_array_param)(DISPID, UINT)) {
    if (params == nullptr) return E_INVALIDARG;
    ITypeInfo* info = nullptr;
    HRESULT hr = Info(&info);
    if (FAILED(hr)) return hr;
    try {
        Unwrapped args(*params, id, is_array_param);
        SetErrorInfo(0, nullptr);
        hr = info->Invoke(self, id, flags, args.Params(), result, excep, arg_err);
        if (FAILED(hr)) args.RestoreEmptied();
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    // A failure the member reported (IErrorInfo) reaches a late-bound
    // caller as an exception with its number and description.
    if (FAILED(hr) && hr != DISP_E_EXCEPTION && HRESULT_FACILITY(hr) != FACILITY_DISPATCH && excep != nullptr) {
        IErrorInfo* error = nullptr;
        if (GetErrorInfo(0, &error) == S_OK && error != nullptr) {
            *excep = EXCEPINFO{};
            error->GetSource(&excep->bstrSource);
            error->GetDescription(&excep->bstrDescription);
            error->GetHelpFile(&excep->bstrHelpFile);
            error->GetHelpContext(&excep->dwHelpContext);
            excep->scode = hr;
            error->Release();
            hr = DISP_E_EXCEPTION;
        }
    }
    info->Release();
    return hr;
}

// --------------------------------------------------------- connection point

class ToString;

class ProgressPoint final : public IConnectionPoint {
public:
    explicit ProgressPoint(ToString& owner) : owner_(owner) {}
    ~ProgressPoint() {
        for (auto& sink : sinks_) sink.second->Release();
    }
    ProgressPoint(const ProgressPoint&) = delete;
    ProgressPoint& operator=(const ProgressPoint&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetConnectionInterface(IID* iid) override {
        if (iid == nullptr) return E_POINTER;
        *iid = DIID_IClsToStringEvents;
        return S_OK;
    }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
        if (sink == nullptr || cookie == nullptr) return E_POINTER;
        *cookie = 0;
        IDispatch* dispatch = nullptr;
        if (FAILED(sink->QueryInterface(DIID_IClsToStringEvents, reinterpret_cast<void**>(&dispatch))) &&
            FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
            return CONNECT_E_CANNOTCONNECT;
        }
        try {
            sinks_.emplace_back(++last_cookie_, dispatch);
        } catch (const std::bad_alloc&) {
            dispatch->Release();
            return E_OUTOFMEMORY;
        }
        *cookie = last_cookie_;
        return S_OK;
    }
    STDMETHODIMP Unadvise(DWORD cookie) override {
        for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
            if (it->first == cookie) {
                IDispatch* sink = it->second;
                sinks_.erase(it);
                sink->Release();
                return S_OK;
            }
        }
        return CONNECT_E_NOCONNECTION;
    }
    STDMETHODIMP EnumConnections(IEnumConnections** out) override;

    /// Raises Progress on every sink connected now, in the order they
    /// connected; each sees what the one before it stored.
    void Raise(std::int32_t& percent) {
        if (sinks_.empty()) return;
        std::vector<IDispatch*> sinks;
        sinks.reserve(sinks_.size());
        for (auto& s : sinks_) {
            s.second->AddRef();
            sinks.push_back(s.second);
        }
        struct ReleaseAll {
            std::vector<IDispatch*>& v;
            ~ReleaseAll() {
                for (IDispatch* d : v) d->Release();
            }
        } release{sinks};
        for (IDispatch* sink : sinks) {
            LONG value = percent;
            VARIANT arg;
            VariantInit(&arg);
            arg.vt = VT_BYREF | VT_I4;
            arg.plVal = &value;
            DISPPARAMS params{&arg, nullptr, 1, 0};
            EXCEPINFO excep{};
            const HRESULT hr =
                sink->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, &excep, nullptr);
            percent = value;
            // A sink without a Progress handler is not listening.
            if (hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_UNKNOWNNAME) {
                Clear(excep);
                continue;
            }
            if (FAILED(hr)) Fail(hr, excep);
        }
    }

    std::vector<std::pair<DWORD, IDispatch*>> sinks_;

private:
    static void Clear(EXCEPINFO& e) {
        SysFreeString(e.bstrSource);
        SysFreeString(e.bstrDescription);
        SysFreeString(e.bstrHelpFile);
    }

    // The sink's failure ends the operation and reaches its caller with
    // the sink's own number and description.
    [[noreturn]] static void Fail(HRESULT hr, EXCEPINFO& excep) {
        if (hr == DISP_E_EXCEPTION) {
            if (excep.pfnDeferredFillIn != nullptr) excep.pfnDeferredFillIn(&excep);
            const HRESULT code = excep.scode != 0 ? excep.scode
                                                  : MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, excep.wCode);
            ICreateErrorInfo* create = nullptr;
            if (SUCCEEDED(CreateErrorInfo(&create))) {
                create->SetGUID(IID_IClsToString);
                create->SetSource(excep.bstrSource);
                create->SetDescription(excep.bstrDescription);
                IErrorInfo* info = nullptr;
                if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
                    SetErrorInfo(0, info);
                    info->Release();
                }
                create->Release();
            }
            Clear(excep);
            throw SinkFailure{code};
        }
        Clear(excep);
        throw SinkFailure{hr};
    }

    ToString& owner_;
    DWORD last_cookie_ = 0;
};

// Enumerates a snapshot of the connections.
class ConnectionList final : public IEnumConnections {
public:
    explicit ConnectionList(std::vector<CONNECTDATA> items, std::size_t at = 0) : items_(std::move(items)), at_(at) {
        for (auto& c : items_) c.pUnk->AddRef();
        ModuleAddRef();
    }
    ~ConnectionList() {
        for (auto& c : items_) c.pUnk->Release();
        ModuleRelease();
    }
    ConnectionList(const ConnectionList&) = delete;
    ConnectionList& operator=(const ConnectionList&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IEnumConnections) {
            *out = static_cast<IEnumConnections*>(this);
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
    STDMETHODIMP Next(ULONG count, CONNECTDATA* out, ULONG* fetched) override {
        if (out == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
        ULONG n = 0;
        while (n < count && at_ < items_.size()) {
            out[n] = items_[at_++];
            out[n].pUnk->AddRef();
            ++n;
        }
        if (fetched != nullptr) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        const std::size_t left = items_.size() - at_;
        at_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        at_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumConnections** out) override {
        if (out == nullptr) return E_POINTER;
        *out = new (std::nothrow) ConnectionList(items_, at_);
        return *out == nullptr ? E_OUTOFMEMORY : S_OK;
    }

private:
    std::vector<CONNECTDATA> items_;
    std::size_t at_;
    std::atomic<ULONG> refs_{1};
};

STDMETHODIMP ProgressPoint::EnumConnections(IEnumConnections** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    try {
        std::vector<CONNECTDATA> items;
        for (auto& s : sinks_) items.push_back(CONNECTDATA{s.second, s.first});
        *out = new ConnectionList(std::move(items));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// Enumerates the one connection point.
class PointList final : public IEnumConnectionPoints {
public:
    explicit PointList(IConnectionPoint* point, bool done = false) : point_(point), done_(done) {
        point_->AddRef();
    }
    ~PointList() { point_->Release(); }
    PointList(const PointList&) = delete;
    PointList& operator=(const PointList&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IEnumConnectionPoints) {
            *out = static_cast<IEnumConnectionPoints*>(this);
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
    STDMETHODIMP Next(ULONG count, IConnectionPoint** out, ULONG* fetched) override {
        if (out == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
        ULONG n = 0;
        if (count > 0 && !done_) {
            out[0] = point_;
            point_->AddRef();
            done_ = true;
            n = 1;
        }
        if (fetched != nullptr) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        if (count == 0) return S_OK;
        const bool had = !done_;
        done_ = true;
        return count == 1 && had ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        done_ = false;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumConnectionPoints** out) override {
        if (out == nullptr) return E_POINTER;
        *out = new (std::nothrow) PointList(point_, done_);
        return *out == nullptr ? E_OUTOFMEMORY : S_OK;
    }

private:
    IConnectionPoint* point_;
    bool done_;
    std::atomic<ULONG> refs_{1};
};

// ------------------------------------------------------------- clsToString

bool ToStringArrayParam(DISPID id, UINT param) {
    return (id == 1 || id == 6) && param == 0;
}

class ToString final : public IClsToString,
                       public ISupportErrorInfo,
                       public IConnectionPointContainer,
                       public IProvideClassInfo2 {
public:
    ToString() : dispatch_(IID_IClsToString), point_(*this) {
        // The code page is the system's ANSI code page (the library's
        // default on Windows); characters it lacks become "?", as they did
        // in the legacy class.
        cipher_.SetUnmappable(Unmappable::Replace);
        cipher_.Progress.Subscribe([this](std::int32_t& percent) { point_.Raise(percent); });
        ModuleAddRef();
    }
    ~ToString() { ModuleRelease(); }
    ToString(const ToString&) = delete;
    ToString& operator=(const ToString&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IClsToString) {
            *out = static_cast<IClsToString*>(this);
        } else if (iid == IID_ISupportErrorInfo) {
            *out = static_cast<ISupportErrorInfo*>(this);
        } else if (iid == IID_IConnectionPointContainer) {
            *out = static_cast<IConnectionPointContainer*>(this);
        } else if (iid == IID_IProvideClassInfo || iid == IID_IProvideClassInfo2) {
            *out = static_cast<IProvideClassInfo2*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            // A sink that drops the last reference from inside Progress: the
            // object goes once the operation returns.
            if (cipher_.IsBusy()) {
                ++refs_;
                release_when_done_ = true;
                return 0;
            }
            delete this;
        }
        return left;
    }

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** out) override { return dispatch_.GetTypeInfo(index, out); }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        return dispatch_.GetIDsOfNames(names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                        UINT* arg_err) override {
        return dispatch_.Invoke(static_cast<IClsToString*>(this), id, flags, params, result, excep, arg_err,
                                &ToStringArrayParam);
    }

    // IClsToString
    STDMETHODIMP EncryptByte(SAFEARRAY** ByteArray, BSTR Key) override {
        return Run([&] { InPlace(ByteArray, Key, true); });
    }
    STDMETHODIMP EncryptString(BSTR Text, BSTR Key, BSTR* Result) override {
        return Text2Text(Result, [&] { return cipher_.EncryptString(View(Text), View(Key)); });
    }
    STDMETHODIMP DecryptString(BSTR Text, BSTR Key, BSTR* Result) override {
        return Text2Text(Result, [&] { return cipher_.DecryptString(View(Text), View(Key)); });
    }
    STDMETHODIMP EncryptFile(BSTR SourceFile, BSTR DestFile, BSTR Key) override {
        return Run([&] { cipher_.EncryptFile(PathOf(SourceFile), PathOf(DestFile), View(Key)); });
    }
    STDMETHODIMP DecryptFile(BSTR SourceFile, BSTR DestFile, BSTR Key) override {
        return Run([&] { cipher_.DecryptFile(PathOf(SourceFile), PathOf(DestFile), View(Key)); });
    }
    STDMETHODIMP DecryptByte(SAFEARRAY** ByteArray, BSTR Key) override {
        return Run([&] { InPlace(ByteArray, Key, false); });
    }
    STDMETHODIMP put_Key(BSTR New_Value) override {
        return Run([&] { cipher_.Key(View(New_Value)); });
    }
    STDMETHODIMP HexToStr(BSTR HexText, LONG Separators, BSTR* Result) override {
        return Text2Text(Result, [&] { return cipher_.HexToStr(View(HexText), Separators); });
    }
    STDMETHODIMP StrToHex(BSTR Text, BSTR Separator, BSTR* Result) override {
        return Text2Text(Result, [&] { return cipher_.StrToHex(View(Text), View(Separator)); });
    }

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
        return iid == IID_IClsToString ? S_OK : S_FALSE;
    }

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override {
        if (out == nullptr) return E_POINTER;
        *out = new (std::nothrow) PointList(&point_);
        return *out == nullptr ? E_OUTOFMEMORY : S_OK;
    }
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid != DIID_IClsToStringEvents) {
            *out = nullptr;
            return CONNECT_E_NOCONNECTION;
        }
        *out = &point_;
        point_.AddRef();
        return S_OK;
    }

    // IProvideClassInfo2
    STDMETHODIMP GetClassInfo(ITypeInfo** out) override { return GetTypeInfoOf(CLSID_clsToString, out); }
    STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override {
        if (guid == nullptr) return E_POINTER;
        if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
        *guid = DIID_IClsToStringEvents;
        return S_OK;
    }

private:
    template <typename Body>
    HRESULT Run(Body&& body) {
        AddRef();  // a sink may release the caller's reference inside Progress
        const HRESULT hr = Guard(IID_IClsToString, kToStringSource, std::forward<Body>(body));
        if (release_when_done_ && !cipher_.IsBusy()) {
            release_when_done_ = false;
            Release();
        }
        Release();
        return hr;
    }

    template <typename Make>
    HRESULT Text2Text(BSTR* result, Make&& make) {
        if (result == nullptr) return E_POINTER;
        *result = nullptr;
        return Run([&] {
            std::u16string text = make();
            BSTR made = nullptr;
            try {
                made = ToBstr(text);
            } catch (...) {
                Wipe(text.data(), text.size() * sizeof(char16_t));
                throw;
            }
            Wipe(text.data(), text.size() * sizeof(char16_t));
            *result = made;
        });
    }

    void InPlace(SAFEARRAY** array, BSTR key, bool encrypt) {
        if (array == nullptr) throw RuntimeError::FromNumber(ErrorKind::InvalidArgument, 5, "no array");
        std::vector<std::uint8_t> bytes = ReadArray(*array);
        struct WipeOnExit {
            std::vector<std::uint8_t>& b;
            ~WipeOnExit() { Wipe(b.data(), b.size()); }
        } wipe{bytes};
        if (encrypt) {
            cipher_.EncryptByte(bytes, View(key));
        } else {
            cipher_.DecryptByte(bytes, View(key));
        }
        if (*array != nullptr && (*array)->rgsabound[0].cElements != 0) {
            Wipe((*array)->pvData, (*array)->rgsabound[0].cElements);
        }
        WriteArray(array, bytes);
    }

    std::atomic<ULONG> refs_{1};
    bool release_when_done_ = false;
    Dispatch dispatch_;
    clscrypt::clsToString cipher_;
    ProgressPoint point_;
};

STDMETHODIMP ProgressPoint::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}
STDMETHODIMP_(ULONG) ProgressPoint::AddRef() {
    return owner_.AddRef();
}
STDMETHODIMP_(ULONG) ProgressPoint::Release() {
    return owner_.Release();
}
STDMETHODIMP ProgressPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
    if (out == nullptr) return E_POINTER;
    return owner_.QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(out));
}

// ----------------------------------------------------------------- clsHsh

bool NoArrayParam(DISPID, UINT) {
    return false;
}

class Hsh final : public IClsHsh, public ISupportErrorInfo {
public:
    Hsh() : dispatch_(IID_IClsHsh) { ModuleAddRef(); }
    ~Hsh() { ModuleRelease(); }
    Hsh(const Hsh&) = delete;
    Hsh& operator=(const Hsh&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IClsHsh) {
            *out = static_cast<IClsHsh*>(this);
        } else if (iid == IID_ISupportErrorInfo) {
            *out = static_cast<ISupportErrorInfo*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** out) override { return dispatch_.GetTypeInfo(index, out); }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        return dispatch_.GetIDsOfNames(names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                        UINT* arg_err) override {
        return dispatch_.Invoke(static_cast<IClsHsh*>(this), id, flags, params, result, excep, arg_err, &NoArrayParam);
    }
    STDMETHODIMP SHA256(BSTR sMessage, BSTR* Result) override {
        if (Result == nullptr) return E_POINTER;
        *Result = nullptr;
        return Guard(IID_IClsHsh, kHshSource, [&] {
            const std::string digest = hsh_.SHA256(View(sMessage));
            const std::u16string wide(digest.begin(), digest.end());
            *Result = ToBstr(wide);
        });
    }
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override { return iid == IID_IClsHsh ? S_OK : S_FALSE; }

private:
    std::atomic<ULONG> refs_{1};
    Dispatch dispatch_;
    clscrypt::clsHsh hsh_;
};

template <typename T, typename I>
HRESULT Create(REFIID iid, void** out) noexcept {
    T* object = new (std::nothrow) T();
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = static_cast<I*>(object)->QueryInterface(iid, out);
    static_cast<I*>(object)->Release();
    return hr;
}

}  // namespace

HRESULT CreateToString(REFIID iid, void** out) noexcept {
    try {
        return Create<ToString, IClsToString>(iid, out);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CreateHsh(REFIID iid, void** out) noexcept {
    return Create<Hsh, IClsHsh>(iid, out);
}

}  // namespace clscrypt::com
