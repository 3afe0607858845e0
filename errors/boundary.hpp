// The call boundary: every entry from the interpreter passes through here.
//
// It counts the interpreter lock as held by this thread, settles reference
// releases that had to wait for the lock, and raises the body's error value.
// It also releases the lock around numeric work.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "errors/python.hpp"
#include "errors/result.hpp"

namespace molvenar {

namespace boundary_detail {
extern thread_local std::intptr_t lock_depth;
struct DeferredReleases;
// Null until some release had to be deferred: the gate every boundary reads.
extern std::atomic<DeferredReleases*> deferred_list;
void drain(DeferredReleases& list) noexcept;
inline void drain_deferred_releases() noexcept {
    if (DeferredReleases* list = deferred_list.load(std::memory_order_acquire)) [[unlikely]]
        drain(*list);
}
PyObject* finish(Result<PyObject*>& result) noexcept;
void defer_release(PyObject* object) noexcept;
}  // namespace boundary_detail

// Drops a reference now when this thread holds the interpreter lock inside a
// boundary, otherwise queues it for the next boundary entry.
inline void release_reference(PyObject* object) noexcept {
    if (boundary_detail::lock_depth > 0) [[likely]]
        Py_DECREF(object);
    else
        boundary_detail::defer_release(object);
}

// Runs `body` (returning Result<PyObject*>) and returns its new reference, or
// null with the error raised.
template <class Body>
PyObject* call_boundary(Body&& body) noexcept {
    // The thread-local's address is looked up once: in a shared object each
    // lookup is a call into the dynamic linker.
    std::intptr_t& lock_depth = boundary_detail::lock_depth;
    ++lock_depth;
    boundary_detail::drain_deferred_releases();
    PyObject* returned;
    {
        Result<PyObject*> result = std::forward<Body>(body)();
        returned = boundary_detail::finish(result);
    }
    --lock_depth;
    return returned;
}

// Runs `work`, which touches no Python object, with the interpreter lock
// released, and passes its result through.
template <class Work>
decltype(auto) without_interpreter_lock(Work&& work) noexcept {
    struct Reacquire {
        std::intptr_t& lock_depth;
        std::intptr_t saved_depth;
        PyThreadState* state;
        ~Reacquire() {
            lock_depth = saved_depth;
            PyEval_RestoreThread(state);
            boundary_detail::drain_deferred_releases();
        }
    };
    std::intptr_t& lock_depth = boundary_detail::lock_depth;
    Reacquire reacquire{lock_depth, std::exchange(lock_depth, 0), nullptr};
    reacquire.state = PyEval_SaveThread();
    return std::forward<Work>(work)();
}

// The PanicException class, made on first need; null until then.
PyObject* panic_exception_type() noexcept;
PyObject* ensure_panic_exception_type() noexcept;

// A PanicException came back from Python: print it and end the process.
[[noreturn]] void resume_panic(PyObject* exception) noexcept;

}  // namespace molvenar
