// The C interface: every function turns its arguments into the C++ types,
// runs the C++ operation inside `guarded`, which catches every exception
// and records it as this thread's last error, and returns a status.

#include "clscrypt/clscrypt.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "cipher/instance_access.hpp"
#include "cipher/layout.hpp"
#include "cipher/message.hpp"
#include "clscrypt/clscrypt.hpp"
#include "common/cancel.hpp"
#include "common/error_numbers.hpp"
#include "common/utf.hpp"
#include "platform/codepage_table.hpp"
#include "platform/wipe.hpp"

struct clscrypt_tostring {
    explicit clscrypt_tostring(clscrypt::CodePage codePage) : cipher(codePage) {}
    clscrypt::clsToString cipher;
    clscrypt_progress_fn callback = nullptr;
    void* user = nullptr;
    std::size_t token = 0;  // of the listener that calls `callback`
    // Freed from inside one of its own operations: freed once that returns.
    bool free_pending = false;
};

struct clscrypt_encrypt_stream {
    clscrypt::EncryptStream stream;
    clscrypt_tostring* owner;
};

struct clscrypt_decrypt_stream {
    clscrypt::DecryptStream stream;
    clscrypt_tostring* owner;
};

struct clscrypt_hsh {
    clscrypt::clsHsh hsh;
};

struct clscrypt_values {
    explicit clscrypt_values(clscrypt::ValueCipher v) : values(std::move(v)) {}
    ~clscrypt_values() {
        clscrypt::platform::secure_wipe(result.data(), result.size());
        for (auto& r : results) clscrypt::platform::secure_wipe(r.data(), r.size());
    }
    clscrypt::ValueCipher values;
    std::string result;  // the last value's result, reused from value to value
    // A batch's values, results and outcomes, reused from batch to batch.
    std::vector<std::string_view> views;
    std::vector<std::string> results;
    std::vector<clscrypt::ValueOutcome> outcomes;
};

