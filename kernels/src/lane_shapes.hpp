// The lanes of each kernel on each path: doubles per pack and packs side by
// side. More lanes overlap more chains of dependent operations, but each
// costs a warm-up, every pack holds a block of values in registers, and
// every lane reads and writes its own stretch of each series, of which the
// memory system follows only so many at once. Measured with the kernel
// benchmark (make kernel-bench) on AMD Zen 4, which runs 512-bit operations
// in two halves.
#pragma once

namespace molvenar::lanes {

// Doubles per pack and packs side by side on a path, and what one step of
// the lanes costs against one step of the plain loop: of one pack, and of
// all the packs side by side. A short run picks its lanes by these costs
// (lane_engine.hpp); large runs do not use them.
struct Shape {
    int width, groups;
    double pack_cost = 1.0, all_cost = 1.0;
    constexpr int lanes() const { return width * groups; }
};

// The shapes on the SSE2 (packs of 2 doubles), AVX2 (4) and AVX-512 (4 or
// 8: AVX-512 with packs of 4 still has twice the registers of AVX2) paths.
struct Shapes {
    Shape sse2, avx2, avx512f;
};

// For runs through the caches, and for large runs: streaming stores write
// whole lines, which a pack of 8 lanes fills at once. ATR's lanes read three
// series each in large runs, so that more than 4 of them make more streams
// than the memory system follows; through the caches they read the true
// ranges computed ahead (atr.cpp), one series, and take 8 lanes like EMA.
//
// The step costs were measured at 6,000 and 25,000 positions (one pack, all
// packs) with every path forced in turn, and those of MACD and of ATR on
// SSE2 raised where runs of 250 to 1,200 positions showed the lanes slower
// than the cost model had them (their guesses sum three series, or their
// narrow packs compute ranges). One pack mostly waits on its chain, as the
// plain loop does; more packs side by side are bound by the work of their
// steps, which the narrower paths and MACD's three averages feel most.
inline constexpr Shapes ema_shapes{{2, 2, 1.0, 1.11}, {4, 2, 1.07, 1.39}, {4, 2, 1.07, 1.39}},
                        ema_large_shapes{{2, 2}, {4, 2}, {8, 1}};
inline constexpr Shapes macd_shapes{{2, 2, 1.35, 1.97}, {4, 1, 1.8, 1.8}, {4, 1, 1.6, 1.6}},
                        macd_large_shapes{{2, 2}, {4, 1}, {8, 1}};
inline constexpr Shapes atr_shapes{{2, 2, 1.6, 2.2}, {4, 2, 1.14, 1.4}, {4, 2, 1.11, 1.4}},
                        atr_large_shapes{{2, 2}, {4, 1}, {4, 1}};

}  // namespace molvenar::lanes
