// The file operations against the in-memory ones. Fuzzing builds stream
// files in 40-byte chunks, so short inputs cross many chunk boundaries; the
// ciphertext, the plaintext, the errors and the Progress values must be those
// of EncryptByte and DecryptByte on the whole array, a failed call must
// leave the old destination and no other file, and a file may be its own
// destination.
//
// Input: flags (bit 0 decrypt, bit 1 in place), key length, key bytes, the
// file's content.

#define CLSCRYPT_FUZZ_MAX_INPUT 2048
#include "harness.hpp"

#include <stdlib.h>
#include <unistd.h>

#include "cipher/instance_access.hpp"
#include "clscrypt/clscrypt.hpp"

using clscrypt::clsToString;
using clscrypt::RuntimeError;
using clscrypt::fuzz::Bytes;
namespace fs = std::filesystem;

namespace {

// A private folder for this process's files, in memory when the system has
// /dev/shm.
const fs::path& folder() {
    static const fs::path dir = [] {
        std::string templ = (fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") + std::string("/clscrypt-fuzz-XXXXXX");
        if (::mkdtemp(templ.data()) == nullptr) std::abort();
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(folder(), ec);
        });
        return fs::path(templ);
    }();
    return dir;
}

Bytes slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put(const fs::path& p, const Bytes& b) {
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

std::size_t entries() {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder()), {}));
}

// The outcome of one operation: the bytes, or the error number.
struct Outcome {
    Bytes bytes;
    std::int32_t error = 0;
    std::vector<std::int32_t> events;
    bool operator==(const Outcome&) const = default;
};

}  // namespace

void fuzz_one(clscrypt::fuzz::Input& in) {
    const std::uint8_t flags = in.byte();
    const bool decrypt = flags & 1;
    const bool in_place = flags & 2;
    const Bytes key = in.bytes(in.byte() % 80);
    const Bytes content = in.rest();

    clsToString file_side, memory_side;
    const std::u16string key_text = file_side.GetCodePage().Decode(key);
    if (!key.empty()) {
        file_side.Key(key_text);
        memory_side.Key(key_text);
    }
    Outcome from_file, from_memory;
    file_side.Progress.Subscribe([&](std::int32_t& p) { from_file.events.push_back(p); });
    memory_side.Progress.Subscribe([&](std::int32_t& p) { from_memory.events.push_back(p); });

    const fs::path source = folder() / "source";
    const fs::path dest = in_place ? source : folder() / "dest";
    const Bytes old_dest{0xD0, 0x1D};
    put(source, content);
    if (in_place) {
        fs::remove(folder() / "dest");
    } else {
        put(dest, old_dest);
    }
    try {
        decrypt ? file_side.DecryptFile(source, dest) : file_side.EncryptFile(source, dest);
        from_file.bytes = slurp(dest);
    } catch (const RuntimeError& e) {
        from_file.error = e.Number();
        FUZZ_CHECK(slurp(dest) == (in_place ? content : old_dest));
    }
    FUZZ_CHECK(entries() == (in_place ? 1U : 2U));  // no temporary file left

    from_memory.bytes = content;
    try {
        decrypt ? memory_side.DecryptByte(from_memory.bytes) : memory_side.EncryptByte(from_memory.bytes);
    } catch (const RuntimeError& e) {
        from_memory.error = e.Number();
        from_memory.bytes.clear();
    }
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // The header words are fixed in fuzzing builds: the ciphertexts agree
    // byte for byte.
    FUZZ_CHECK(from_file == from_memory);
#else
    // Elsewhere they are random: compare what the ciphertexts decrypt to.
    if (!decrypt && from_file.error == 0 && from_memory.error == 0) {
        FUZZ_CHECK(from_file.bytes.size() == from_memory.bytes.size());
        clsToString reader;
        if (!key.empty()) reader.Key(key_text);
        reader.DecryptByte(from_file.bytes);
        reader.DecryptByte(from_memory.bytes);
    }
    FUZZ_CHECK(from_file == from_memory);
#endif
}

std::vector<Bytes> fuzz_seeds() {
    std::vector<Bytes> seeds;
    for (const std::size_t n : {0, 1, 4, 27, 28, 29, 35, 36, 80, 300}) {
        for (const std::uint8_t flags : {0, 2}) {
            Bytes b{flags, 3, 'k', 'e', 'y'};
            for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(i * 13));
            seeds.push_back(b);
            // The same message as a ciphertext to decrypt.
            clsToString c;
            c.Key(u"key");
            Bytes cipher(b.begin() + 5, b.end());
            clscrypt::detail::InstanceAccess::encrypt_with_words(c, cipher, 77, 99);
            Bytes d{static_cast<std::uint8_t>(flags | 1), 3, 'k', 'e', 'y'};
            d.insert(d.end(), cipher.begin(), cipher.end());
            seeds.push_back(d);
        }
    }
    seeds.push_back(Bytes{1, 1, 'x', 1, 2, 3});  // not whole blocks
    seeds.push_back(Bytes{1, 0});                // an empty file
    return seeds;
}