namespace {

using clscrypt::ErrorKind;
using clscrypt::RuntimeError;
using clscrypt::errnum::kInternalError;
using clscrypt::errnum::kInvalidArgument;
using clscrypt::errnum::kOutOfMemory;
using clscrypt::errnum::kUserInterrupt;

static_assert(CLSCRYPT_ERR_INVALID_ARGUMENT == kInvalidArgument);
static_assert(CLSCRYPT_ERR_OVERFLOW == clscrypt::errnum::kOverflow);
static_assert(CLSCRYPT_ERR_OUT_OF_MEMORY == kOutOfMemory);
static_assert(CLSCRYPT_ERR_USER_INTERRUPT == kUserInterrupt);
static_assert(CLSCRYPT_ERR_SUBSCRIPT_OUT_OF_RANGE == clscrypt::errnum::kSubscriptOutOfRange);
static_assert(CLSCRYPT_ERR_DIVISION_BY_ZERO == clscrypt::errnum::kDivisionByZero);
static_assert(CLSCRYPT_ERR_CLASS_ERROR == clscrypt::errnum::kClassError);

// The C kinds are the C++ ones, value for value.
constexpr clscrypt_kind c_kind(ErrorKind kind) noexcept {
    return static_cast<clscrypt_kind>(static_cast<std::int32_t>(kind));
}
static_assert(c_kind(ErrorKind::Other) == CLSCRYPT_KIND_OTHER);
static_assert(c_kind(ErrorKind::InvalidArgument) == CLSCRYPT_KIND_INVALID_ARGUMENT);
static_assert(c_kind(ErrorKind::Overflow) == CLSCRYPT_KIND_OVERFLOW);
static_assert(c_kind(ErrorKind::SubscriptOutOfRange) == CLSCRYPT_KIND_SUBSCRIPT_OUT_OF_RANGE);
static_assert(c_kind(ErrorKind::DivisionByZero) == CLSCRYPT_KIND_DIVISION_BY_ZERO);
static_assert(c_kind(ErrorKind::WrongKeyOrDamaged) == CLSCRYPT_KIND_WRONG_KEY_OR_DAMAGED);
static_assert(c_kind(ErrorKind::SourceMissing) == CLSCRYPT_KIND_SOURCE_MISSING);
static_assert(c_kind(ErrorKind::FileSystem) == CLSCRYPT_KIND_FILE_SYSTEM);
static_assert(c_kind(ErrorKind::System) == CLSCRYPT_KIND_SYSTEM);
static_assert(c_kind(ErrorKind::OutOfMemory) == CLSCRYPT_KIND_OUT_OF_MEMORY);
static_assert(c_kind(ErrorKind::Cancelled) == CLSCRYPT_KIND_CANCELLED);
static_assert(c_kind(ErrorKind::Busy) == CLSCRYPT_KIND_BUSY);
static_assert(c_kind(ErrorKind::Unmappable) == CLSCRYPT_KIND_UNMAPPABLE);

struct LastError {
    clscrypt_kind kind = CLSCRYPT_KIND_NONE;
    std::int32_t number = 0;
    std::string description;
    std::string message;
};

LastError& last_error() noexcept {
    thread_local LastError error;
    return error;
}

// A handle freed while busy (from its own progress callback, or with a stream
// on it open) goes once the operation has returned or the stream is done.
struct Settle {
    clscrypt_tostring* h;
    explicit Settle(clscrypt_tostring* handle) noexcept : h(handle) {}
    Settle(const Settle&) = delete;
    Settle& operator=(const Settle&) = delete;
    ~Settle() {
        if (h != nullptr && h->free_pending && !h->cipher.IsBusy()) delete h;
    }
};

// Exceptions that only this file raises, each becoming its own status.
struct ArgumentError {
    std::string what;
};
struct BufferTooSmall {};
struct Cancelled {};

void record(clscrypt_kind kind, std::int32_t number, std::string description, std::string message) noexcept {
    LastError& e = last_error();
    try {
        e.kind = kind;
        e.number = number;
        e.description = std::move(description);
        e.message = std::move(message);
    } catch (...) {
        e.description.clear();
        e.message.clear();
    }
}

template <typename F>
clscrypt_status guarded(F&& f) noexcept {
    try {
        LastError& e = last_error();
        e.kind = CLSCRYPT_KIND_NONE;
        e.number = 0;
        e.description.clear();
        e.message.clear();
        f();
        return CLSCRYPT_OK;
    } catch (const RuntimeError& e) {
        record(c_kind(e.Kind()), e.Number(), e.Description(), e.what());
        // The status agrees with the kind wherever a status of its own exists.
        switch (e.Kind()) {
            case ErrorKind::InvalidArgument: return CLSCRYPT_INVALID_ARGUMENT;
            case ErrorKind::OutOfMemory: return CLSCRYPT_OUT_OF_MEMORY;
            case ErrorKind::Cancelled: return CLSCRYPT_CANCELLED;
            default: return CLSCRYPT_ERROR;
        }
    } catch (const ArgumentError& e) {
        record(CLSCRYPT_KIND_INVALID_ARGUMENT, kInvalidArgument, clscrypt::StandardDescription(kInvalidArgument),
               clscrypt::StandardDescription(kInvalidArgument) + ": " + e.what);
        return CLSCRYPT_INVALID_ARGUMENT;
    } catch (const BufferTooSmall&) {
        record(CLSCRYPT_KIND_BUFFER_TOO_SMALL, 0, "Buffer too small",
               "Buffer too small: the required size was stored in the size argument");
        return CLSCRYPT_BUFFER_TOO_SMALL;
    } catch (const Cancelled&) {
        record(CLSCRYPT_KIND_CANCELLED, kUserInterrupt, "User interrupt occurred",
               "User interrupt occurred: the progress callback stopped it");
        return CLSCRYPT_CANCELLED;
    } catch (const std::bad_alloc&) {
        record(CLSCRYPT_KIND_OUT_OF_MEMORY, kOutOfMemory, clscrypt::StandardDescription(kOutOfMemory),
               clscrypt::StandardDescription(kOutOfMemory));
        return CLSCRYPT_OUT_OF_MEMORY;
    } catch (const std::exception& e) {
        record(CLSCRYPT_KIND_OTHER, kInternalError, "Internal error", std::string("Internal error: ") + e.what());
        return CLSCRYPT_ERROR;
    } catch (...) {
        record(CLSCRYPT_KIND_OTHER, kInternalError, "Internal error", "Internal error");
        return CLSCRYPT_ERROR;
    }
}

template <typename T>
T& need(T* p, const char* name) {
    if (p == nullptr) throw ArgumentError{std::string(name) + " is null"};
    return *p;
}

clscrypt::CodePage code_page(int number) {
    if (number == 0) return clscrypt::CodePage();
    for (const int available : clscrypt::CodePage::Available()) {
        if (available == number) return clscrypt::CodePage::FromNumber(number);
    }
    throw ArgumentError{"code page " + std::to_string(number) + " is not available"};
}

// A string that may hold a key or plaintext: its whole capacity is wiped
// when it goes.
template <typename String>
struct WipeOnExit {
    String& s;
    explicit WipeOnExit(String& string) noexcept : s(string) {}
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    ~WipeOnExit() {
        s.resize(s.capacity());  // within capacity: no allocation
        clscrypt::Wipe(s.data(), s.size() * sizeof(typename String::value_type));
    }
};

// Text arguments: null is the empty text only with length 0; a null pointer
// said to be NUL-terminated is the caller's mistake, not an empty key.
std::u16string_view utf16_arg(const std::uint16_t* text, std::size_t length, const char* name) {
    if (text == nullptr) {
        if (length == 0) return {};
        throw ArgumentError{std::string(name) + " is null"};
    }
    if (length == CLSCRYPT_NUL_TERMINATED) {
        length = 0;
        while (text[length] != 0) ++length;
    }
    static_assert(sizeof(char16_t) == sizeof(std::uint16_t));
    return {reinterpret_cast<const char16_t*>(text), length};
}

std::u16string utf8_arg(const char* text, std::size_t length, const char* name) {
    if (text == nullptr) {
        if (length == 0) return {};
        throw ArgumentError{std::string(name) + " is null"};
    }
    if (length == CLSCRYPT_NUL_TERMINATED) length = std::strlen(text);
    std::u16string converted;
    converted.reserve(length);
    if (clscrypt::common::decode_utf8(std::string_view(text, length), converted)) {
        // What was decoded before the fault may be part of a key.
        const WipeOnExit<std::u16string> wipe{converted};
        throw ArgumentError{std::string(name) + " is not valid UTF-8"};
    }
    return converted;
}

std::filesystem::path path_arg(const char* utf8, const char* name) {
    if (utf8 == nullptr) throw ArgumentError{std::string(name) + " is null"};
    const std::string_view s(utf8);
    return std::filesystem::path(std::u8string(s.begin(), s.end()));
}

// Library allocations carry their size in front, so that clscrypt_free can
// wipe them: they may hold plaintext.
constexpr std::size_t kHeader = 16;  // keeps the payload aligned for any scalar

void* allocate(std::size_t size) {
    if (size > SIZE_MAX - kHeader) throw std::bad_alloc();
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (block == nullptr) throw std::bad_alloc();
    std::memcpy(block, &size, sizeof size);
    return block + kHeader;
}

template <typename Char>
Char* copy_out(const Char* data, std::size_t count, bool terminate) {
    auto* out = static_cast<Char*>(allocate((count + (terminate ? 1 : 0)) * sizeof(Char)));
    if (count > 0) std::memcpy(out, data, count * sizeof(Char));
    if (terminate) out[count] = Char{0};
    return out;
}

void check_bytes(const std::uint8_t* in, std::size_t in_size) {
    if (in == nullptr && in_size != 0) throw ArgumentError{"the input is null"};
}

// The format's limits are checked on the sizes alone, before anything is
// copied: a message or ciphertext too long for its 32-bit lengths costs
// nothing, and no pointer past the caller's buffer is ever formed.
template <bool Encrypt>
void check_sizes(const std::uint8_t* in, std::size_t in_size) {
    check_bytes(in, in_size);
    if constexpr (Encrypt) {
        if (!clscrypt::detail::encrypted_size(in_size)) throw clscrypt::detail::encrypted_size_error(in_size);
    } else {
        clscrypt::detail::check_cipher_length(in_size);
    }
}

template <bool Encrypt>
void run_bytes(clscrypt_tostring& h, const std::uint8_t* in, std::size_t in_size,
               clscrypt::platform::WipedBytes& work) {
    check_sizes<Encrypt>(in, in_size);
    if (in_size > 0) work.bytes.assign(in, in + in_size);
    if constexpr (Encrypt) {
        h.cipher.EncryptByte(work.bytes);
    } else {
        h.cipher.DecryptByte(work.bytes);
    }
}

template <bool Encrypt>
clscrypt_status bytes_into(clscrypt_tostring* handle, const std::uint8_t* in, std::size_t in_size, std::uint8_t* out,
                           std::size_t* size) {
    return guarded([&] {
        auto& h = need(handle, "the handle");
        std::size_t& capacity = need(size, "the size");
        check_sizes<Encrypt>(in, in_size);
        if constexpr (Encrypt) {
            // The ciphertext's length follows from the message's alone: a
            // buffer too small is told before any work, progress or random
            // draw.
            const auto needed = static_cast<std::size_t>(*clscrypt::detail::encrypted_size(in_size));
            if (needed > capacity) {
                capacity = needed;
                throw BufferTooSmall{};
            }
            if (out == nullptr) throw ArgumentError{"the output buffer is null"};
        } else {
            // The message is at most the ciphertext less its header; below
            // that, its first two blocks tell its length, read aside before
            // any work, progress event or change to the caller's buffer.
            if (out == nullptr && capacity != 0) throw ArgumentError{"the output buffer is null"};
            if (capacity < in_size - clscrypt::detail::kHeaderSize) {
                const auto s = static_cast<std::size_t>(clscrypt::detail::checked_descriptor(
                    clscrypt::detail::InstanceAccess::tables(std::as_const(h.cipher)),
                    std::span<const std::uint8_t, 16>(in, 16), in_size));
                if (s > capacity) {
                    capacity = s;
                    throw BufferTooSmall{};
                }
            }
        }
        clscrypt::platform::WipedBytes work;
        run_bytes<Encrypt>(h, in, in_size, work);
        if (work.bytes.size() > capacity) {
            capacity = work.bytes.size();
            throw BufferTooSmall{};
        }
        if (out == nullptr && !work.bytes.empty()) throw ArgumentError{"the output buffer is null"};
        if (!work.bytes.empty()) std::memcpy(out, work.bytes.data(), work.bytes.size());
        capacity = work.bytes.size();
    });
}

template <bool Encrypt>
clscrypt_status bytes_alloc(clscrypt_tostring* handle, const std::uint8_t* in, std::size_t in_size, std::uint8_t** out,
                            std::size_t* out_size) {
    return guarded([&] {
        auto& h = need(handle, "the handle");
        auto& result = need(out, "the output pointer");
        auto& result_size = need(out_size, "the output size");
        clscrypt::platform::WipedBytes work;
        run_bytes<Encrypt>(h, in, in_size, work);
        result = copy_out(work.bytes.data(), work.bytes.size(), false);
        result_size = work.bytes.size();
    });
}

void give_utf16(std::u16string text, std::uint16_t** out, std::size_t* out_length) {
    const WipeOnExit<std::u16string> wipe{text};
    auto& result = need(out, "the output pointer");
    auto& length = need(out_length, "the output length");
    result = copy_out(reinterpret_cast<const std::uint16_t*>(text.data()), text.size(), true);
    length = text.size();
}

void give_utf8(std::u16string text, char** out, std::size_t* out_length) {
    const WipeOnExit<std::u16string> wipe{text};
    auto& result = need(out, "the output pointer");
    auto& length = need(out_length, "the output length");
    std::string utf8 = clscrypt::common::utf16_to_utf8(text);
    const WipeOnExit<std::string> wipe_utf8{utf8};
    result = copy_out(utf8.data(), utf8.size(), true);
    length = utf8.size();
}

clscrypt::KeyHistory history_arg(const clscrypt_key_history& h, const char* name) {
    if (h.keys == nullptr && h.count != 0) throw ArgumentError{std::string(name) + " has null keys"};
    clscrypt::KeyHistory keys;
    // Reserved up front: growing would free short keys held inside the old
    // storage without wiping them.
    keys.reserve(h.count);
    try {
        for (std::size_t i = 0; i < h.count; ++i) {
            keys.push_back(utf8_arg(h.keys[i], h.lengths != nullptr ? h.lengths[i] : CLSCRYPT_NUL_TERMINATED, name));
        }
    } catch (...) {
        for (auto& k : keys) const WipeOnExit<std::u16string> wipe{k};
        throw;
    }
    return keys;
}

// Enumerated arguments are read as the integers a C caller may have put
// there: loading a value outside the enumeration as the enumeration type
// would be undefined behaviour in C++.
template <typename Enum>
int enum_arg(const Enum& e) noexcept {
    static_assert(sizeof(Enum) == sizeof(int));
    int v = 0;
    std::memcpy(&v, &e, sizeof v);
    return v;
}

clscrypt::StoredForm stored_form(const clscrypt_stored_form& arg) {
    const int form = enum_arg(arg);
    switch (form) {
        case CLSCRYPT_STORED_BYTES: return clscrypt::StoredForm::Bytes;
        case CLSCRYPT_STORED_HEX: return clscrypt::StoredForm::Hex;
        case CLSCRYPT_STORED_BASE64: return clscrypt::StoredForm::Base64;
        case CLSCRYPT_STORED_STRING: return clscrypt::StoredForm::String;
    }
    throw ArgumentError{"unknown stored form " + std::to_string(form)};
}

clscrypt::PlainForm plain_form(const clscrypt_plain_form& arg) {
    const int form = enum_arg(arg);
    switch (form) {
        case CLSCRYPT_PLAIN_TEXT: return clscrypt::PlainForm::Text;
        case CLSCRYPT_PLAIN_BYTES: return clscrypt::PlainForm::Bytes;
    }
    throw ArgumentError{"unknown plaintext form " + std::to_string(form)};
}

// Runs one value's operation into the handle's result and copies it out.
template <typename Run>
clscrypt_status value_into(clscrypt_values* handle, const void* in, std::size_t in_size, void* out, std::size_t* size,
                           std::size_t* candidate, Run run) {
    return guarded([&] {
        auto& h = need(handle, "the handle");
        std::size_t& capacity = need(size, "the size");
        if (in == nullptr && in_size != 0) throw ArgumentError{"the input is null"};
        const std::string_view value(static_cast<const char*>(in), in == nullptr ? 0 : in_size);
        const clscrypt::ValueOutcome outcome = run(h, value);
        if (!outcome) throw h.values.LastError();
        if (candidate != nullptr) *candidate = outcome.candidate;
        if (h.result.size() > capacity) {
            capacity = h.result.size();
            clscrypt::platform::secure_wipe(h.result.data(), h.result.size());
            throw BufferTooSmall{};
        }
        if (out == nullptr && !h.result.empty()) throw ArgumentError{"the output buffer is null"};
        if (!h.result.empty()) std::memcpy(out, h.result.data(), h.result.size());
        capacity = h.result.size();
        clscrypt::platform::secure_wipe(h.result.data(), h.result.size());
    });
}

// One piece through a stream into the caller's buffer.
template <typename Stream>
clscrypt_status stream_update(Stream* stream, const std::uint8_t* in, std::size_t in_size, std::uint8_t* out,
                              std::size_t* size) {
    return guarded([&] {
        auto& s = need(stream, "the stream");
        std::size_t& capacity = need(size, "the size");
        check_bytes(in, in_size);
        if (in_size > SIZE_MAX - 16) throw ArgumentError{"the piece is too long"};
        const std::size_t needed = CLSCRYPT_STREAM_OUTPUT_SIZE(in_size);
        if (capacity < needed) {
            capacity = needed;
            throw BufferTooSmall{};
        }
        if (out == nullptr) throw ArgumentError{"the output buffer is null"};
        const std::span<const std::uint8_t> piece(in, in == nullptr ? 0 : in_size);
        capacity = s.stream.Update(piece, std::span<std::uint8_t>(out, capacity));
    });
}

// Runs a batch's operation into the handle's results and packs them out.
template <typename Run>
clscrypt_status many_into(clscrypt_values* handle, const void* in, const std::size_t* in_offsets, std::size_t count,
                          void* out, std::size_t* size, std::size_t* out_offsets, clscrypt_value_outcome* outcomes,
                          Run run) {
    return guarded([&] {
        auto& h = need(handle, "the handle");
        std::size_t& capacity = need(size, "the size");
        need(in_offsets, "the input offsets");
        need(out_offsets, "the output offsets");
        if (count != 0) need(outcomes, "the outcomes");
        for (std::size_t i = 0; i < count; ++i) {
            if (in_offsets[i + 1] < in_offsets[i])
                throw ArgumentError{"input offset " + std::to_string(i + 1) + " falls"};
        }
        if (in == nullptr && in_offsets[count] != in_offsets[0]) throw ArgumentError{"the input is null"};
        const char* base = in == nullptr ? "" : static_cast<const char*>(in);
        h.views.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            h.views[i] = std::string_view(base + in_offsets[i], in_offsets[i + 1] - in_offsets[i]);
        }
        run(h);
        const auto wipe = [&h] {
            for (auto& r : h.results) clscrypt::platform::secure_wipe(r.data(), r.size());
        };
        std::size_t total = 0;
        for (const auto& r : h.results) total += r.size();
        if (total > capacity) {
            capacity = total;
            wipe();
            throw BufferTooSmall{};
        }
        if (out == nullptr && total != 0) throw ArgumentError{"the output buffer is null"};
        auto* w = static_cast<char*>(out);
        out_offsets[0] = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string& r = h.results[i];
            if (!r.empty()) std::memcpy(w + out_offsets[i], r.data(), r.size());
            out_offsets[i + 1] = out_offsets[i] + r.size();
            const clscrypt::ValueOutcome& o = h.outcomes[i];
            outcomes[i] = {o.ok ? CLSCRYPT_KIND_NONE : c_kind(o.error), o.candidate};
        }
        wipe();
        capacity = total;
    });
}

