// The borrow table that cooperating extension modules share through the
// capsule "_RUST_NUMPY_BORROW_CHECKING_API" on NumPy's multiarray module.
#pragma once

#include <atomic>

#include "errors/result.hpp"
#include "numpy_bridge/borrow_table_layout.hpp"

namespace molvenar {

namespace borrow_table_detail {
extern std::atomic<const BorrowTable*> cached_table;
Result<const BorrowTable*> obtain_borrow_table() noexcept;
}  // namespace borrow_table_detail

// The process's table: joined if the capsule exists, else created and
// published. Cached once obtained; a failure caches nothing. GIL held.
inline Result<const BorrowTable*> borrow_table() noexcept {
    if (const BorrowTable* table = borrow_table_detail::cached_table.load(std::memory_order_acquire))
        return table;
    return borrow_table_detail::obtain_borrow_table();
}

}  // namespace molvenar
