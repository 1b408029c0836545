#pragma once

// The C++ tests' reader of data/conformance.json, the cases every surface
// runs (made by data/make_conformance.py).

#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace clscrypt::test {

inline const nlohmann::json& conformance_cases() {
    static const nlohmann::json data = [] {
        std::ifstream in(CLSCRYPT_TEST_DATA_DIR "/conformance.json");
        return nlohmann::json::parse(in);
    }();
    return data;
}

struct UnkeyedAnswer {
    std::string name;
    std::string ciphertext;  // hexadecimal
    std::string message;     // hexadecimal
};

/// The known answers made without a key (both random words 0): what an
/// instance that was never keyed reads and, given those words, writes.
inline std::vector<UnkeyedAnswer> unkeyed_known_answers() {
    std::vector<UnkeyedAnswer> out;
    for (const auto& c : conformance_cases()["known_answers"]) {
        if (!c["keys"].empty()) continue;
        out.push_back({c["name"].get<std::string>(), c["cipher"].get<std::string>(), c["message"].get<std::string>()});
    }
    return out;
}

}  // namespace clscrypt::test
