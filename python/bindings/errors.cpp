// The package's errors: clscrypt.ErrorKind, clscrypt.Error and a subclass
// per kind, and the translation of the library's RuntimeError into them.

#include <utility>
#include <vector>

#include "common.hpp"

namespace clscrypt_python {

namespace {

// The package's error classes: clscrypt.Error (a RuntimeError, as the
// legacy run-time errors were) and one subclass per kind, each also derived
// from the built-in exception a Python user would catch for it. Made once,
// kept for the interpreter's life.
struct ErrorClass {
    clscrypt::ErrorKind kind;
    const char* name;
    PyObject* builtin;  // null: clscrypt.Error alone
    const char* doc;
};

std::vector<std::pair<clscrypt::ErrorKind, PyObject*>>& error_classes() {
    static std::vector<std::pair<clscrypt::ErrorKind, PyObject*>> classes;
    return classes;
}
PyObject* g_error = nullptr;

// A new error class in the package; the module keeps it.
PyObject* new_error(py::module_& m, const char* name, PyObject* bases, const char* doc) {
    const std::string qualified = std::string("clscrypt.") + name;
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases, nullptr);
    if (cls == nullptr) throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(cls));
    return cls;  // the reference made here is kept for good
}

void set_error(const clscrypt::RuntimeError& e) {
    PyObject* cls = g_error;
    for (const auto& [kind, c] : error_classes()) {
        if (kind == e.Kind()) cls = c;
    }
    // The context may hold a file name that is not UTF-8.
    const std::string what = e.what();
    const auto message = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(what.data(), static_cast<Py_ssize_t>(what.size()), "backslashreplace"));
    if (!message) return;
    const auto instance = py::reinterpret_steal<py::object>(PyObject_CallOneArg(cls, message.ptr()));
    if (!instance) return;
    instance.attr("number") = e.Number();
    instance.attr("description") = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
        e.Description().data(), static_cast<Py_ssize_t>(e.Description().size()), "backslashreplace"));
    instance.attr("kind") = py::cast(e.Kind());
    PyErr_SetObject(cls, instance.ptr());
}

}  // namespace

void init_errors(py::module_& m) {
    // clscrypt.ErrorKind: what went wrong, for code that branches on it.
    py::enum_<clscrypt::ErrorKind> kind(m, "ErrorKind",
                                        "What went wrong: the `kind` of a clscrypt.Error. Branch on it, "
                                        "never on the description (a wrong key and a missing file share a number).");
    for (const auto k :
         {clscrypt::ErrorKind::Other, clscrypt::ErrorKind::InvalidArgument, clscrypt::ErrorKind::Overflow,
          clscrypt::ErrorKind::SubscriptOutOfRange, clscrypt::ErrorKind::DivisionByZero,
          clscrypt::ErrorKind::WrongKeyOrDamaged, clscrypt::ErrorKind::SourceMissing, clscrypt::ErrorKind::FileSystem,
          clscrypt::ErrorKind::System, clscrypt::ErrorKind::OutOfMemory, clscrypt::ErrorKind::Cancelled,
          clscrypt::ErrorKind::Busy, clscrypt::ErrorKind::Unmappable}) {
        kind.value(clscrypt::ErrorKindName(k), k);
    }

    // clscrypt.Error (also clscrypt.RuntimeError, its name before), with the
    // legacy error number and description, and its kind; its subclasses.
    {
        const auto bases = py::make_tuple(py::handle(PyExc_RuntimeError));
        g_error = new_error(
            m, "Error", bases.ptr(),
            "The error every operation raises: a RuntimeError with the legacy error `number`, its `description` "
            "and its `kind` (an ErrorKind, to branch on). str(error) adds context: which value, length or file was "
            "at fault, never a key or plaintext. Each kind has a subclass that also derives from the built-in "
            "exception for it (WrongKeyError is a ValueError, SourceMissingError a FileNotFoundError, ...).");
        m.attr("RuntimeError") = py::handle(g_error);
        const py::handle error(g_error);
        error.attr("Overflow") = clscrypt::RuntimeError::Overflow;
        error.attr("SubscriptOutOfRange") = clscrypt::RuntimeError::SubscriptOutOfRange;
        error.attr("DivisionByZero") = clscrypt::RuntimeError::DivisionByZero;
        error.attr("ClassError") = clscrypt::RuntimeError::ClassError;
        using K = clscrypt::ErrorKind;
        const ErrorClass classes[] = {
            {K::InvalidArgument, "InvalidArgumentError", PyExc_ValueError,
             "An argument or value the operation cannot take."},
            {K::Overflow, "LengthOverflowError", PyExc_OverflowError, "A length beyond the format's 32-bit range."},
            {K::SubscriptOutOfRange, "SubscriptOutOfRangeError", PyExc_ValueError,
             "Text that is not hexadecimal pairs where HexToStr expects them."},
            {K::DivisionByZero, "DivisionByZeroError", PyExc_ZeroDivisionError,
             "HexToStr with a separator count of -2."},
            {K::WrongKeyOrDamaged, "WrongKeyError", PyExc_ValueError,
             "Not a ciphertext of this format under this key (wrong key or damaged data)."},
            {K::SourceMissing, "SourceMissingError", PyExc_FileNotFoundError,
             "The source file of a file operation does not exist."},
            {K::FileSystem, "FileSystemError", PyExc_OSError, "The file system refused or failed an operation."},
            {K::System, "OperatingSystemError", PyExc_OSError,
             "Another service of the operating system failed (the random source)."},
            {K::OutOfMemory, "OutOfMemoryError", PyExc_MemoryError, "Memory ran out."},
            {K::Cancelled, "CancelledError", nullptr, "The caller stopped the operation."},
            {K::Busy, "BusyError", nullptr, "The instance is running an operation and refuses to change its key."},
            {K::Unmappable, "UnmappableError", PyExc_ValueError, "A key or text has a character the code page lacks."},
        };
        for (const auto& c : classes) {
            const auto with =
                c.builtin != nullptr ? py::make_tuple(error, py::handle(c.builtin)) : py::make_tuple(error);
            error_classes().emplace_back(c.kind, new_error(m, c.name, with.ptr(), c.doc));
        }
    }
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const clscrypt::RuntimeError& e) {
            set_error(e);
        }
    });
}

}  // namespace clscrypt_python
