#include "clscrypt/error.hpp"

#include <utility>

namespace clscrypt {

namespace {
std::string compose(const std::string& description, const std::string& context) {
    return context.empty() ? description : description + ": " + context;
}
}  // namespace

RuntimeError::RuntimeError(std::int32_t number, std::string description, const std::string& context,
                           std::error_code code)
    : std::runtime_error(compose(description, context)),
      number_(number),
      description_(std::move(description)),
      code_(code) {}

RuntimeError RuntimeError::FromNumber(std::int32_t number, const std::string& context) {
    return RuntimeError(number, StandardDescription(number), context);
}

std::string StandardDescription(std::int32_t number) {
    switch (number) {
        case 5: return "Invalid procedure call or argument";
        case RuntimeError::Overflow: return "Overflow";
        case 7: return "Out of memory";
        case RuntimeError::SubscriptOutOfRange: return "Subscript out of range";
        case RuntimeError::DivisionByZero: return "Division by zero";
        case 52: return "Bad file name or number";
        case 53: return "File not found";
        case 57: return "Device I/O error";
        case 58: return "File already exists";
        case 61: return "Disk full";
        case 70: return "Permission denied";
        case 75: return "Path/File access error";
        case 76: return "Path not found";
        default: return {};
    }
}

}  // namespace clscrypt
