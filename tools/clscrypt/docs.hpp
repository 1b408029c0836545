#pragma once

// The manual page and the shell completions, made from the parser's own
// tables (the CLI::App that main.cpp builds), so that neither can drift from
// the options the tool accepts. The build runs the tool with
// --generate-man and --generate-completions SHELL and installs the results.

#include <string>

namespace CLI {
class App;
}

namespace clscrypt::tool {

/// The manual page (roff). Raises std::logic_error when an option of the
/// parser has no entry in the page, or an entry names no option: the build
/// then stops instead of installing a page that lies.
std::string manual_page(CLI::App& app, const std::string& version);

/// The completion script for `shell`: "bash", "zsh" or "fish". Raises
/// std::invalid_argument for any other name.
std::string completion_script(CLI::App& app, const std::string& shell);

}  // namespace clscrypt::tool