void subscribe(clscrypt_tostring& h) {
    h.token = h.cipher.Progress.Subscribe([&h](std::int32_t& percent) {
        if (h.callback != nullptr && h.callback(&percent, h.user) != 0) throw Cancelled{};
    });
}

}  // namespace

extern "C" {

const char* clscrypt_version(void) {
    return CLSCRYPT_VERSION_STRING;
}

clscrypt_kind clscrypt_error_kind(void) {
    return last_error().kind;
}
int32_t clscrypt_error_number(void) {
    return last_error().number;
}
const char* clscrypt_error_description(void) {
    return last_error().description.c_str();
}
const char* clscrypt_error_message(void) {
    return last_error().message.c_str();
}

void clscrypt_free(void* memory) {
    if (memory == nullptr) return;
    auto* block = static_cast<unsigned char*>(memory) - kHeader;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    clscrypt::platform::secure_wipe(memory, size);
    std::free(block);
}

void clscrypt_wipe(void* data, size_t size) {
    clscrypt::Wipe(data, size);
}

}  // extern "C"

// Outside the C linkage block: clang refuses a C-linkage function returning
// a C++ reference.
namespace {

struct CCancel {
    clscrypt_cancel_fn check = nullptr;
    void* context = nullptr;
};

CCancel& c_cancel() noexcept {
    thread_local CCancel c;
    return c;
}

bool ask_c_check(void* context) noexcept {
    const CCancel& c = *static_cast<CCancel*>(context);
    return c.check != nullptr && c.check(c.context) != 0;
}

}  // namespace

