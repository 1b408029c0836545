#pragma once

// Test and tooling access to the inside of an instance.

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
    /// EncryptByte with the two header words given instead of drawn.
    static void encrypt_with_words(clsToString& c, std::vector<std::uint8_t>& bytes, std::uint32_t w0,
                                   std::uint32_t w1) {
        c.EncryptLaidOut(bytes, w0, w1);
    }
};

}  // namespace clscrypt::detail
