#include "errors/error_value.hpp"

#include "errors/boundary.hpp"
#include "errors/compatibility_texts.hpp"
#include "errors/fault_report.hpp"
#include "errors/string_form.hpp"

namespace molvenar {

ErrorValue ErrorValue::with_message(PyObject* type, std::string message) noexcept {
    return ErrorValue(Lazy{type, std::move(message), nullptr, nullptr});
}
ErrorValue ErrorValue::value_error(std::string_view message) noexcept {
    return with_message(PyExc_ValueError, std::string(message));
}
ErrorValue ErrorValue::type_error(std::string message) noexcept {
    return with_message(PyExc_TypeError, std::move(message));
}
ErrorValue ErrorValue::runtime_error(std::string message) noexcept {
    return with_message(PyExc_RuntimeError, std::move(message));
}
ErrorValue ErrorValue::import_error(std::string message) noexcept {
    return with_message(PyExc_ImportError, std::move(message));
}
ErrorValue ErrorValue::conversion(PyObject* object, const char* target) noexcept {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Py_INCREF(type);
    return ErrorValue(Lazy{PyExc_TypeError, {}, type, target});
}
ErrorValue ErrorValue::from_instance(PyObject* instance) noexcept {
    return ErrorValue(instance);
}

ErrorValue::ErrorValue(ErrorValue&& other) noexcept
    : state_(std::exchange(other.state_, Taken{})), note_(std::move(other.note_)) {}

ErrorValue& ErrorValue::operator=(ErrorValue&& other) noexcept {
    if (this != &other) {
        drop();
        state_ = std::exchange(other.state_, Taken{});
        note_ = std::move(other.note_);
    }
    return *this;
}

ErrorValue::~ErrorValue() { drop(); }

void ErrorValue::drop() noexcept {
    if (auto* lazy = std::get_if<Lazy>(&state_)) {
        if (lazy->source_type)
            release_reference(lazy->source_type);
    } else if (auto* instance = std::get_if<PyObject*>(&state_)) {
        release_reference(*instance);
    }
    state_ = Taken{};
}

namespace {

// The message of a lazy value as a new `str`.
PyObject* lazy_argument(const auto& lazy) noexcept {
    if (!lazy.source_type)
        return new_string(lazy.message);
    std::string message = "'";
    message += qualified_type_name(lazy.source_type);
    message += texts::conversion_middle;
    message += lazy.target;
    message += "'";
    return new_string(message);
}

// Adds `note` to the pending exception with its add_note() method. The
// exception stays pending whatever happens: a failure to add the note is
// dropped, never raised in its place.
void add_note_to_pending(const std::string& note) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised)
        return;
    PyObject* text = PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size()));
    PyObject* method = PyUnicode_InternFromString("add_note");
    PyObject* returned = text && method ? PyObject_CallMethodOneArg(raised, method, text) : nullptr;
    if (returned)
        Py_DECREF(returned);
    else
        PyErr_Clear();
    Py_XDECREF(method);
    Py_XDECREF(text);
    PyErr_SetRaisedException(raised);
}

}  // namespace

void ErrorValue::raise() && noexcept {
    std::string note = std::move(note_);
    std::move(*this).raise_state();
    if (!note.empty()) [[unlikely]]
        add_note_to_pending(note);
}

void ErrorValue::raise_state() && noexcept {
    if (auto* instance = std::get_if<PyObject*>(&state_)) {
        PyObject* raised = *instance;
        state_ = Taken{};
        PyErr_SetRaisedException(raised);
        return;
    }
    auto* lazy = std::get_if<Lazy>(&state_);
    check(lazy != nullptr, texts::invalid_error_state);
    PyObject* argument = lazy_argument(*lazy);
    PyObject* type = lazy->type;
    if (PyType_Check(type) && PyExceptionClass_Check(type))
        PyErr_SetObject(type, argument);
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    Py_DECREF(argument);
    drop();
}

PyObject* ErrorValue::instance() noexcept {
    if (auto* instance = std::get_if<PyObject*>(&state_))
        return *instance;
    // Making the value concrete: raise the lazy value into the interpreter
    // and take the instance straight back.
    check(normalizing_thread_ != std::this_thread::get_id(), texts::reentrant_normalization);
    normalizing_thread_ = std::this_thread::get_id();
    check(std::holds_alternative<Lazy>(state_), texts::normalizing_twice);
    ErrorValue lazy(std::move(*this));
    note_ = std::move(lazy.note_);
    std::move(lazy).raise_state();
    PyObject* instance = PyErr_GetRaisedException();
    check(instance != nullptr, texts::exception_missing);
    state_ = instance;
    normalizing_thread_.reset();
    return instance;
}

PyObject* ErrorValue::type() noexcept {
    return reinterpret_cast<PyObject*>(Py_TYPE(instance()));
}

PyObject* ErrorValue::into_instance() && noexcept {
    PyObject* result = instance();
    state_ = Taken{};
    return result;
}

std::optional<ErrorValue> take_error() noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised)
        return std::nullopt;
    if (reinterpret_cast<PyObject*>(Py_TYPE(raised)) == ensure_panic_exception_type())
        resume_panic(raised);
    return ErrorValue::from_instance(raised);
}

ErrorValue fetch_error() noexcept {
    if (std::optional<ErrorValue> pending = take_error())
        return std::move(*pending);
    return ErrorValue::with_message(PyExc_SystemError, texts::no_exception_set);
}

void discard_error() noexcept {
    PyErr_Clear();
}

[[noreturn]] void api_call_failed(SourceLocation where) noexcept {
    PyErr_Print();
    fault(texts::api_call_failed, where);
}

PyObject* new_string(std::string_view text, SourceLocation where) noexcept {
    PyObject* string = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!string)
        api_call_failed(where);
    return string;
}

}  // namespace molvenar