extern "C" {

void clscrypt_set_cancel_check(clscrypt_cancel_fn check, void* context) {
    CCancel& c = c_cancel();
    c.check = check;
    c.context = context;
    clscrypt::common::CancelHook& hook = clscrypt::common::cancel_hook();
    hook.check = check != nullptr ? &ask_c_check : nullptr;
    hook.context = check != nullptr ? &c : nullptr;
}

clscrypt_status clscrypt_read_hex(const char* text, size_t length, uint8_t* out, size_t* size) {
    return guarded([&] {
        std::size_t& capacity = need(size, "the size");
        if (text == nullptr && length != 0) throw ArgumentError{"the text is null"};
        const std::string_view t = text == nullptr ? std::string_view() : std::string_view(text, length);
        clscrypt::platform::WipedBytes bytes;
        bytes.bytes = clscrypt::ReadHex(t);
        if (out == nullptr || capacity < bytes.size()) {
            capacity = bytes.size();
            throw BufferTooSmall{};
        }
        if (bytes.size() != 0) std::memcpy(out, bytes.data(), bytes.size());
        capacity = bytes.size();
    });
}

size_t clscrypt_encrypted_size(size_t n) {
    const auto t = clscrypt::detail::encrypted_size(n);
    return t ? static_cast<std::size_t>(*t) : 0;
}

clscrypt_status clscrypt_tostring_new(int codepage, clscrypt_tostring** out) {
    return guarded([&] {
        auto& result = need(out, "the output pointer");
        result = nullptr;
        auto h = std::make_unique<clscrypt_tostring>(code_page(codepage));
        subscribe(*h);
        result = h.release();
    });
}

clscrypt_status clscrypt_tostring_clone(const clscrypt_tostring* handle, clscrypt_tostring** out) {
    return guarded([&] {
        const auto& h = need(handle, "the handle");
        auto& result = need(out, "the output pointer");
        result = nullptr;
        auto copy = std::make_unique<clscrypt_tostring>(h);
        // The copied listener still points at the original handle.
        copy->cipher.Progress.Unsubscribe(copy->token);
        subscribe(*copy);
        result = copy.release();
    });
}

void clscrypt_tostring_free(clscrypt_tostring* handle) {
    if (handle == nullptr) return;
    if (handle->cipher.IsBusy()) {
        handle->free_pending = true;
        return;
    }
    delete handle;
}

int clscrypt_tostring_codepage(const clscrypt_tostring* handle) {
    return handle == nullptr ? 0 : handle->cipher.GetCodePage().Number();
}

clscrypt_status clscrypt_tostring_set_codepage(clscrypt_tostring* handle, int codepage) {
    const Settle settle{handle};
    return guarded([&] { need(handle, "the handle").cipher.SetCodePage(code_page(codepage)); });
}

clscrypt_status clscrypt_tostring_first_unmappable(const clscrypt_tostring* handle, const uint16_t* text, size_t length,
                                                   size_t* index) {
    return guarded([&] {
        const auto& h = need(handle, "the handle");
        std::size_t& result = need(index, "the index");
        const auto found = h.cipher.GetCodePage().FirstUnmappable(utf16_arg(text, length, "the text"));
        result = found ? *found : CLSCRYPT_ALL_MAPPABLE;
    });
}

clscrypt_status clscrypt_tostring_text_to_bytes_utf16(const clscrypt_tostring* handle, const uint16_t* text,
                                                     size_t length, int check, size_t* position, uint8_t* out) {
    return guarded([&] {
        const auto& h = need(handle, "the handle");
        std::size_t& before = need(position, "the position");
        const std::u16string_view units = utf16_arg(text, length, "the text");
        if (!units.empty()) need(out, "the output");
        const clscrypt::CodePage page = h.cipher.GetCodePage();
        if (check != 0) clscrypt::detail::check_mappable(page, units, h.cipher.GetUnmappable(), "the text", before);
        for (std::size_t i = 0; i < units.size(); ++i) out[i] = page.ToByte(units[i]);
        before += clscrypt::detail::count_characters(units);
    });
}

clscrypt_status clscrypt_tostring_bytes_to_text_utf16(const clscrypt_tostring* handle, const uint8_t* bytes,
                                                     size_t size, uint16_t* out) {
    return guarded([&] {
        const auto& h = need(handle, "the handle");
        if (size != 0) {
            need(bytes, "the bytes");
            need(out, "the output");
        }
        const clscrypt::CodePage page = h.cipher.GetCodePage();
        for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<uint16_t>(page.ToChar(bytes[i]));
    });
}

clscrypt_status clscrypt_tostring_set_refuse_unmappable(clscrypt_tostring* handle, int refuse) {
    return guarded([&] {
        need(handle, "the handle")
            .cipher.SetUnmappable(refuse != 0 ? clscrypt::Unmappable::Refuse : clscrypt::Unmappable::Replace);
    });
}

clscrypt_status clscrypt_tostring_set_key_utf16(clscrypt_tostring* handle, const uint16_t* key, size_t length) {
    const Settle settle{handle};
    return guarded([&] { need(handle, "the handle").cipher.Key(utf16_arg(key, length, "the key")); });
}

clscrypt_status clscrypt_tostring_set_key_utf8(clscrypt_tostring* handle, const char* key, size_t length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        std::u16string k = utf8_arg(key, length, "the key");
        try {
            h.cipher.Key(k);
        } catch (...) {
            clscrypt::platform::secure_wipe(k.data(), k.size() * sizeof(char16_t));
            throw;
        }
        clscrypt::platform::secure_wipe(k.data(), k.size() * sizeof(char16_t));
    });
}

