// The error of one argument whose conversion failed, named after its
// parameter.
#pragma once

#include <string_view>

#include "errors/result.hpp"

namespace molvenar {

// Re-makes an exact TypeError as "argument '<name>': <message>", keeping the
// incoming exception's cause; any other error passes unchanged.
ErrorValue name_argument_error(std::string_view parameter_name, ErrorValue error) noexcept;

}  // namespace molvenar
