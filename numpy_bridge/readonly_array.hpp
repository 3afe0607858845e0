// An input array held for reading: one reference and one read-only borrow
// in the shared registry, both given back when the holder goes.
#pragma once

#include "errors/result.hpp"
#include "numpy_bridge/borrow_table.hpp"
#include "numpy_bridge/numpy_types.hpp"

namespace molvenar {

class ReadonlyArray {
public:
    ReadonlyArray(ReadonlyArray&& other) noexcept;
    ReadonlyArray& operator=(ReadonlyArray&& other) noexcept;
    ReadonlyArray(const ReadonlyArray&) = delete;
    ReadonlyArray& operator=(const ReadonlyArray&) = delete;
    ~ReadonlyArray() { release(); }

    PyArrayObject* get() const noexcept { return array_; }
    // Gives back the borrow, then the reference. GIL held.
    void release() noexcept;

private:
    friend Result<ReadonlyArray> accept_readonly(PyObject* object) noexcept;
    // Takes over a reference and a granted borrow under `table`.
    ReadonlyArray(PyArrayObject* array, const BorrowTable* table) noexcept
        : array_(array), table_(table) {}

    PyArrayObject* array_;
    const BorrowTable* table_;
};

// Accepts the object as a one-dimensional float64 array and borrows it for
// reading. Refusal is the conversion error; a NumPy that cannot be used, an
// unobtainable borrow table, a conflicting writer or a foreign result code
// are RuntimeError/ImportError values. Whatever was taken is given back
// before an error returns. GIL held.
Result<ReadonlyArray> accept_readonly(PyObject* object) noexcept;

}  // namespace molvenar
