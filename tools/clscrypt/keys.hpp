#pragma once

#include <string>
#include <vector>

#include <clscrypt/clscrypt.hpp>

namespace clscrypt::tool {

struct KeyOptions {
    std::vector<std::string> sources;  // in the order given
    bool no_key = false;
    bool quiet = false;
    bool stdin_is_data = false;  // standard input carries data, so no key from it
};

/// Applies the keys the options name to `cipher`, in order, like successive
/// settings of its Key property. With no key option, asks on the terminal
/// (twice when `confirm`), or fails with a usage error when there is none.
/// `role` names the key in prompts and messages ("key", "new key").
void apply_keys(clsToString& cipher, const KeyOptions& options, bool confirm, const std::string& role);

}  // namespace clscrypt::tool
