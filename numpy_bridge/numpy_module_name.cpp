#include "numpy_bridge/numpy_module_name.hpp"

#include <atomic>

#include "errors/compatibility_texts.hpp"
#include "errors/py_ref.hpp"

namespace molvenar {
namespace {

PyRef import_module(const char* name) noexcept {
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text)
        return {};
    return PyRef::steal(PyImport_Import(text.get()));
}

// numpy.lib.NumpyVersion(numpy.__version__).major, as an unsigned byte.
Result<unsigned> numpy_major_version() noexcept {
    PyRef numpy = import_module("numpy");
    if (!numpy)
        return fetch_error();
    PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version)
        return fetch_error();
    PyRef lib = import_module("numpy.lib");
    if (!lib)
        return fetch_error();
    PyRef version_class = PyRef::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    if (!version_class)
        return fetch_error();
    PyRef parsed = PyRef::steal(PyObject_CallOneArg(version_class.get(), version.get()));
    if (!parsed)
        return fetch_error();
    PyRef major = PyRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major)
        return fetch_error();
    long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred())
        return fetch_error();
    if (value < 0 || value > 255)
        return ErrorValue::with_message(PyExc_OverflowError, texts::integer_out_of_range);
    return static_cast<unsigned>(value);
}

// The name is one of two literals, so the cache holds a plain pointer;
// null means not yet known. Racing first uses store the same literal.
std::atomic<const char*> cached_multiarray_name{nullptr};

}  // namespace

Result<const char*> multiarray_module_name() noexcept {
    if (const char* name = cached_multiarray_name.load(std::memory_order_acquire))
        return name;
    Result<unsigned> major = numpy_major_version();
    if (!major)
        return std::move(major).error();
    const char* name = major.value() >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    cached_multiarray_name.store(name, std::memory_order_release);
    return name;
}

Result<PyRef> import_multiarray_module() noexcept {
    Result<const char*> module_name = multiarray_module_name();
    if (!module_name)
        return std::move(module_name).error();
    PyRef module = import_module(module_name.value());
    if (!module)
        return fetch_error();
    return module;
}

}  // namespace molvenar
