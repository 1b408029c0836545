// The wipes the documentation promises, each checked where its absence would
// show: in the heap blocks the library frees, in the buffer it hands back,
// in the file it writes and in the instance's key storage.
//
// This program replaces the global operator new and delete (hence a binary
// of its own): every block carries its size in front, so that delete can
// search a block for a watched byte string before freeing it.

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "cipher/instance_access.hpp"
#include "cipher/kernels/portable.hpp"
#include "clscrypt/clscrypt.hpp"
#include "platform/wipe.hpp"
#include "test_util.hpp"

namespace {

constexpr std::size_t kPrefix = 16;  // keeps the payload aligned for any scalar

// The watched bytes, and how many freed blocks held them since armed.
std::atomic<bool> g_armed{false};
unsigned char g_needle[64];
std::size_t g_needle_size = 0;
std::atomic<int> g_found{0};

void inspect(const unsigned char* p, std::size_t n) noexcept {
    if (!g_armed.load() || g_needle_size == 0 || n < g_needle_size) return;
    for (std::size_t i = 0; i + g_needle_size <= n; ++i) {
        if (std::memcmp(p + i, g_needle, g_needle_size) == 0) {
            g_found.fetch_add(1);
            return;
        }
    }
}

void* allocate(std::size_t n) {
    auto* block = static_cast<unsigned char*>(std::malloc(n + kPrefix));
    if (block == nullptr) throw std::bad_alloc();
    std::memcpy(block, &n, sizeof n);
    return block + kPrefix;
}

void release(void* p) noexcept {
    if (p == nullptr) return;
    auto* block = static_cast<unsigned char*>(p) - kPrefix;
    std::size_t n = 0;
    std::memcpy(&n, block, sizeof n);
    inspect(static_cast<unsigned char*>(p), n);
    std::free(block);
}

}  // namespace

void* operator new(std::size_t n) {
    return allocate(n);
}
void* operator new[](std::size_t n) {
    return allocate(n);
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}

namespace clscrypt::test {
namespace {

namespace fs = std::filesystem;

// Counts the freed blocks that hold `needle` while `f` runs.
template <typename F>
int freed_blocks_holding(const void* needle, std::size_t size, F&& f) {
    std::memcpy(g_needle, needle, size);
    g_needle_size = size;
    g_found = 0;
    g_armed = true;
    f();
    g_armed = false;
    return g_found.load();
}

std::vector<std::uint8_t> marked(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(0xA0 + i % 29);
    return v;
}

TEST(Wipes, TheHookSeesAFreedBlock) {
    const auto text = marked(40);
    EXPECT_EQ(freed_blocks_holding(text.data() + 8, 16, [&] { std::vector<std::uint8_t> copy(text); }), 1);
}

// The library's wiping buffer clears its whole block, also past a size that
// shrank since it held a longer secret.
TEST(Wipes, WipedBytesClearsItsWholeCapacity) {
    const auto secret = marked(64);
    EXPECT_EQ(freed_blocks_holding(secret.data() + 40, 16,
                                   [&] {
                                       platform::WipedBytes b;
                                       b.bytes.assign(secret.begin(), secret.end());
                                       b.bytes.resize(8);
                                   }),
              0);
}

// EncryptByte on an array with no room for the ciphertext moves the message
// to a larger buffer; the one it leaves must not keep the plaintext.
TEST(Wipes, GrowthLeavesNoPlaintextInTheOldBuffer) {
    for (const std::size_t n : {std::size_t{16}, std::size_t{100}, std::size_t{4096}}) {
        auto data = marked(n);
        ASSERT_LT(data.capacity(), n + 12);
        const auto needle = marked(n);
        clsToString c;
        c.Key(u"k");
        EXPECT_EQ(freed_blocks_holding(needle.data(), 16, [&] { c.EncryptByte(data); }), 0) << n;
        EXPECT_EQ(data.size() % 8, 0U);
    }
}

// DecryptByte keeps the bytes past the message in the array's capacity:
// they once held the message's tail and must come back as zeros.
TEST(Wipes, DecryptionLeavesNoTailPastTheMessage) {
    for (const std::size_t n : {std::size_t{12}, std::size_t{13}, std::size_t{37}, std::size_t{1000}}) {
        const auto plain = marked(n);
        clsToString c;
        c.Key(u"k");
        auto data = plain;
        c.EncryptByte(data);
        c.DecryptByte(data);
        ASSERT_EQ(data, plain);
        std::memset(data.data(), 0, data.size());  // the caller's own wipe of what it was given
        const int found =
            freed_blocks_holding(plain.data() + n - 8, 8, [&] { std::vector<std::uint8_t>().swap(data); });
        EXPECT_EQ(found, 0) << n;
    }
}

// A new key over an old one: no trace of the old text in a block the key
// change frees (the instance keeps a digest of the key in force, never its
// text, but the text passes through buffers on its way to the tables).
TEST(Wipes, KeyChangeLeavesNoOldKeyText) {
    struct Case {
        std::u16string old_key, new_key;
    };
    const Case cases[] = {
        {u"an old key of some length, 0123456789", u"short"},
        {u"old key 0123", u"a much longer new key than the old one, 0123456789"},
    };
    for (const auto& k : cases) {
        clsToString c;
        c.Key(k.old_key);
        const std::u16string_view probe = std::u16string_view(k.old_key).substr(k.old_key.size() - 8);
        const int found =
            freed_blocks_holding(probe.data(), probe.size() * sizeof(char16_t), [&] { c.Key(k.new_key); });
        EXPECT_EQ(found, 0);
    }
}

// RekeyFile writes the new layout's zero fill itself: whatever the old fill
// held (another writer may have left anything there) does not carry over.
TEST(Wipes, RekeyWritesAFreshZeroFill) {
    char templ[] = "/tmp/clscrypt-wipe-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    const fs::path dir = templ;
    clsToString from, to;
    from.Key(u"old");
    to.Key(u"new");
    // A 21-byte message: the layout is 40 bytes, 7 of them fill, set to 0xEE.
    const std::size_t n = 21, t = 40;
    std::vector<std::uint8_t> layout(t, 0xEE);
    layout[8] = static_cast<std::uint8_t>(n);
    layout[9] = layout[10] = layout[11] = 0;
    std::memset(layout.data(), 0, 8);
    const auto message = marked(n);
    std::memcpy(layout.data() + 12, message.data(), n);
    detail::Chain chain;
    detail::cbc_encrypt(detail::InstanceAccess::tables(from), layout.data(), t, chain);
    {
        std::ofstream out(dir / "old.cls", std::ios::binary);
        out.write(reinterpret_cast<const char*>(layout.data()), static_cast<std::streamsize>(t));
    }
    to.RekeyFile(from, dir / "old.cls", dir / "new.cls");
    std::ifstream in(dir / "new.cls", std::ios::binary);
    std::vector<std::uint8_t> rekeyed{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_EQ(rekeyed.size(), t);
    detail::Chain back;
    detail::cbc_decrypt(detail::InstanceAccess::tables(to), rekeyed.data(), t, back);
    EXPECT_EQ(std::vector<std::uint8_t>(rekeyed.begin() + 12, rekeyed.begin() + 12 + n), message);
    EXPECT_EQ(std::vector<std::uint8_t>(rekeyed.begin() + 12 + n, rekeyed.end()),
              std::vector<std::uint8_t>(t - 12 - n, 0));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace clscrypt::test
