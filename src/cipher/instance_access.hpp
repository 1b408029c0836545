#pragma once

// Test and tooling access to the inside of an instance.

#include "cipher/key_state.hpp"
#include "clscrypt/cipher.hpp"

namespace clscrypt::detail {

struct InstanceAccess {
    /// The tables in force (construction's for a moved-from instance).
    static const BlowfishTables& tables(const clsToString& c) noexcept {
        return c.state_ ? c.state_->tables : KeyState::initial().tables;
    }
    /// For changing the tables: their byte planes are rebuilt before next use.
    static BlowfishTables& tables(clsToString& c) {
        KeyState& state = c.State();
        state.planes_current = false;
        return state.tables;
    }
    /// The byte planes of the tables in force, built if stale.
    static const BytePlanes& planes(clsToString& c) { return c.State().current_planes(); }
    /// EncryptByte with the two header words given instead of drawn.
    static void encrypt_with_words(clsToString& c, std::vector<std::uint8_t>& bytes, std::uint32_t w0,
                                   std::uint32_t w1) {
        c.EncryptLaidOut(bytes, w0, w1);
    }
};

}  // namespace clscrypt::detail
