#include "errors/fault_report.hpp"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <execinfo.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace molvenar {
namespace {

// Writes everything, retrying short writes; errors are ignored because the
// process is about to end anyway.
void write_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written <= 0)
            return;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

void write_number(unsigned long long value) noexcept {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;
    write_stderr(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// The main thread is called "main"; other threads by their name, if any.
void write_thread_name() noexcept {
    if (::syscall(SYS_gettid) == ::getpid()) {
        write_stderr("main");
        return;
    }
    char name[64] = {};
    if (::pthread_getname_np(::pthread_self(), name, sizeof name) == 0 && name[0] != '\0')
        write_stderr(name);
    else
        write_stderr("<unnamed>");
}

bool backtrace_requested() noexcept {
    const char* setting = std::getenv("RUST_BACKTRACE");
    return setting != nullptr && std::strcmp(setting, "0") != 0;
}

// Symbol names where the dynamic symbol table has them; otherwise the object
// file and the offset into it, which addr2line resolves.
void write_backtrace() noexcept {
    void* frames[128];
    int depth = ::backtrace(frames, 128);
    write_stderr("stack backtrace:\n");
    ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
}

}  // namespace

[[noreturn]] void abort_process() noexcept {
    std::abort();
}

[[noreturn]] void fault(std::string_view message, SourceLocation where) noexcept {
    write_stderr("thread '");
    write_thread_name();
    write_stderr("' panicked at ");
    write_stderr(where.file_name());
    write_stderr(":");
    write_number(where.line());
    write_stderr(":");
    write_number(where.column());
    write_stderr(":\n");
    write_stderr(message);
    write_stderr("\n");
    if (backtrace_requested())
        write_backtrace();
    else
        write_stderr("note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n");
    abort_process();
}

[[noreturn]] void index_fault(std::size_t index, std::size_t length,
                              SourceLocation where) noexcept {
    // Formatted without allocating: the fault may come from a kernel.
    char text[96] = "index out of bounds: the len is ";
    std::size_t used = std::strlen(text);
    auto append_number = [&](std::size_t value) {
        auto [end, ec] = std::to_chars(text + used, text + sizeof text, value);
        (void)ec;
        used = static_cast<std::size_t>(end - text);
    };
    append_number(length);
    std::string_view middle = " but the index is ";
    std::memcpy(text + used, middle.data(), middle.size());
    used += middle.size();
    append_number(index);
    fault(std::string_view(text, used), where);
}

}  // namespace molvenar
