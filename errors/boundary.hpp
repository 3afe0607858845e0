// The call boundary: every entry from the interpreter passes through here.
//
// It counts the interpreter lock as held by this thread, settles reference
// releases that had to wait for the lock, and raises the body's error value.
// It also releases the lock around numeric work.
#pragma once

#include <cstdint>
#include <utility>

#include "errors/python.hpp"
#include "errors/result.hpp"

namespace molvenar {

namespace boundary_detail {
extern thread_local std::intptr_t lock_depth;
void drain_deferred_releases() noexcept;
PyObject* finish(Result<PyObject*>& result) noexcept;
}  // namespace boundary_detail

// Drops a reference now when this thread holds the interpreter lock inside a
// boundary, otherwise queues it for the next boundary entry.
void release_reference(PyObject* object) noexcept;

// Runs `body` (returning Result<PyObject*>) and returns its new reference, or
// null with the error raised.
template <class Body>
PyObject* call_boundary(Body&& body) noexcept {
    ++boundary_detail::lock_depth;
    boundary_detail::drain_deferred_releases();
    PyObject* returned;
    {
        Result<PyObject*> result = std::forward<Body>(body)();
        returned = boundary_detail::finish(result);
    }
    --boundary_detail::lock_depth;
    return returned;
}

// Runs `work`, which touches no Python object, with the interpreter lock
// released, and passes its result through.
template <class Work>
decltype(auto) without_interpreter_lock(Work&& work) noexcept {
    struct Reacquire {
        std::intptr_t saved_depth;
        PyThreadState* state;
        ~Reacquire() {
            boundary_detail::lock_depth = saved_depth;
            PyEval_RestoreThread(state);
            boundary_detail::drain_deferred_releases();
        }
    };
    Reacquire reacquire{std::exchange(boundary_detail::lock_depth, 0), nullptr};
    reacquire.state = PyEval_SaveThread();
    return std::forward<Work>(work)();
}

// The PanicException class, made on first need; null until then.
PyObject* panic_exception_type() noexcept;
PyObject* ensure_panic_exception_type() noexcept;

// A PanicException came back from Python: print it and end the process.
[[noreturn]] void resume_panic(PyObject* exception) noexcept;

}  // namespace molvenar
