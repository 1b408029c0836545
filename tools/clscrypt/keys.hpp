#pragma once

#include <string>
#include <vector>

#include <clscrypt/clscrypt.hpp>

namespace clscrypt::tool {

/// Longest key text a source may give, in bytes. Only the first 72 bytes of a
/// key take part in the key schedule; the limit only stops a source that
/// never ends (fd:3 3</dev/zero) from being read for ever.
inline constexpr std::size_t kMaxKeyBytes = std::size_t{64} << 10;

struct KeyOptions {
    std::string option = "--pass";     // how messages name the option
    std::vector<std::string> sources;  // in the order given
    bool no_key = false;
    bool quiet = false;
    bool stdin_is_data = false;       // standard input carries data, so no key from it
    bool replace_unmappable = false;  // characters the code page lacks become '?', as in the library
};

/// Applies the keys the options name to `cipher`, in order, like successive
/// settings of its Key property. With no key option, asks on the terminal
/// (twice when `confirm`), or fails with a usage error when there is none.
/// A key with a character that the cipher's code page lacks is a usage
/// error unless `replace_unmappable`. `role` names the key in prompts and
/// messages ("key", "new key").
void apply_keys(clsToString& cipher, const KeyOptions& options, bool confirm, const std::string& role);

}  // namespace clscrypt::tool
