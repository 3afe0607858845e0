// Error values: a failure travelling back to the call boundary.
//
// A lazy value holds an exception type and what its message is made from; no
// Python object exists until it is raised or made concrete. A concrete value
// holds one exception instance, fetched from the interpreter or made from a
// lazy value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>

#include "errors/python.hpp"
#include "errors/source_location.hpp"

namespace molvenar {

class ErrorValue {
public:
    // Lazy values with a message. `type` is one of the interpreter's built-in
    // exception classes, which live for the whole process.
    static ErrorValue with_message(PyObject* type, std::string message) noexcept;
    static ErrorValue value_error(std::string_view message) noexcept;
    static ErrorValue type_error(std::string message) noexcept;
    static ErrorValue runtime_error(std::string message) noexcept;
    static ErrorValue import_error(std::string message) noexcept;
    // TypeError "'<qualified type name>' object cannot be converted to
    // '<target>'"; keeps a reference to the object's type until raised.
    static ErrorValue conversion(PyObject* object, const char* target) noexcept;
    // Takes over a reference to an exception instance.
    static ErrorValue from_instance(PyObject* instance) noexcept;

    ErrorValue(ErrorValue&& other) noexcept;
    ErrorValue& operator=(ErrorValue&& other) noexcept;
    ErrorValue(const ErrorValue&) = delete;
    ErrorValue& operator=(const ErrorValue&) = delete;
    ~ErrorValue();

    // Sets the interpreter's pending exception; the value is used up.
    void raise() && noexcept;
    // The exception instance (borrowed), making a lazy value concrete once.
    PyObject* instance() noexcept;
    // The class of the concrete instance (borrowed).
    PyObject* type() noexcept;
    // A new reference to the instance; the value is used up.
    PyObject* into_instance() && noexcept;

    // Text added with add_note() to the exception when it is raised: what
    // was expected, what was given, how to fix it. Built only on the
    // refusing path, from plain values (it never refers to an argument).
    void set_note(std::string note) noexcept { note_ = std::move(note); }
    const std::string& note() const noexcept { return note_; }

private:
    struct Lazy {
        PyObject* type;              // built-in exception class
        std::string message;
        PyObject* source_type;       // owned; set for conversion errors only
        const char* target;          // conversion target name
    };
    struct Taken {};

    explicit ErrorValue(Lazy lazy) noexcept : state_(std::move(lazy)) {}
    explicit ErrorValue(PyObject* instance) noexcept : state_(instance) {}
    void drop() noexcept;
    // Raise without the note: also the way a lazy value is made concrete.
    void raise_state() && noexcept;

    std::variant<Lazy, PyObject*, Taken> state_;
    std::string note_;
    std::optional<std::thread::id> normalizing_thread_;
};

// The interpreter's pending exception as a concrete error value, clearing it;
// nothing when none is pending. A pending PanicException of this module ends
// the process instead.
std::optional<ErrorValue> take_error() noexcept;
// Like take_error, but yields SystemError "attempted to fetch exception but
// none was set" when nothing is pending. Used after a failed interpreter call.
ErrorValue fetch_error() noexcept;
// The error value with `note` attached.
inline ErrorValue with_note(ErrorValue error, std::string note) noexcept {
    error.set_note(std::move(note));
    return error;
}

// Takes and drops the pending exception, if any.
void discard_error() noexcept;

// For interpreter calls that must not fail: prints the pending exception,
// then ends the process with the fault "Python API call failed".
[[noreturn]] void api_call_failed(
    SourceLocation where = SourceLocation::current()) noexcept;

// A new `str` from UTF-8 text; a failure is api_call_failed.
PyObject* new_string(std::string_view text,
                     SourceLocation where = SourceLocation::current()) noexcept;

}  // namespace molvenar
