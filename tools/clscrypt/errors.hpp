#pragma once

#include <stdexcept>
#include <string>

namespace clscrypt::tool {

// Exit statuses, a contract with the scripts that call the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitWrongKey = 4;

/// A mistake in how the tool was called: exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// Any other failure, with the exit status it deserves.
struct ToolError : std::runtime_error {
    ToolError(const std::string& message, int status) : std::runtime_error(message), exit_status(status) {}
    int exit_status;
};

}  // namespace clscrypt::tool
