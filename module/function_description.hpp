// What a callable accepts: its name and its parameters, the record that
// argument sorting works from and the signature that refusal notes quote.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace molvenar {

// Every parameter of this module is positional or keyword; none is
// positional-only or keyword-only.
struct FunctionDescription {
    const char* class_name;  // null for module-level functions
    const char* function_name;
    std::span<const std::string_view> parameter_names;
    std::size_t positional_only_count;
    std::size_t required_positional_count;
};

}  // namespace molvenar
