#include "errors/boundary.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "errors/compatibility_texts.hpp"
#include "errors/fault_report.hpp"
#include "errors/result.hpp"
#include "errors/string_form.hpp"

namespace molvenar {

namespace boundary_detail {

thread_local std::intptr_t lock_depth = 0;

// References whose release was asked for without the interpreter lock.
struct DeferredReleases {
    std::mutex mutex;
    std::vector<PyObject*> pending;
};

std::atomic<DeferredReleases*> deferred_list{nullptr};

namespace {

std::once_flag deferred_created_gate;

DeferredReleases& deferred_releases() noexcept {
    std::call_once(deferred_created_gate, [] { deferred_list.store(new DeferredReleases); });
    return *deferred_list.load(std::memory_order_acquire);
}

}  // namespace

void drain(DeferredReleases& list) noexcept {
    std::vector<PyObject*> taken;
    {
        std::lock_guard lock(list.mutex);
        taken.swap(list.pending);
    }
    for (PyObject* object : taken)
        Py_DECREF(object);
}

PyObject* finish(Result<PyObject*>& result) noexcept {
    if (result.ok())
        return result.value();
    std::move(result.error()).raise();
    return nullptr;
}

void defer_release(PyObject* object) noexcept {
    auto& list = deferred_releases();
    std::lock_guard lock(list.mutex);
    list.pending.push_back(object);
}

}  // namespace boundary_detail

namespace {

// Set once under the interpreter lock; never released.
std::atomic<PyObject*> panic_type{nullptr};

}  // namespace

PyObject* panic_exception_type() noexcept {
    return panic_type.load(std::memory_order_acquire);
}

PyObject* ensure_panic_exception_type() noexcept {
    if (PyObject* existing = panic_exception_type())
        return existing;
    PyObject* made = PyErr_NewExceptionWithDoc(texts::panic_type_name, texts::panic_type_doc,
                                               PyExc_BaseException, nullptr);
    if (!made) {
        ErrorValue error = fetch_error();
        fault(std::string(texts::panic_type_failed) + ": " + debug_form(error));
    }
    PyObject* expected = nullptr;
    if (!panic_type.compare_exchange_strong(expected, made)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

[[noreturn]] void resume_panic(PyObject* exception) noexcept {
    // No fault report follows: the interpreter's own print of the exception
    // below is the report.
    for (std::string_view line : {texts::resuming_panic_banner, texts::python_trace_header})
        std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    PyErr_SetRaisedException(exception);
    PyErr_PrintEx(0);
    abort_process();
}

}  // namespace molvenar
