#pragma once

// A column of values as the bulk functions take it (a list, a tuple, a
// pandas Series or any iterable; None, NaN and pandas.NA as missing values)
// and its results as Python objects, a part at a time.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"

namespace clscrypt_python {

// What a call accepts as its values: str (text), bytes-like, or either one,
// fixed by the first value present.
enum class Accept { Str, Bytes, Either };

// pandas.NA when pandas is loaded (a value can only be it then), else null.
py::object pandas_na();

// How messages name value `i`.
std::string position(std::size_t i);

// Values per part. A column is read, converted and turned into Python
// objects a part at a time, so the call holds the views and library results
// of a few parts (all in the caches), never a second copy of a million
// values; a part is still large enough for giving up and retaking the GIL,
// and handing parts to threads, to cost nothing measurable.
constexpr std::size_t kPart = 16384;

// One part of a column: its values' views while they are converted, and the
// library's results until they become Python objects.
struct Part {
    enum class State : std::uint8_t { Free, Ready, Busy, Done };
    std::size_t number = 0;
    std::size_t first = 0;                // the column position of its first value
    bool text = false;                    // whether its values are str
    std::vector<std::string_view> views;  // the values present, in order
    std::vector<std::uint32_t> offsets;   // each view's position, counted from `first`
    std::vector<PyObject*> refs;          // references that keep viewed values alive
    std::deque<std::string> copies;       // other bytes-like values, copied (wiped)
    std::vector<std::string> outs;        // reused part after part
    std::vector<clscrypt::ValueOutcome> outcomes;
    std::exception_ptr failure;
    bool wipe_outs = false;
    State state = State::Free;

    Part() = default;
    Part(const Part&) = delete;
    Part& operator=(const Part&) = delete;
    // Lets go of the values; the GIL is held.
    void release() noexcept {
        for (PyObject* r : refs) Py_DECREF(r);
        refs.clear();
        for (auto& s : copies) wipe(s);
        copies.clear();
        views.clear();
        offsets.clear();
        failure = nullptr;
    }
    ~Part() {
        release();
        if (wipe_outs) {
            for (auto& s : outs) wipe(s);
        }
    }
};

// The values of one call, read a part at a time while the GIL is held: a
// list or tuple as it is (no copy of its references), any other iterable (a
// pandas Series, a generator) gathered into a list first. Missing values
// (None, the float NaN that pandas puts in an object column's gaps, and
// pandas.NA of its string columns) take no part and come back as None.
class Values {
public:
    // `first`: the column position of the first value, for messages (a
    // Dask partition's place in its whole column).
    Values(const py::handle& values, Accept accept, std::size_t first = 0)
        : accept_(accept), na_(pandas_na()), first_(first) {
        if (PyUnicode_Check(values.ptr()) || PyBytes_Check(values.ptr())) {
            throw py::type_error("values is a collection of values (a list, a pandas Series), not a single value");
        }
        if (PyList_CheckExact(values.ptr()) || PyTuple_CheckExact(values.ptr())) {
            seq_ = py::reinterpret_borrow<py::object>(values);
            // The caller's list may change while the GIL is given up between
            // parts: the values of a part in hand are referenced.
            shared_ = PyList_CheckExact(values.ptr());
        } else {
            seq_ = py::reinterpret_steal<py::object>(PySequence_List(values.ptr()));
            if (!seq_) throw py::error_already_set();
        }
        list_ = PyList_CheckExact(seq_.ptr());
        count_ = static_cast<std::size_t>(list_ ? PyList_GET_SIZE(seq_.ptr()) : PyTuple_GET_SIZE(seq_.ptr()));
    }

    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    // The position messages give for value `i`.
    [[nodiscard]] std::size_t row(std::size_t i) const noexcept { return first_ + i; }
    // Whether the values present were str (the default when none was).
    [[nodiscard]] bool text() const noexcept { return text_.value_or(accept_ == Accept::Str); }

