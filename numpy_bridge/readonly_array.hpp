// An input array held for reading: one reference and one read-only borrow
// in the shared registry, both given back when the holder goes.
#pragma once

#include "errors/result.hpp"
#include "numpy_bridge/array_acceptance.hpp"
#include "numpy_bridge/borrow_key.hpp"
#include "numpy_bridge/borrow_table.hpp"
#include "numpy_bridge/numpy_types.hpp"

namespace molvenar {

class BorrowRegistry;

class ReadonlyArray {
public:
    ReadonlyArray(ReadonlyArray&& other) noexcept;
    ReadonlyArray& operator=(ReadonlyArray&& other) noexcept;
    ReadonlyArray(const ReadonlyArray&) = delete;
    ReadonlyArray& operator=(const ReadonlyArray&) = delete;
    ~ReadonlyArray() { release(); }

    PyArrayObject* get() const noexcept { return accepted_.array; }
    // The layout at acceptance, which the checks and the kernel use.
    const ArrayLayout& layout() const noexcept { return accepted_.layout; }
    bool unchanged() const noexcept { return accepted_.unchanged(); }
    // Gives back the borrow, then the reference. GIL held.
    void release() noexcept;

private:
    // What gives the borrow back. In this module's own registry that is the
    // base address and key registered at acquisition, never recomputed: the
    // array may have been reshaped or given another dtype since, even by
    // another thread while the kernel ran. Through another module's table it
    // is that table's release, as the shared protocol has it.
    struct Borrow {
        const BorrowTable* table;
        BorrowRegistry* own;
        void* base;
        BorrowKey key;
    };

    friend Result<ReadonlyArray> accept_readonly(PyObject* object) noexcept;
    // Takes over a reference to the array and a granted borrow.
    ReadonlyArray(AcceptedArray accepted, const Borrow& borrow) noexcept
        : accepted_(std::move(accepted)), borrow_(borrow) {}

    AcceptedArray accepted_;  // array null once released or moved from
    Borrow borrow_;
};

// Accepts the object as a one-dimensional float64 array and borrows it for
// reading. Refusal is the conversion error; a NumPy that cannot be used, an
// unobtainable borrow table, a conflicting writer or a foreign result code
// are RuntimeError/ImportError values. Whatever was taken is given back
// before an error returns. GIL held.
Result<ReadonlyArray> accept_readonly(PyObject* object) noexcept;

}  // namespace molvenar
