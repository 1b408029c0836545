// Missing values, positions and result objects of columns.

#include "columns.hpp"

namespace clscrypt_python {

namespace {

bool is_ascii(const std::string& s) noexcept {
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, s.data() + i, 8);
        high |= word;
    }
    for (; i < s.size(); ++i) high |= static_cast<unsigned char>(s[i]);
    return (high & 0x8080808080808080U) == 0;
}

}  // namespace

py::object pandas_na() {
    const py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains("pandas")) return py::object();
    return py::getattr(modules["pandas"], "NA", py::none());
}

std::string position(std::size_t i) {
    return "value " + std::to_string(i);
}

[[noreturn]] void raise_at(std::size_t i, const clscrypt::RuntimeError& e) {
    std::string context = position(i);
    const std::string what = e.what();
    const std::string prefix = e.Description() + ": ";
    if (what.size() > prefix.size() && what.compare(0, prefix.size(), prefix) == 0) {
        context += ", " + what.substr(prefix.size());
    }
    throw clscrypt::RuntimeError(e.Kind(), e.Number(), e.Description(), context);
}

// A result as a new Python object: ASCII goes into a one-byte str with one
// copy, where decoding it as UTF-8 would look at every byte again.
PyObject* result_object(const std::string& s, Output output) {
    const auto n = static_cast<Py_ssize_t>(s.size());
    if (output == Output::Bytes) return PyBytes_FromStringAndSize(s.data(), n);
    if (output == Output::Text && !is_ascii(s)) return PyUnicode_DecodeUTF8(s.data(), n, "strict");
    PyObject* str = PyUnicode_New(n, 127);
    if (str != nullptr && n != 0) std::memcpy(PyUnicode_1BYTE_DATA(str), s.data(), s.size());
    return str;
}

// What a stored form is in Python.
Output output_of(clscrypt::StoredForm form) {
    switch (form) {
        case clscrypt::StoredForm::Hex:
        case clscrypt::StoredForm::Base64: return Output::Ascii;
        case clscrypt::StoredForm::String: return Output::Text;
        case clscrypt::StoredForm::Bytes: break;
    }
    return Output::Bytes;
}

}  // namespace clscrypt_python
