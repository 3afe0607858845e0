// How many packs of lanes each kernel steps side by side on each path. More
// packs overlap more chains of dependent operations, but every pack reads
// and writes its own stretch of each series, holds a line of values in
// registers, and the memory system follows only so many streams at once.
// Measured with the kernel benchmark (make kernel-bench) on AMD Zen 4.
#pragma once
#ifndef EXP_ATRG
#define EXP_ATRG 2, 1, 1
#endif

namespace molvenar::lanes {

// Packs side by side on the SSE2 (2 doubles a pack), AVX2 (4) and
// AVX-512F (8) paths.
struct PackGroups {
    int sse2, avx2, avx512f;
};

inline constexpr PackGroups ema_groups{2, 2, 1};
inline constexpr PackGroups macd_groups{2, 1, 1};
inline constexpr PackGroups atr_groups{EXP_ATRG};
// A staged ATR run reads its staged values from the second-level cache: more
// packs pay there than where the lanes read three series from memory.
inline constexpr PackGroups atr_staged_groups{4, 2, 2};

}  // namespace molvenar::lanes
