// The compiled part of the Python package `clscrypt` (`clscrypt._clscrypt`,
// re-exported by the package): clsToString and clsHsh with the operation
// names of the C++ classes, and the bulk-value functions over ValueCipher.
//
// Byte arrays are `bytes`-like objects; a `bytearray` given to EncryptByte or
// DecryptByte changes in place, as the C++ vector does, and anything else
// gets its result returned as `bytes`. Texts are `str`. The GIL is released
// while the cipher works: the input is copied out of the Python object
// first, so another thread may touch that object meanwhile without harm, and
// each instance has a lock so that two threads never run one instance at
// once. Progress listeners are Python callables, called with the GIL held.
//
// The bulk-value functions take a column at once. The keyed tables are set
// up once; then the column goes part by part: the values' text or bytes are
// viewed while the GIL is held (pointers into the immutable str and bytes
// objects, which the call keeps referenced while it views them), converted
// with the GIL released, and the results made Python objects. With threads,
// parts are converted on them while the calling thread reads and makes
// objects. Conversion, candidates and errors are all ValueCipher's; this
// layer only maps Python values and names onto it.
//
// The parts, one file each: errors.cpp (the error classes), legacy.cpp with
// legacy_ops.cpp (clsToString, ProgressEvent, clsHsh), values.cpp (the value
// functions) over columns.cpp (columns and pandas' missing values) and
// engine.cpp (the threads that convert parts), quiet_calls.cpp (messages
// that name no argument), interrupt.cpp and arguments.cpp (shared by all).

#include "common.hpp"

PYBIND11_MODULE(_clscrypt, m) {
    m.doc() = "The compiled part of the clscrypt package; import clscrypt instead.";
    m.attr("__version__") = CLSCRYPT_VERSION;
    clscrypt_python::init_errors(m);
    clscrypt_python::init_legacy(m);
    clscrypt_python::init_values(m);
    clscrypt_python::init_quiet_calls(m);
}