clscrypt_status clscrypt_tostring_set_progress(clscrypt_tostring* handle, clscrypt_progress_fn callback, void* user) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        h.callback = callback;
        h.user = user;
    });
}

clscrypt_status clscrypt_tostring_encrypt(clscrypt_tostring* handle, const uint8_t* in, size_t in_size, uint8_t* out,
                                          size_t* size) {
    const Settle settle{handle};
    return bytes_into<true>(handle, in, in_size, out, size);
}

clscrypt_status clscrypt_tostring_decrypt(clscrypt_tostring* handle, const uint8_t* in, size_t in_size, uint8_t* out,
                                          size_t* size) {
    const Settle settle{handle};
    return bytes_into<false>(handle, in, in_size, out, size);
}

clscrypt_status clscrypt_tostring_encrypt_alloc(clscrypt_tostring* handle, const uint8_t* in, size_t in_size,
                                                uint8_t** out, size_t* out_size) {
    const Settle settle{handle};
    return bytes_alloc<true>(handle, in, in_size, out, out_size);
}

clscrypt_status clscrypt_tostring_decrypt_alloc(clscrypt_tostring* handle, const uint8_t* in, size_t in_size,
                                                uint8_t** out, size_t* out_size) {
    const Settle settle{handle};
    return bytes_alloc<false>(handle, in, in_size, out, out_size);
}

