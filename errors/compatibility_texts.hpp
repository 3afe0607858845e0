// The texts this module shares byte for byte with others: names and
// messages that other extension modules and callers match exactly.
//
// They are not this module's own wording, and none of them is to be
// corrected, shortened or translated, typing errors included ("Interal"):
// - the borrow registry's capsule name is the meeting point of every
//   extension module in the process that keeps read and write borrows of
//   NumPy arrays; a module that looks for another name makes a second
//   registry and its borrows no longer see ours;
// - the exception type, the banner lines and the messages below are those
//   of the binding framework and the array bridge that such modules are
//   built with, so that a caller (or a test harness reading standard error)
//   that handles their errors handles this module's the same way.
//
// Only the error, bridge and module code includes this header; the kernel
// library does not, and stays free of Python.
#pragma once

#include <string_view>

namespace molvenar::texts {

// --- the shared borrow registry ---------------------------------------------

// The attribute of NumPy's multiarray module that holds the capsule, and the
// capsule's own name.
inline constexpr char borrow_capsule_name[] = "_RUST_NUMPY_BORROW_CHECKING_API";
static_assert(sizeof borrow_capsule_name == 32);

// TypeError for a registry table of version 0: version_prefix + the version
// in decimal + version_suffix.
inline constexpr std::string_view unsupported_version_prefix = "Version ";
inline constexpr std::string_view unsupported_version_suffix =
    " of borrow checking API is not supported by this version of rust-numpy";

// Internal fault when the registry cannot be had: + the error's debug form.
inline constexpr std::string_view borrow_api_error = "Interal borrow checking API error: ";

// Internal fault when another module holds an input array for writing.
inline constexpr std::string_view already_borrowed =
    "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed";

// Internal fault for a result code outside the protocol: prefix + the code
// in signed decimal + suffix.
inline constexpr std::string_view unexpected_code_prefix = "Unexpected return code ";
inline constexpr std::string_view unexpected_code_suffix = " from borrow checking API";

// Internal fault when a borrow to give back is not registered.
inline constexpr std::string_view missing_borrow = "called `Option::unwrap()` on a `None` value";

// --- NumPy arrays -----------------------------------------------------------

// The target of the conversion error for an argument that is not a
// one-dimensional float64 array: "'<type>' object cannot be converted to
// 'PyArray<T, D>'".
inline constexpr char array_target[] = "PyArray<T, D>";

// The target for a module attribute that must be a capsule (NumPy's API
// table, the borrow registry).
inline constexpr char capsule_target[] = "PyCapsule";

// Internal fault when NumPy's API table cannot be had: + the error's debug form.
inline constexpr std::string_view numpy_capsule_error = "Failed to access NumPy array API capsule: ";

// Internal fault for a series view of an array that is not one-dimensional.
inline constexpr std::string_view inconsistent_dimensionalities =
    "inconsistent dimensionalities: The dimensionality expected by `PyArray` does not match that given "
    "by NumPy.\nPlease report a bug against the `rust-numpy` crate.";
static_assert(inconsistent_dimensionalities.size() == 159);

// --- messages about Python objects ---------------------------------------------

// TypeError "'" + the type's qualified name + conversion_middle + target + "'".
inline constexpr std::string_view conversion_middle = "' object cannot be converted to '";
// In place of a type name that cannot be read.
inline constexpr char type_name_failed[] = "<failed to extract type name>";
// In place of an object whose string form fails: "<unprintable " + its
// type's name + " object>", or this when the name fails too.
inline constexpr std::string_view unprintable_prefix = "<unprintable ";
inline constexpr std::string_view unprintable_suffix = " object>";
inline constexpr char unprintable_object[] = "<unprintable object>";

// --- the module ---------------------------------------------------------------

// ImportError for an interpreter other than the one that first imported the module.
inline constexpr char subinterpreters_unsupported[] =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

// Targets of the conversion errors for the module's `__all__` and names.
inline constexpr char list_target[] = "PyList";
inline constexpr char string_target[] = "PyString";

// OverflowError for a period (or NumPy major version) outside the machine word.
inline constexpr char integer_out_of_range[] = "out of range integral type conversion attempted";

// --- error values -------------------------------------------------------------

inline constexpr char no_exception_set[] = "attempted to fetch exception but none was set";
inline constexpr char api_call_failed[] = "Python API call failed";
inline constexpr char invalid_error_state[] = "PyErr state should never be invalid outside of normalization";
inline constexpr char reentrant_normalization[] = "Re-entrant normalization of PyErrState detected";
inline constexpr char normalizing_twice[] = "Cannot normalize a PyErr while already normalizing it.";
inline constexpr char exception_missing[] = "exception missing after writing to the interpreter";

// --- faults that come back from Python ------------------------------------------

// The exception type that stands for a fault travelling through Python code
// (qualified name: module `pyo3_runtime`, name `PanicException`), and its
// documentation.
inline constexpr char panic_type_name[] = "pyo3_runtime.PanicException";
inline constexpr char panic_type_doc[] =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
static_assert(sizeof panic_type_doc - 1 == 235);

// Internal fault when that type cannot be made: + ": " and the error's debug form.
inline constexpr std::string_view panic_type_failed = "Failed to initialize new exception type.";

// The lines on standard error before the interpreter prints a PanicException
// that came back from Python.
inline constexpr std::string_view resuming_panic_banner =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n";
inline constexpr std::string_view python_trace_header = "Python stack trace below:\n";
static_assert(resuming_panic_banner.size() == 78 && python_trace_header.size() == 26);

}  // namespace molvenar::texts
