// The lanes of each kernel on each path: doubles per pack and packs side by
// side. More lanes overlap more chains of dependent operations, but each
// costs a warm-up, every pack holds a block of values in registers, and
// every lane reads and writes its own stretch of each series, of which the
// memory system follows only so many at once. Measured with the kernel
// benchmark (make kernel-bench) on AMD Zen 4, which runs 512-bit operations
// in two halves.
#pragma once

namespace molvenar::lanes {

// Doubles per pack and packs side by side on a path.
struct Shape {
    int width, groups;
    constexpr int lanes() const { return width * groups; }
};

// The shapes on the SSE2 (packs of 2 doubles), AVX2 (4) and AVX-512 (4 or
// 8: AVX-512 with packs of 4 still has twice the registers of AVX2) paths.
struct Shapes {
    Shape sse2, avx2, avx512f;
};

// For runs through the caches, and for large runs: streaming stores write
// whole lines, which a pack of 8 lanes fills at once. ATR's lanes read three
// series each, so that more than 4 of them make more streams than the memory
// system follows: its large runs take the same lanes as the others.
inline constexpr Shapes ema_shapes{{2, 2}, {4, 2}, {4, 2}}, ema_large_shapes{{2, 2}, {4, 2}, {8, 1}};
inline constexpr Shapes macd_shapes{{2, 2}, {4, 1}, {4, 1}}, macd_large_shapes{{2, 2}, {4, 1}, {8, 1}};
inline constexpr Shapes atr_shapes{{2, 2}, {4, 1}, {4, 1}}, atr_large_shapes = atr_shapes;

}  // namespace molvenar::lanes
