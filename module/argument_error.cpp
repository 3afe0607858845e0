#include "module/argument_error.hpp"

#include <string>

#include "errors/string_form.hpp"

namespace molvenar {

ErrorValue name_argument_error(std::string_view parameter_name, ErrorValue error) noexcept {
    if (error.type() != PyExc_TypeError)
        return error;
    PyObject* incoming = error.instance();
    std::string message = "argument '";
    message += parameter_name;
    message += "': ";
    message += string_form(incoming);
    ErrorValue renamed = ErrorValue::type_error(std::move(message));
    PyObject* cause = PyException_GetCause(incoming);  // new reference or null
    PyException_SetCause(renamed.instance(), cause);   // steals the reference
    return renamed;
}

}  // namespace molvenar
