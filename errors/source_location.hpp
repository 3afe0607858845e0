// The place in the source that a fault report names: file, line, column.
//
// std::source_location where the standard library provides it. clang 14 with
// libstdc++ gets an empty <source_location> (the library needs a builtin that
// clang gained in version 15), so there the same information comes from the
// older builtins that clang has. As a default argument, `current()` captures
// the caller's position either way.
#pragma once

#include <version>

#if defined(__cpp_lib_source_location)

#include <source_location>

namespace molvenar {
using SourceLocation = std::source_location;
}  // namespace molvenar

#else

#include <cstdint>

namespace molvenar {

class SourceLocation {
public:
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            std::uint_least32_t line = __builtin_LINE(),
                                            std::uint_least32_t column = __builtin_COLUMN()) noexcept {
        return SourceLocation(file, line, column);
    }

    constexpr const char* file_name() const noexcept { return file_; }
    constexpr std::uint_least32_t line() const noexcept { return line_; }
    constexpr std::uint_least32_t column() const noexcept { return column_; }

private:
    constexpr SourceLocation(const char* file, std::uint_least32_t line, std::uint_least32_t column) noexcept
        : file_(file), line_(line), column_(column) {}

    const char* file_;
    std::uint_least32_t line_;
    std::uint_least32_t column_;
};

}  // namespace molvenar

#endif