    // Positions [first, end) into `part`, and None into `results` for the
    // values missing; raises TypeError for a value the call does not take.
    void gather(std::size_t first, std::size_t end, Part& part, PyObject* results) {
        part.first = first;
        for (std::size_t i = first; i < end; ++i) {
            PyObject* item = at(i);
            std::string_view view;
            switch (classify(item, i)) {
                case Kind::Missing:
                    Py_INCREF(Py_None);
                    PyList_SET_ITEM(results, static_cast<Py_ssize_t>(i), Py_None);
                    continue;
                case Kind::Str: view = str_view(item); break;
                case Kind::Bytes:
                    view = std::string_view(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
                    break;
                case Kind::Buffer: {
                    // A bytearray or memoryview may change while the GIL is
                    // released: its bytes are copied.
                    Py_buffer buffer;
                    if (PyObject_GetBuffer(item, &buffer, PyBUF_SIMPLE) != 0) throw py::error_already_set();
                    part.copies.emplace_back(static_cast<const char*>(buffer.buf),
                                             static_cast<std::size_t>(buffer.len));
                    PyBuffer_Release(&buffer);
                    view = part.copies.back();
                    break;
                }
            }
            if (shared_) {
                Py_INCREF(item);
                part.refs.push_back(item);
            }
            part.views.push_back(view);
            part.offsets.push_back(static_cast<std::uint32_t>(i - first));
        }
        part.text = text();
    }

    // Raises the TypeError of the first value from `first` on that the call
    // does not take, if there is one: a failed conversion raises only after
    // the whole column has been found to be of values the call takes.
    void check_from(std::size_t first) {
        for (std::size_t i = first; i < count_; ++i) classify(at(i), i);
    }

private:
    enum class Kind { Missing, Str, Bytes, Buffer };

    PyObject* at(std::size_t i) const {
        if (!list_) return PyTuple_GET_ITEM(seq_.ptr(), static_cast<Py_ssize_t>(i));
        if (i >= static_cast<std::size_t>(PyList_GET_SIZE(seq_.ptr()))) {
            throw clscrypt::RuntimeError::FromNumber(clscrypt::ErrorKind::InvalidArgument, 5,
                                                     "values changed size during the call");
        }
        return PyList_GET_ITEM(seq_.ptr(), static_cast<Py_ssize_t>(i));
    }

    Kind classify(PyObject* item, std::size_t i) {
        const bool is_str = PyUnicode_Check(item);
        if (!is_str &&
            (item == Py_None || item == na_.ptr() || (PyFloat_Check(item) && std::isnan(PyFloat_AS_DOUBLE(item))))) {
            return Kind::Missing;
        }
        const bool want_str = accept_ == Accept::Str || (accept_ == Accept::Either && text_.value_or(is_str));
        if (is_str != want_str) {
            throw py::type_error(position(row(i)) + " is " + std::string(Py_TYPE(item)->tp_name) + "; expected " +
                                 (want_str ? "str" : "bytes") +
                                 (accept_ == Accept::Either ? " like the values before it" : ""));
        }
        text_ = is_str;
        if (is_str) return Kind::Str;
        if (PyBytes_Check(item)) return Kind::Bytes;
        if (PyObject_CheckBuffer(item)) return Kind::Buffer;
        throw py::type_error(position(row(i)) + " is " + std::string(Py_TYPE(item)->tp_name) +
                             "; expected str or bytes");
    }

    // A str's UTF-8, held by the str itself: its characters as they are
    // when it is all ASCII (the usual case).
    static std::string_view str_view(PyObject* item) {
        if (PyUnicode_IS_COMPACT_ASCII(item)) {
            return {static_cast<const char*>(PyUnicode_DATA(item)),
                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(item))};
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item, &size);
        if (data != nullptr) return {data, static_cast<std::size_t>(size)};
        // A str with a lone surrogate has no UTF-8: the library is handed a
        // byte that starts no UTF-8 or stored form, so the value fails as
        // text it cannot take, like any other.
        PyErr_Clear();
        return {"\xff", 1};
    }

    Accept accept_;
    py::object na_;
    py::object seq_;  // a list or tuple
    bool list_ = false;
    bool shared_ = false;
    std::size_t count_ = 0;
    std::size_t first_ = 0;
    std::optional<bool> text_;
};

// The error of a value that failed, raised as the strict operation raises it,
// with its position in front of the context; never the value itself.
[[noreturn]] void raise_at(std::size_t i, const clscrypt::RuntimeError& e);

// What the results are in Python: str that is ASCII by its form
// (hexadecimal, Base64), str from UTF-8 (text), or bytes.
enum class Output { Ascii, Text, Bytes };

// A result as a new Python object.
PyObject* result_object(const std::string& s, Output output);

// What a stored form is in Python.
Output output_of(clscrypt::StoredForm form);

}  // namespace clscrypt_python
