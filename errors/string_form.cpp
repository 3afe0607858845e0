#include "errors/string_form.hpp"

#include "errors/compatibility_texts.hpp"
#include "errors/fault_report.hpp"
#include "errors/py_ref.hpp"

namespace molvenar {
namespace {

// Appends UTF-8 text, replacing each maximal invalid sequence by U+FFFD.
void append_lossy_utf8(std::string& out, std::string_view bytes) noexcept {
    constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::size_t i = 0;
    while (i < bytes.size()) {
        auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
        unsigned char lead = byte(i);
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
        if (lead < 0x80) length = 1;
        else if (lead >= 0xC2 && lead <= 0xDF) length = 2;
        else if (lead == 0xE0) { length = 3; low = 0xA0; }
        else if (lead >= 0xE1 && lead <= 0xEC) length = 3;
        else if (lead == 0xED) { length = 3; high = 0x9F; }
        else if (lead >= 0xEE && lead <= 0xEF) length = 3;
        else if (lead == 0xF0) { length = 4; low = 0x90; }
        else if (lead >= 0xF1 && lead <= 0xF3) length = 4;
        else if (lead == 0xF4) { length = 4; high = 0x8F; }
        if (length == 0) {
            out += replacement;
            ++i;
            continue;
        }
        // Count the valid prefix of the sequence; an incomplete one is one
        // maximal invalid sequence.
        std::size_t valid = 1;
        while (valid < length && i + valid < bytes.size()) {
            unsigned char next = byte(i + valid);
            unsigned char lo = valid == 1 ? low : 0x80, hi = valid == 1 ? high : 0xBF;
            if (next < lo || next > hi)
                break;
            ++valid;
        }
        if (valid == length)
            out.append(bytes.substr(i, length));
        else
            out += replacement;
        i += valid;
    }
}

std::string utf8_of(PyObject* string) noexcept {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(string, &size))
        return std::string(text, static_cast<std::size_t>(size));
    // Lone surrogates: encode them as they are and let the decoder replace them.
    discard_error();
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(string, "utf-8", "surrogatepass"));
    if (!bytes)
        api_call_failed();
    std::string out;
    append_lossy_utf8(out, std::string_view(PyBytes_AS_STRING(bytes.get()),
                                            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
    return out;
}

std::string repr_form(PyObject* object) noexcept {
    PyRef repr = PyRef::steal(PyObject_Repr(object));
    if (!repr) {
        discard_error();
        return "<unprintable object>";
    }
    return utf8_of(repr.get());
}

// The traceback as the interpreter prints it, through an io.StringIO.
std::string traceback_form(PyObject* traceback) noexcept {
    PyRef io = PyRef::steal(PyImport_ImportModule("io"));
    PyRef buffer = io ? PyRef::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr)) : PyRef();
    if (!buffer || PyTraceBack_Print(traceback, buffer.get()) != 0) {
        discard_error();
        return "<traceback unavailable>";
    }
    PyRef text = PyRef::steal(PyObject_CallMethod(buffer.get(), "getvalue", nullptr));
    if (!text || !PyUnicode_Check(text.get())) {
        discard_error();
        return "<traceback unavailable>";
    }
    return utf8_of(text.get());
}

}  // namespace

std::string string_form(PyObject* object) noexcept {
    if (PyRef text = PyRef::steal(PyObject_Str(object)))
        return utf8_of(text.get());
    ErrorValue failure = fetch_error();
    std::move(failure).raise();
    PyErr_WriteUnraisable(object);
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (!name) {
        discard_error();
        return texts::unprintable_object;
    }
    return std::string(texts::unprintable_prefix) + utf8_of(name.get()) + std::string(texts::unprintable_suffix);
}

std::string qualified_type_name(PyObject* type) noexcept {
    PyRef name = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
    Py_ssize_t size = 0;
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (!text) {
        discard_error();
        return texts::type_name_failed;
    }
    return std::string(text, static_cast<std::size_t>(size));
}

std::string debug_form(ErrorValue& error) noexcept {
    PyObject* instance = error.instance();
    std::string out = "PyErr { type: ";
    out += repr_form(reinterpret_cast<PyObject*>(Py_TYPE(instance)));
    out += ", value: ";
    out += repr_form(instance);
    out += ", traceback: ";
    PyRef traceback = PyRef::steal(PyException_GetTraceback(instance));
    if (traceback)
        out += traceback_form(traceback.get());
    else
        out += "None";
    out += " }";
    return out;
}

}  // namespace molvenar
