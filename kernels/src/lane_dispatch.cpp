#include "lane_dispatch.hpp"

#include <algorithm>

namespace molvenar::lanes {
namespace {

InstructionSet detect() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"))
        return InstructionSet::avx512f;
    if (__builtin_cpu_supports("avx2"))
        return InstructionSet::avx2;
#endif
    return InstructionSet::sse2;
}

}  // namespace

const char* name(InstructionSet set) noexcept {
    switch (set) {
        case InstructionSet::plain: return "plain";
        case InstructionSet::sse2: return "sse2";
        case InstructionSet::avx2: return "avx2";
        case InstructionSet::avx512f: return "avx512f";
    }
    return "?";
}

InstructionSet widest_available() noexcept {
    static const InstructionSet widest = std::min(detect(), widest_built);
    return widest;
}

bool available(InstructionSet set) noexcept {
    return static_cast<int>(set) <= static_cast<int>(widest_available());
}

std::size_t steps_to_forget(double factor, double bits) noexcept { return steps_for(steps_per_bit(factor), bits); }

}  // namespace molvenar::lanes
