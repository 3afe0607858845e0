// Memory allocation for the module's own code: a failed allocation is an
// internal fault, never an exception. These definitions are hidden, so they
// serve this module only and leave the process's allocator alone.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <unistd.h>

#include <charconv>

#include "errors/fault_report.hpp"

namespace {

[[noreturn]] void allocation_failed(std::size_t size) noexcept {
    char text[80] = "memory allocation of ";
    std::size_t used = std::strlen(text);
    auto [end, ec] = std::to_chars(text + used, text + sizeof text, size);
    (void)ec;
    used = static_cast<std::size_t>(end - text);
    constexpr std::string_view tail = " bytes failed\n";
    std::memcpy(text + used, tail.data(), tail.size());
    used += tail.size();
    (void)!::write(STDERR_FILENO, text, used);
    molvenar::abort_process();
}

void* allocate(std::size_t size, std::size_t alignment) noexcept {
    void* memory = alignment <= alignof(std::max_align_t)
                       ? std::malloc(size == 0 ? 1 : size)
                       : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (!memory)
        allocation_failed(size);
    return memory;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, 0); }
void* operator new[](std::size_t size) { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
