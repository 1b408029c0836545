#pragma once

// The frame every fuzz target shares. A target defines
//
//     void fuzz_one(clscrypt::fuzz::Input& in);     // one input; abort() on a finding
//     std::vector<Bytes> fuzz_seeds();              // hand-made starting inputs
//
// and includes this header once. In the `fuzz` preset (CLSCRYPT_LIBFUZZER)
// libFuzzer drives fuzz_one; in every other build a replay main runs it over
// the files and folders named on the command line, which is how CTest
// replays the committed corpus with g++ and clang alike. Inputs longer than
// CLSCRYPT_FUZZ_MAX_INPUT (define it before the include) are refused, so no
// target spends its time on sizes that add nothing.
//
// A finding is reported with FUZZ_CHECK: the condition, the place and
// abort(), which libFuzzer records as a crash with the input that caused it.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#ifndef CLSCRYPT_FUZZ_MAX_INPUT
#define CLSCRYPT_FUZZ_MAX_INPUT 4096
#endif

#define FUZZ_CHECK(cond)                                                \
    do {                                                                \
        if (!(cond)) ::clscrypt::fuzz::fail(#cond, __FILE__, __LINE__); \
    } while (false)

namespace clscrypt::fuzz {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz finding: %s (%s:%d)\n", what, file, line);
    std::fflush(stderr);
    std::abort();
}

/// Reads an input front to back; past its end every read gives zeros, so
/// targets never have to check lengths.
class Input {
public:
    explicit Input(std::span<const std::uint8_t> data) noexcept : data_(data) {}

    [[nodiscard]] bool empty() const noexcept { return pos_ >= data_.size(); }
    [[nodiscard]] std::size_t left() const noexcept { return empty() ? 0 : data_.size() - pos_; }

    std::uint8_t byte() noexcept { return empty() ? 0 : data_[pos_++]; }
    std::uint16_t u16() noexcept {
        const std::uint16_t low = byte();
        return static_cast<std::uint16_t>(low | (byte() << 8));
    }
    std::uint32_t u32() noexcept {
        const std::uint32_t low = u16();
        return low | (std::uint32_t{u16()} << 16);
    }

    /// Up to `n` bytes (fewer at the end).
    Bytes bytes(std::size_t n) {
        n = std::min(n, left());
        Bytes out(data_.begin() + static_cast<std::ptrdiff_t>(pos_),
                  data_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
        pos_ += n;
        return out;
    }
    /// Everything not read yet.
    Bytes rest() { return bytes(left()); }

    /// A text of up to `max_chars` characters, its length first. Bytes below
    /// 0xF0 stand for the character of that code (so text made of digits and
    /// punctuation stays cheap to find); 0xF0 and above take the next two
    /// bytes as any 16-bit code.
    std::u16string text(std::size_t max_chars) {
        const std::size_t n = byte() % (max_chars + 1);
        std::u16string out;
        for (std::size_t i = 0; i < n && !empty(); ++i) {
            const std::uint8_t b = byte();
            out.push_back(b < 0xF0 ? char16_t{b} : static_cast<char16_t>(u16()));
        }
        return out;
    }

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

/// Writes a text the way Input::text reads it.
inline void put_text(Bytes& out, std::u16string_view text) {
    out.push_back(static_cast<std::uint8_t>(text.size()));
    for (const char16_t c : text) {
        if (c < 0xF0) {
            out.push_back(static_cast<std::uint8_t>(c));
        } else {
            out.push_back(0xF0);
            out.push_back(static_cast<std::uint8_t>(c));
            out.push_back(static_cast<std::uint8_t>(c >> 8));
        }
    }
}

}  // namespace clscrypt::fuzz

void fuzz_one(clscrypt::fuzz::Input& in);
std::vector<clscrypt::fuzz::Bytes> fuzz_seeds();

namespace clscrypt::fuzz {
inline void run_one(std::span<const std::uint8_t> data) {
    Input in(data);
    fuzz_one(in);
}
}  // namespace clscrypt::fuzz

#ifdef CLSCRYPT_LIBFUZZER

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > CLSCRYPT_FUZZ_MAX_INPUT) return -1;  // not added to the corpus
    clscrypt::fuzz::run_one({data, size});
    return 0;
}

#else

// Replay: `target FILE|FOLDER...` runs every input and prints how many;
// `target --write-seeds FOLDER` writes the hand-made seeds there.
int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (argc == 3 && std::strcmp(argv[1], "--write-seeds") == 0) {
        fs::create_directories(argv[2]);
        int i = 0;
        for (const auto& seed : fuzz_seeds()) {
            char name[32];
            std::snprintf(name, sizeof name, "seed-%03d", i++);
            std::ofstream(fs::path(argv[2]) / name, std::ios::binary)
                .write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
        }
        std::printf("wrote %d seeds\n", i);
        return 0;
    }
    std::vector<fs::path> files;
    for (int a = 1; a < argc; ++a) {
        const fs::path p(argv[a]);
        if (!fs::exists(p)) {
            std::fprintf(stderr, "%s: no such file or folder\n", argv[a]);
            return 2;
        }
        if (fs::is_directory(p)) {
            for (const auto& e : fs::directory_iterator(p)) {
                if (e.is_regular_file()) files.push_back(e.path());
            }
        } else {
            files.push_back(p);
        }
    }
    std::sort(files.begin(), files.end());
    std::size_t run = 0;
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        const clscrypt::fuzz::Bytes data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (data.size() > CLSCRYPT_FUZZ_MAX_INPUT) continue;
        clscrypt::fuzz::run_one(data);
        ++run;
    }
    // The seeds run too, so a replay without a corpus still checks something.
    for (const auto& seed : fuzz_seeds()) {
        clscrypt::fuzz::run_one(seed);
        ++run;
    }
    std::printf("replayed %zu inputs\n", run);
    return 0;
}

#endif
