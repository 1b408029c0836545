#pragma once

// Test and tooling access to the inside of an instance.

#include <string_view>

#include "clscrypt/cipher.hpp"

namespace clscrypt::detail {

struct InstanceAccess {
    static const BlowfishTables& tables(const clsToString& c) noexcept { return c.tables_; }
    /// For changing the tables: their byte planes are rebuilt before next use.
    static BlowfishTables& tables(clsToString& c) noexcept {
        c.planesCurrent_ = false;
        return c.tables_;
    }
    /// The byte planes of the tables in force, built if stale.
    static const BytePlanes& planes(clsToString& c) noexcept { return c.Planes(); }
    /// The whole buffer that holds the instance's copy of the key text, spare
    /// capacity included: what a key change must leave without the old key.
    static std::u16string_view key_storage(const clsToString& c) noexcept {
        return {c.currentKey_.data(), c.currentKey_.capacity()};
    }
    /// EncryptByte with the two header words given instead of drawn.
    static void encrypt_with_words(clsToString& c, std::vector<std::uint8_t>& bytes, std::uint32_t w0,
                                   std::uint32_t w1) {
        c.EncryptLaidOut(bytes, w0, w1);
    }
};

}  // namespace clscrypt::detail
