#include "lane_dispatch.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

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

namespace {

// The natural logarithm of a normal x in (0, 1), to about 1e-7: every call
// of a kernel that may run lanes works out its warm-up, and the library's
// logarithm would cost a short call more than the plain steps it saves.
// x = m × 2^e with m in [0.5, 1) read off its bits; log m = 2 atanh(z),
// z = (m - 1)/(m + 1) in [-1/3, 0), by its series.
double log_below_one(double x) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int e = static_cast<int>((bits >> 52) & 0x7ff) - 1022;
    bits = (bits & ~(std::uint64_t{0x7ff} << 52)) | (std::uint64_t{1022} << 52);
    double m;
    std::memcpy(&m, &bits, sizeof m);
    const double z = (m - 1.0) / (m + 1.0), z2 = z * z, z4 = z2 * z2, z8 = z4 * z4;
    // 1 + z2/3 + z2^2/5 + ... + z2^6/13, in pairs, so that few products wait
    // on each other.
    const double series = ((1.0 + z2 * (1.0 / 3)) + z4 * (1.0 / 5 + z2 * (1.0 / 7))) +
                          z8 * ((1.0 / 9 + z2 * (1.0 / 11)) + z4 * (1.0 / 13));
    return static_cast<double>(e) * 0.6931471805599453 + 2.0 * z * series;
}

}  // namespace

double steps_per_bit(double factor) noexcept {
    if (!(factor < 1.0))
        return HUGE_VAL;
    if (!(factor >= 0x1p-1022))  // zero, or too small to be normal: forgotten at once
        return 0.0;
    return 0.6931471805599453 / -log_below_one(factor);
}

std::size_t steps_for(double per_bit, double bits) noexcept {
    const double steps = bits * per_bit;
    if (!(steps < 1e9))
        return unbounded;
    // Rounded up, and at least 1.
    auto whole = static_cast<std::size_t>(steps);
    if (static_cast<double>(whole) < steps || whole == 0)
        ++whole;
    return whole;
}

std::size_t steps_to_forget(double factor, double bits) noexcept { return steps_for(steps_per_bit(factor), bits); }

}  // namespace molvenar::lanes