// The four text entry points differ only in the call and the encoding: one
// short body each, so every C function stays a plain definition.
clscrypt_status clscrypt_tostring_encrypt_string_utf16(clscrypt_tostring* handle, const uint16_t* text, size_t length,
                                                       uint16_t** out, size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        give_utf16(h.cipher.EncryptString(utf16_arg(text, length, "the text")), out, out_length);
    });
}

clscrypt_status clscrypt_tostring_decrypt_string_utf16(clscrypt_tostring* handle, const uint16_t* text, size_t length,
                                                       uint16_t** out, size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        give_utf16(h.cipher.DecryptString(utf16_arg(text, length, "the text")), out, out_length);
    });
}

clscrypt_status clscrypt_tostring_encrypt_string_utf8(clscrypt_tostring* handle, const char* text, size_t length,
                                                      char** out, size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        std::u16string plain = utf8_arg(text, length, "the text");
        const WipeOnExit<std::u16string> wipe{plain};
        give_utf8(h.cipher.EncryptString(plain), out, out_length);
    });
}

clscrypt_status clscrypt_tostring_decrypt_string_utf8(clscrypt_tostring* handle, const char* text, size_t length,
                                                      char** out, size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        give_utf8(h.cipher.DecryptString(utf8_arg(text, length, "the text")), out, out_length);
    });
}

clscrypt_status clscrypt_tostring_encrypt_file(clscrypt_tostring* handle, const char* source, const char* dest) {
    const Settle settle{handle};
    return guarded([&] {
        need(handle, "the handle")
            .cipher.EncryptFile(path_arg(source, "the source"), path_arg(dest, "the destination"));
    });
}

clscrypt_status clscrypt_tostring_decrypt_file(clscrypt_tostring* handle, const char* source, const char* dest) {
    const Settle settle{handle};
    return guarded([&] {
        need(handle, "the handle")
            .cipher.DecryptFile(path_arg(source, "the source"), path_arg(dest, "the destination"));
    });
}

clscrypt_status clscrypt_tostring_rekey_file(clscrypt_tostring* handle, clscrypt_tostring* from, const char* source,
                                             const char* dest) {
    const Settle settle_from{from == handle ? nullptr : from};
    const Settle settle{handle};
    return guarded([&] {
        need(handle, "the handle")
            .cipher.RekeyFile(need(from, "the source key handle").cipher, path_arg(source, "the source"),
                              path_arg(dest, "the destination"));
    });
}

clscrypt_status clscrypt_tostring_str_to_hex_utf8(clscrypt_tostring* handle, const char* text, size_t length,
                                                  const char* separator, size_t separator_length, char** out,
                                                  size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        give_utf8(h.cipher.StrToHex(utf8_arg(text, length, "the text"),
                                    utf8_arg(separator, separator_length, "the separator")),
                  out, out_length);
    });
}

clscrypt_status clscrypt_tostring_hex_to_str_utf8(clscrypt_tostring* handle, const char* hex, size_t length,
                                                  int32_t separators, char** out, size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        give_utf8(h.cipher.HexToStr(utf8_arg(hex, length, "the hexadecimal text"), separators), out, out_length);
    });
}

