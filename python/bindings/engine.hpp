#pragma once

// The producer/consumer engine of the bulk functions: the calling thread
// reads a column's values and makes the results' objects (the GIL held)
// while the library converts parts, on the calling thread and on threads of
// the call's own (threads=N), each with its own ValueCipher.

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "columns.hpp"
#include "common.hpp"

namespace clscrypt_python {

// Converts the values of one part with one instance: (instance, views,
// whether they are str, results, outcomes).
using Batch = std::function<void(clscrypt::ValueCipher&, std::span<const std::string_view>, bool,
                                 std::vector<std::string>&, std::vector<clscrypt::ValueOutcome>&)>;
// Converts one failed value again with the strict method, for its error.
using Redo = std::function<void(clscrypt::ValueCipher&, std::string_view)>;

/// The column converted part by part with `batch`, as a list (see
/// engine.cpp).
py::list convert(Values& values, Output output, bool wipe_results, bool raise,
                 std::vector<clscrypt::ValueCipher>& ciphers, Interruptible& watch, const Batch& batch,
                 const Redo& redo);

/// The instances of one call, made by `make` (see engine.cpp).
std::vector<clscrypt::ValueCipher> ciphers_for(const char* where, py::handle threads_arg, Values& values,
                                               const std::function<clscrypt::ValueCipher()>& make);

}  // namespace clscrypt_python
