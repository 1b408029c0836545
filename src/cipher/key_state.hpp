#pragma once

// The key-dependent state of one clsToString, kept out of the public header
// so that the tables and the kernels' forms of them can change without
// changing the class's layout. An instance owns one on the heap: `new` gives
// it the 64-byte alignment the byte planes ask for.

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

#include "cipher/kernels/tables.hpp"
#include "clscrypt/codepage.hpp"

namespace clscrypt {
class clsToString;
}

namespace clscrypt::detail {

struct KeyState {
    /// Construction's tables, no key.
    KeyState() noexcept;
    KeyState(const KeyState&) = default;
    KeyState& operator=(const KeyState&) = default;
    /// Wipes everything.
    ~KeyState();

    /// A fresh state, for reading an instance that was moved from.
    static const KeyState& initial() noexcept;

    /// Records `key` as the key in force; false when it already was (as a
    /// comparison of the texts would say).
    /// Raises only the Cancelled error, for a key long enough to be asked
    /// about it, and then changes nothing.
    bool replace_key(std::u16string_view key);

    /// The byte planes of the tables, built now if a key set-up made them
    /// stale.
    const BytePlanes& current_planes() noexcept;

    BytePlanes planes;
    BlowfishTables tables;
    bool planes_current = false;  // whether planes matches tables
    // Whether a key was ever mixed into the tables: until then they are
    // construction's, which anyone can reproduce.
    bool keyed = false;

private:
    // "The same key again" was decided by comparing the key texts, so what
    // is kept must tell texts apart exactly as that comparison does: a
    // SHA-256 of the text's UTF-16 code units (two bytes each, least
    // significant first, so distinct texts are distinct byte strings) and
    // whether it is empty. Two texts are then taken for the same key only if
    // they are the same text or collide under SHA-256, which no one can
    // bring about. The digest is over the text, not its code-page bytes:
    // two texts with the same bytes (characters outside the code page all
    // become "?") are different keys to the comparison, and each is mixed in.
    std::array<std::uint8_t, 32> key_digest_{};
    bool key_empty_ = true;
};

static_assert(alignof(KeyState) == 64);

/// The next key of a history, as setting the Key property applies it: the
/// text through `page` (refused with kind Unmappable by `policy` Refuse for
/// a character the page lacks), the same key again ignored, the empty key
/// after a non-empty one refused (error 9) with the tables unchanged.
void apply_key(KeyState& state, const CodePage& page, Unmappable policy, std::u16string_view key);

/// The key state of an instance, handed over for keeping elsewhere (a copy
/// if an operation runs on it; construction's if it has none); the instance
/// is left as a moved-from one.
std::unique_ptr<KeyState> take_key_state(clsToString&& c);

}  // namespace clscrypt::detail