clscrypt_status clscrypt_tostring_str_to_hex_utf16(clscrypt_tostring* handle, const uint16_t* text, size_t length,
                                                   const uint16_t* separator, size_t separator_length, uint16_t** out,
                                                   size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        give_utf16(h.cipher.StrToHex(utf16_arg(text, length, "the text"),
                                     utf16_arg(separator, separator_length, "the separator")),
                   out, out_length);
    });
}

clscrypt_status clscrypt_tostring_hex_to_str_utf16(clscrypt_tostring* handle, const uint16_t* hex, size_t length,
                                                   int32_t separators, uint16_t** out, size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        give_utf16(h.cipher.HexToStr(utf16_arg(hex, length, "the hexadecimal text"), separators), out, out_length);
    });
}

clscrypt_status clscrypt_encrypt_stream_new(clscrypt_tostring* handle, uint64_t length, clscrypt_encrypt_stream** out) {
    return clscrypt_encrypt_stream_new_ex(handle, length, 0, out);
}

clscrypt_status clscrypt_encrypt_stream_new_ex(clscrypt_tostring* handle, uint64_t length, unsigned flags,
                                               clscrypt_encrypt_stream** out) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        auto& result = need(out, "the output pointer");
        result = nullptr;
        if ((flags & ~CLSCRYPT_STREAM_ALLOW_NO_KEY) != 0) {
            throw ArgumentError{"unknown flags " + std::to_string(flags & ~CLSCRYPT_STREAM_ALLOW_NO_KEY)};
        }
        const auto if_no_key =
            (flags & CLSCRYPT_STREAM_ALLOW_NO_KEY) != 0 ? clscrypt::NoKey::Allow : clscrypt::NoKey::Refuse;
        result = new clscrypt_encrypt_stream{clscrypt::EncryptStream(h.cipher, length, {}, if_no_key), &h};
    });
}

clscrypt_status clscrypt_encrypt_stream_update(clscrypt_encrypt_stream* stream, const uint8_t* in, size_t in_size,
                                               uint8_t* out, size_t* size) {
    return stream_update(stream, in, in_size, out, size);
}

clscrypt_status clscrypt_encrypt_stream_final(clscrypt_encrypt_stream* stream, uint8_t* out, size_t* size) {
    return guarded([&] {
        auto& s = need(stream, "the stream");
        std::size_t& capacity = need(size, "the size");
        if (capacity < CLSCRYPT_STREAM_OUTPUT_SIZE(0)) {
            capacity = CLSCRYPT_STREAM_OUTPUT_SIZE(0);
            throw BufferTooSmall{};
        }
        if (out == nullptr) throw ArgumentError{"the output buffer is null"};
        capacity = s.stream.Final(std::span<std::uint8_t>(out, capacity));
    });
}

void clscrypt_encrypt_stream_free(clscrypt_encrypt_stream* stream) {
    if (stream == nullptr) return;
    const Settle settle{stream->owner};
    delete stream;
}

clscrypt_status clscrypt_decrypt_stream_new(clscrypt_tostring* handle, uint64_t length, clscrypt_decrypt_stream** out) {
    const Settle settle{handle};
    static_assert(CLSCRYPT_UNKNOWN_LENGTH == clscrypt::DecryptStream::UnknownLength);
    return guarded([&] {
        auto& h = need(handle, "the handle");
        auto& result = need(out, "the output pointer");
        result = nullptr;
        result = new clscrypt_decrypt_stream{clscrypt::DecryptStream(h.cipher, {}, length), &h};
    });
}

clscrypt_status clscrypt_decrypt_stream_update(clscrypt_decrypt_stream* stream, const uint8_t* in, size_t in_size,
                                               uint8_t* out, size_t* size) {
    return stream_update(stream, in, in_size, out, size);
}

clscrypt_status clscrypt_decrypt_stream_final(clscrypt_decrypt_stream* stream) {
    return guarded([&] { need(stream, "the stream").stream.Final(); });
}

int64_t clscrypt_decrypt_stream_message_length(const clscrypt_decrypt_stream* stream) {
    return stream == nullptr ? -1 : stream->stream.MessageLength();
}

void clscrypt_decrypt_stream_free(clscrypt_decrypt_stream* stream) {
    if (stream == nullptr) return;
    const Settle settle{stream->owner};
    delete stream;
}

clscrypt_status clscrypt_hsh_new(clscrypt_hsh** out) {
    return guarded([&] {
        auto& result = need(out, "the output pointer");
        result = new clscrypt_hsh;
    });
}

void clscrypt_hsh_free(clscrypt_hsh* handle) {
    delete handle;
}

clscrypt_status clscrypt_hsh_sha256_utf16(const clscrypt_hsh* handle, const uint16_t* text, size_t length,
                                          char hex[65]) {
    return guarded([&] {
        const auto& h = need(handle, "the handle");
        need(hex, "the digest buffer");
        const std::string result = h.hsh.SHA256(utf16_arg(text, length, "the text"));
        std::memcpy(hex, result.c_str(), result.size() + 1);
    });
}

clscrypt_status clscrypt_hsh_sha256_utf8(const clscrypt_hsh* handle, const char* text, size_t length, char hex[65]) {
    return guarded([&] {
        const auto& h = need(handle, "the handle");
        need(hex, "the digest buffer");
        const std::string result = h.hsh.SHA256(utf8_arg(text, length, "the text"));
        std::memcpy(hex, result.c_str(), result.size() + 1);
    });
}

clscrypt_status clscrypt_sha256(const uint8_t* data, size_t size, uint8_t digest[32]) {
    return guarded([&] {
        check_bytes(data, size);
        need(digest, "the digest buffer");
        const auto d = clscrypt::Sha256::Hash(std::span<const std::uint8_t>(data, data == nullptr ? 0 : size));
        std::memcpy(digest, d.data(), d.size());
    });
}

