// Internal faults: a report on standard error, then abort.
//
// This header and its unit are free of Python so that the kernel library can
// use them. A fault names the calling thread and the source location, prints
// the message and a note on how to obtain a stack trace, and ends the process.
#pragma once

#include <cstddef>
#include <string_view>

#include "errors/source_location.hpp"

namespace molvenar {

[[noreturn]] void fault(std::string_view message,
                        SourceLocation where = SourceLocation::current()) noexcept;

// Report for an index outside a series of `length` values.
[[noreturn]] void index_fault(std::size_t index, std::size_t length,
                              SourceLocation where = SourceLocation::current()) noexcept;

// Ends the process when `condition` is false: the one helper for invariants.
inline void check(bool condition, std::string_view message,
                  SourceLocation where = SourceLocation::current()) noexcept {
    if (!condition) [[unlikely]]
        fault(message, where);
}

// Abort without a further report, for a fault whose report was already written.
[[noreturn]] void abort_process() noexcept;

}  // namespace molvenar
