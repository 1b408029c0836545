// Arguments from Python objects.

#include <cstring>

#include "common.hpp"

namespace clscrypt_python {

// Every argument reaches the bindings as a Python object and is converted
// here, so that a wrong one raises TypeError (or ValueError for a value out
// of range) naming the function, the parameter and the type it takes, never
// the value given: that may be a key or a plaintext, and exception messages
// end up in logs, in tracebacks and on a Dask client.

[[noreturn]] void wrong_type(const char* where, const char* param, const char* expected, py::handle got) {
    throw py::type_error(std::string(where) + "(): " + param + " must be " + expected + ", not " +
                         Py_TYPE(got.ptr())->tp_name);
}

// A str as UTF-16 code units, as the legacy strings hold text. A lone
// surrogate passes as the code unit it is; the code page lacks it as it
// lacks any other character, so it is refused or replaced by that rule.
std::u16string utf16(py::handle text) {
    PyObject* encoded = PyUnicode_AsEncodedString(text.ptr(), "utf-16-le", "surrogatepass");
    if (encoded == nullptr) throw py::error_already_set();
    const auto bytes = py::reinterpret_steal<py::object>(encoded);
    char* data = PyBytes_AS_STRING(encoded);
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded));
    std::u16string out(size / 2, u'\0');
    if (size != 0) std::memcpy(out.data(), data, size);
    clscrypt::Wipe(data, size);  // a key or a plaintext; the object is ours alone
    return out;
}

std::u16string text_arg(py::handle h, const char* where, const char* param) {
    if (!PyUnicode_Check(h.ptr())) wrong_type(where, param, "str", h);
    return utf16(h);
}

// An int (or anything with __index__, such as numpy's integers) from lo to hi.
std::int64_t int_arg(py::handle h, const char* where, const char* param, std::int64_t lo, std::int64_t hi) {
    if (PyFloat_Check(h.ptr()) || !PyIndex_Check(h.ptr())) wrong_type(where, param, "int", h);
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(h.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
    if (overflow != 0 || value < lo || value > hi) {
        throw py::value_error(std::string(where) + "(): " + param + " must be from " + std::to_string(lo) + " to " +
                              std::to_string(hi));
    }
    return value;
}

bool bool_arg(py::handle h, const char* where, const char* param) {
    if (!PyBool_Check(h.ptr()) && !PyLong_Check(h.ptr())) wrong_type(where, param, "bool", h);
    return PyObject_IsTrue(h.ptr()) == 1;
}

// One of a few names (a stored form, an error policy). The name given is not
// repeated in the message: a key passed in the wrong place would be.
std::string choice_arg(py::handle h, const char* where, const char* param, std::initializer_list<const char*> names) {
    if (!PyUnicode_Check(h.ptr())) wrong_type(where, param, "str", h);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(h.ptr(), &size);
    if (data == nullptr) PyErr_Clear();
    std::string list;
    for (const char* name : names) {
        if (data != nullptr && std::string_view(data, static_cast<std::size_t>(size)) == name) return name;
        list += std::string(list.empty() ? "" : ", ") + '"' + name + '"';
    }
    throw py::value_error(std::string(where) + "(): " + param + " must be one of " + list);
}

// A file name: str, bytes or os.PathLike, as open() takes it.
std::filesystem::path path_arg(py::handle h, const char* where, const char* param) {
    if (!PyUnicode_Check(h.ptr()) && !PyBytes_Check(h.ptr()) && !PyObject_HasAttrString(h.ptr(), "__fspath__")) {
        wrong_type(where, param, "str, bytes or os.PathLike", h);
    }
#ifdef _WIN32
    PyObject* decoded = nullptr;
    if (PyUnicode_FSDecoder(h.ptr(), &decoded) == 0) throw py::error_already_set();
    const auto text = py::reinterpret_steal<py::object>(decoded);
    return std::filesystem::path(py::cast<std::wstring>(text));
#else
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(h.ptr(), &encoded) == 0) throw py::error_already_set();
    const auto bytes = py::reinterpret_steal<py::object>(encoded);
    return std::filesystem::path(
        std::string(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded))));
#endif
}

clscrypt::CodePage code_page(py::handle number, const char* where) {
    if (number.is_none()) return clscrypt::CodePage();
    return clscrypt::CodePage::FromNumber(static_cast<int>(int_arg(number, where, "codepage", INT32_MIN, INT32_MAX)));
}

}  // namespace clscrypt_python