void clscrypt_set_decryption_threads(unsigned threads) {
    clscrypt::SetDecryptionThreads(threads);
}

unsigned clscrypt_get_decryption_threads(void) {
    return clscrypt::GetDecryptionThreads();
}

clscrypt_status clscrypt_values_new(const clscrypt_key_history* candidates, size_t candidate_count,
                                    const clscrypt_key_history* target, int codepage, const char* hex_separator,
                                    unsigned flags, clscrypt_values** out) {
    return guarded([&] {
        auto& result = need(out, "the output pointer");
        result = nullptr;
        if (candidates == nullptr && candidate_count != 0) throw ArgumentError{"the candidates are null"};
        constexpr unsigned known = CLSCRYPT_VALUES_REPLACE_UNMAPPABLE | CLSCRYPT_VALUES_ALLOW_NO_KEY;
        if ((flags & ~known) != 0) throw ArgumentError{"unknown flags " + std::to_string(flags & ~known)};
        std::vector<clscrypt::KeyHistory> histories;
        clscrypt::KeyHistory writer;
        // The keys pass through these copies: wipe them however this ends.
        struct WipeKeys {
            std::vector<clscrypt::KeyHistory>& histories;
            clscrypt::KeyHistory& writer;
            WipeKeys(std::vector<clscrypt::KeyHistory>& h, clscrypt::KeyHistory& w) noexcept
                : histories(h), writer(w) {}
            WipeKeys(const WipeKeys&) = delete;
            WipeKeys& operator=(const WipeKeys&) = delete;
            ~WipeKeys() {
                for (auto& h : histories) {
                    for (auto& k : h) const WipeOnExit<std::u16string> wipe{k};
                }
                for (auto& k : writer) const WipeOnExit<std::u16string> wipe{k};
            }
        } wipe_keys{histories, writer};
        histories.reserve(candidate_count);
        for (std::size_t i = 0; i < candidate_count; ++i)
            histories.push_back(history_arg(candidates[i], "a candidate"));
        if (target != nullptr) {
            writer = history_arg(*target, "the target");
        } else if (!histories.empty()) {
            writer = histories.front();
        }
        clscrypt::ValueOptions options;
        options.codePage = code_page(codepage);
        options.replaceUnmappable = (flags & CLSCRYPT_VALUES_REPLACE_UNMAPPABLE) != 0;
        options.allowNoKey = (flags & CLSCRYPT_VALUES_ALLOW_NO_KEY) != 0;
        if (hex_separator != nullptr) options.hexSeparator = hex_separator;
        result = new clscrypt_values(clscrypt::ValueCipher(histories, writer, std::move(options)));
    });
}

void clscrypt_values_free(clscrypt_values* handle) {
    delete handle;
}

clscrypt_status clscrypt_values_encrypt(clscrypt_values* handle, const void* in, size_t in_size,
                                        clscrypt_plain_form plain, clscrypt_stored_form form, void* out, size_t* size) {
    return value_into(handle, in, in_size, out, size, nullptr, [&](clscrypt_values& h, std::string_view value) {
        return h.values.Encrypt(value, plain_form(plain), stored_form(form), h.result);
    });
}

clscrypt_status clscrypt_values_decrypt(clscrypt_values* handle, const void* in, size_t in_size,
                                        clscrypt_stored_form form, clscrypt_plain_form plain, void* out, size_t* size,
                                        size_t* candidate) {
    return value_into(handle, in, in_size, out, size, candidate, [&](clscrypt_values& h, std::string_view value) {
        return h.values.Decrypt(value, stored_form(form), plain_form(plain), h.result);
    });
}

clscrypt_status clscrypt_values_rekey(clscrypt_values* handle, const void* in, size_t in_size,
                                      clscrypt_stored_form in_form, clscrypt_stored_form out_form, void* out,
                                      size_t* size, size_t* candidate) {
    return value_into(handle, in, in_size, out, size, candidate, [&](clscrypt_values& h, std::string_view value) {
        return h.values.Rekey(value, stored_form(in_form), stored_form(out_form), h.result);
    });
}

clscrypt_status clscrypt_values_encrypt_many(clscrypt_values* handle, const void* in, const size_t* in_offsets,
                                             size_t count, clscrypt_plain_form plain, clscrypt_stored_form form,
                                             void* out, size_t* size, size_t* out_offsets,
                                             clscrypt_value_outcome* outcomes) {
    return many_into(handle, in, in_offsets, count, out, size, out_offsets, outcomes, [&](clscrypt_values& h) {
        h.values.EncryptMany(h.views, plain_form(plain), stored_form(form), h.results, h.outcomes);
    });
}

clscrypt_status clscrypt_values_decrypt_many(clscrypt_values* handle, const void* in, const size_t* in_offsets,
                                             size_t count, clscrypt_stored_form form, clscrypt_plain_form plain,
                                             void* out, size_t* size, size_t* out_offsets,
                                             clscrypt_value_outcome* outcomes) {
    return many_into(handle, in, in_offsets, count, out, size, out_offsets, outcomes, [&](clscrypt_values& h) {
        h.values.DecryptMany(h.views, stored_form(form), plain_form(plain), h.results, h.outcomes);
    });
}

clscrypt_status clscrypt_values_rekey_many(clscrypt_values* handle, const void* in, const size_t* in_offsets,
                                           size_t count, clscrypt_stored_form in_form, clscrypt_stored_form out_form,
                                           void* out, size_t* size, size_t* out_offsets,
                                           clscrypt_value_outcome* outcomes) {
    return many_into(handle, in, in_offsets, count, out, size, out_offsets, outcomes, [&](clscrypt_values& h) {
        h.values.RekeyMany(h.views, stored_form(in_form), stored_form(out_form), h.results, h.outcomes);
    });
}

}  // extern "C"
