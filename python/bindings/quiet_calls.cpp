// Calls that fit no parameter list.

#include <cstring>
#include <string>
#include <string_view>

#include "common.hpp"

namespace clscrypt_python {

namespace {

// pybind11 answers a call whose arguments fit none of a function's
// signatures (too many, one missing, an unknown keyword) with a TypeError
// that ends in the repr of every argument given: keys and plaintexts among
// them. Every function of this module goes through this dispatcher instead,
// which keeps pybind11's part of the message up to that list and puts the
// parameter names there in its place. (With every parameter taken as a
// Python object and converted by the code above, arity is all that is left
// to fail there.)

struct Dispatch : py::cpp_function {
    using py::cpp_function::dispatcher;
};

std::string parameters(const py::detail::function_record* rec) {
    std::string out;
    for (const auto& arg : rec->args) {
        if (arg.name == nullptr || std::string_view(arg.name) == "self") continue;
        out += std::string(out.empty() ? "" : ", ") + arg.name + (arg.value ? "=..." : "");
    }
    return out;
}

extern "C" PyObject* quiet_dispatcher(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* result = Dispatch::dispatcher(self, args, kwargs);
    if (result != nullptr || PyErr_ExceptionMatches(PyExc_TypeError) == 0) return result;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    const char* text = nullptr;
    PyObject* str = value != nullptr ? PyObject_Str(value) : nullptr;
    if (str != nullptr) text = PyUnicode_AsUTF8(str);
    if (text == nullptr || std::strstr(text, "\nInvoked with") == nullptr) {
        Py_XDECREF(str);
        PyErr_Clear();
        PyErr_Restore(type, value, trace);
        return nullptr;
    }
    Py_XDECREF(str);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(trace);
    const auto* rec = static_cast<const py::detail::function_record*>(PyCapsule_GetPointer(self, nullptr));
    if (rec == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "the arguments given fit none of this function's parameters");
        return nullptr;
    }
    const std::string message = std::string(rec->name) + "() takes (" + parameters(rec) +
                                "): the arguments given do not fit (too many, one missing or an unknown keyword)";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
}

void quiet(PyObject* f) {
    if (f == nullptr) return;
    if (PyInstanceMethod_Check(f)) f = PyInstanceMethod_GET_FUNCTION(f);
    if (!PyCFunction_Check(f)) return;
    PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(f)->m_ml;
    const auto pybind = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Dispatch::dispatcher));
    if (def->ml_meth == pybind)
        def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&quiet_dispatcher));
}

}  // namespace

// Every function of the module and every method and property of its classes.
void init_quiet_calls(const py::module_& m) {
    for (const auto item : m.attr("__dict__").cast<py::dict>()) {
        PyObject* value = item.second.ptr();
        quiet(value);
        if (!PyType_Check(value)) continue;
        for (const auto member : py::reinterpret_borrow<py::dict>(reinterpret_cast<PyTypeObject*>(value)->tp_dict)) {
            PyObject* v = member.second.ptr();
            quiet(v);
            if (PyObject_TypeCheck(v, &PyProperty_Type)) {
                for (const char* part : {"fget", "fset", "fdel"}) {
                    const auto accessor = py::reinterpret_steal<py::object>(PyObject_GetAttrString(v, part));
                    if (!accessor) PyErr_Clear();
                    quiet(accessor.ptr());
                }
            } else if (PyObject_HasAttrString(v, "__func__")) {
                const auto inner = py::reinterpret_steal<py::object>(PyObject_GetAttrString(v, "__func__"));
                quiet(inner.ptr());
            }
        }
    }
}

}  // namespace clscrypt_python
