// Arithmetic that reads the same for one double and for a pack of N doubles
// side by side (the lanes of one SIMD register), so that a recurrence step
// written once as a template computes in every lane exactly what the scalar
// step computes: the same operations in the same order, each rounded once.
//
// A pack wraps a compiler vector type. Its operators map one to one onto the
// IEEE operations of the element type (a product and a sum stay two
// roundings: the kernels are compiled with -ffp-contract=off). The wrapper
// struct, rather than the bare vector type, is passed between functions so
// that clang accepts calls into functions compiled for a wider instruction
// set than their callers; every helper is forced inline into its caller.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "series.hpp"

#define MOLVENAR_INLINE [[gnu::always_inline]] inline

// Unrolls the loop that follows in full: the loops over the packs of a block
// or the lanes of a pack index arrays that must stay in registers.
#if defined(__clang__)
#define MOLVENAR_UNROLL _Pragma("unroll")
#else
#define MOLVENAR_UNROLL _Pragma("GCC unroll 16")
#endif

namespace molvenar {

template <int N>
struct Pack {
    typedef double Vector __attribute__((vector_size(8 * N)));
    typedef long long MaskVector __attribute__((vector_size(8 * N)));
    static constexpr int width = N;
    Vector v;

    // Copies go through the vector type: GCC may copy the wrapper struct in
    // narrower pieces, and reading a vector back from those stalls.
    MOLVENAR_INLINE Pack() = default;
    MOLVENAR_INLINE Pack(Vector x) : v(x) {}
    MOLVENAR_INLINE Pack(const Pack& other) : v(other.v) {}
    MOLVENAR_INLINE Pack& operator=(const Pack& other) {
        v = other.v;
        return *this;
    }
};

// A comparison result: all bits set in a lane where it holds.
template <int N>
struct PackMask {
    typename Pack<N>::MaskVector v;
};

// A lane-wise comparison or combination as a mask (the compilers differ in
// which 64-bit integer type such a result has).
#define MOLVENAR_MASK(N, expression) PackMask<N>{(typename Pack<N>::MaskVector)(expression)}

template <int N> MOLVENAR_INLINE Pack<N> operator+(Pack<N> a, Pack<N> b) { return {a.v + b.v}; }
template <int N> MOLVENAR_INLINE Pack<N> operator-(Pack<N> a, Pack<N> b) { return {a.v - b.v}; }
template <int N> MOLVENAR_INLINE Pack<N> operator*(Pack<N> a, Pack<N> b) { return {a.v * b.v}; }
template <int N> MOLVENAR_INLINE Pack<N> operator*(Pack<N> a, double b) { return {a.v * b}; }
template <int N> MOLVENAR_INLINE Pack<N> operator*(double a, Pack<N> b) { return {a * b.v}; }
template <int N> MOLVENAR_INLINE PackMask<N> operator>(Pack<N> a, Pack<N> b) { return MOLVENAR_MASK(N, a.v > b.v); }

// `yes` where the mask holds, `no` elsewhere. Masks are used only here,
// straight from a comparison: combining them as integers would make some
// compilers give up the vector form for lane-by-lane code.
template <int N>
MOLVENAR_INLINE Pack<N> select(PackMask<N> mask, Pack<N> yes, Pack<N> no) {
    return {mask.v ? yes.v : no.v};
}
MOLVENAR_INLINE double select(bool condition, double yes, double no) { return condition ? yes : no; }

template <int N> MOLVENAR_INLINE PackMask<N> is_nan(Pack<N> x) { return MOLVENAR_MASK(N, x.v != x.v); }
MOLVENAR_INLINE bool is_nan(double x) { return x != x; }

// Finite when the exponent bits are not all ones. For one double the upper
// word alone decides, so NaN of any payload and both infinities fail one
// comparison; for a pack, x - x is +0 exactly when x is finite.
template <int N>
MOLVENAR_INLINE PackMask<N> is_finite(Pack<N> x) {
    return MOLVENAR_MASK(N, (x.v - x.v) == typename Pack<N>::Vector{});
}
MOLVENAR_INLINE bool is_finite(double x) {
    const auto upper = static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(x) >> 32);
    return (upper & 0x7FFFFFFFu) < 0x7FF00000u;
}

// The absolute value: the sign bit cleared, NaN payloads kept.
template <int N>
MOLVENAR_INLINE Pack<N> magnitude(Pack<N> x) {
    using Bits = typename Pack<N>::MaskVector;
    return {(typename Pack<N>::Vector)((Bits)x.v & 0x7FFFFFFFFFFFFFFF)};
}
MOLVENAR_INLINE double magnitude(double x) { return std::fabs(x); }

// Whether every component of every pack is finite: x - x is +0 for a finite
// x and NaN otherwise.
template <int N, std::size_t S, int Groups>
MOLVENAR_INLINE bool all_finite(const std::array<Pack<N>, S> (&packs)[Groups]) {
    typename Pack<N>::Vector sum = {};
    for (int g = 0; g < Groups; ++g)
        for (std::size_t c = 0; c < S; ++c)
            sum = sum + (packs[g][c].v - packs[g][c].v);
    double total = 0.0;
    for (int k = 0; k < N; ++k)
        total = total + sum[k];
    return total == 0.0;
}

// Every lane x (for a pack), or x itself.
template <class T>
MOLVENAR_INLINE T broadcast(double x) {
    T p{};
    for (int k = 0; k < T::width; ++k)
        p.v[k] = x;
    return p;
}
template <> MOLVENAR_INLINE double broadcast<double>(double x) { return x; }

// A pack the compiler must hold in a register from here on: GCC otherwise
// gives each use of a loaded value a load of its own where the use can read
// memory, which costs a loop that is bound by its loads. Clang checks such an
// operand against this header's instruction set rather than its caller's, so
// it is left to clang, which loads once anyway.
template <int N>
MOLVENAR_INLINE Pack<N> in_register(Pack<N> p) {
#if !defined(__clang__) && (defined(__x86_64__) || defined(__i386__))
    asm("" : "+v"(p.v));
#endif
    return p;
}

// Loads and stores of consecutive doubles at any address.
template <class T>
MOLVENAR_INLINE T load(const unaligned_double* from) {
    T p;
    std::memcpy(&p.v, from, sizeof p.v);
    return p;
}
template <> MOLVENAR_INLINE double load<double>(const unaligned_double* from) { return *from; }
MOLVENAR_INLINE void store(unaligned_double* to, double x) { *to = x; }
template <int N>
MOLVENAR_INLINE void store(unaligned_double* to, Pack<N> p) {
    std::memcpy(to, &p.v, sizeof p.v);
}

// Stores that bypass the caches: a whole line written this way goes to
// memory without being read first, and without pushing other data out of the
// caches. `to` must be aligned to the pack's size. The stored bits are those
// of an ordinary store. Clang has a builtin for it; GCC gets one instruction
// of inline assembly per width (which clang would check against the
// instruction set of this header's functions rather than of their callers).
#if defined(__clang__) && (defined(__x86_64__) || defined(__i386__))
template <int N>
MOLVENAR_INLINE void stream(unaligned_double* to, Pack<N> p) {
    __builtin_nontemporal_store(p.v, reinterpret_cast<typename Pack<N>::Vector*>(to));
}
MOLVENAR_INLINE void stream_fence() { __builtin_ia32_sfence(); }
#elif defined(__x86_64__) || defined(__i386__)
template <int N>
using PackBytes = unsigned char[8 * N];
MOLVENAR_INLINE void stream(unaligned_double* to, Pack<2> p) {
#ifdef __AVX__
    asm volatile("vmovntpd %1, %0" : "=m"(*reinterpret_cast<PackBytes<2>*>(to)) : "x"(p.v));
#else
    asm volatile("movntpd %1, %0" : "=m"(*reinterpret_cast<PackBytes<2>*>(to)) : "x"(p.v));
#endif
}
MOLVENAR_INLINE void stream(unaligned_double* to, Pack<4> p) {
    asm volatile("vmovntpd %1, %0" : "=m"(*reinterpret_cast<PackBytes<4>*>(to)) : "x"(p.v));
}
MOLVENAR_INLINE void stream(unaligned_double* to, Pack<8> p) {
    asm volatile("vmovntpd %1, %0" : "=m"(*reinterpret_cast<PackBytes<8>*>(to)) : "v"(p.v));
}
MOLVENAR_INLINE void stream_fence() { asm volatile("sfence" ::: "memory"); }
#else
template <int N>
MOLVENAR_INLINE void stream(unaligned_double* to, Pack<N> p) {
    store(to, p);
}
MOLVENAR_INLINE void stream_fence() {}
#endif

// Transposes a square block: row r, lane c becomes row c, lane r. Turns N
// rows of N consecutive values (one row per lane's chunk) into N packs that
// hold one position of every chunk, and back.
MOLVENAR_INLINE void transpose(Pack<2> (&rows)[2]) {
    const auto r0 = rows[0].v, r1 = rows[1].v;
    rows[0].v = __builtin_shufflevector(r0, r1, 0, 2);
    rows[1].v = __builtin_shufflevector(r0, r1, 1, 3);
}

MOLVENAR_INLINE void transpose(Pack<4> (&rows)[4]) {
    using V = Pack<4>::Vector;
    V t[4];
    for (int k = 0; k < 4; k += 2) {
        t[k] = __builtin_shufflevector(rows[k].v, rows[k + 1].v, 0, 4, 2, 6);
        t[k + 1] = __builtin_shufflevector(rows[k].v, rows[k + 1].v, 1, 5, 3, 7);
    }
    for (int h = 0; h < 2; ++h) {
        rows[h].v = __builtin_shufflevector(t[h], t[h + 2], 0, 1, 4, 5);
        rows[h + 2].v = __builtin_shufflevector(t[h], t[h + 2], 2, 3, 6, 7);
    }
}

MOLVENAR_INLINE void transpose(Pack<8> (&rows)[8]) {
    using V = Pack<8>::Vector;
    // Pairs of rows interleaved, then pairs of lanes, then halves.
    V t[8], u[8];
    for (int k = 0; k < 8; k += 2) {
        t[k] = __builtin_shufflevector(rows[k].v, rows[k + 1].v, 0, 8, 2, 10, 4, 12, 6, 14);
        t[k + 1] = __builtin_shufflevector(rows[k].v, rows[k + 1].v, 1, 9, 3, 11, 5, 13, 7, 15);
    }
    for (int k = 0; k < 8; k += 4) {
        for (int h = 0; h < 2; ++h) {
            u[k + h] = __builtin_shufflevector(t[k + h], t[k + h + 2], 0, 1, 8, 9, 4, 5, 12, 13);
            u[k + h + 2] = __builtin_shufflevector(t[k + h], t[k + h + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        }
    }
    for (int h = 0; h < 4; ++h) {
        rows[h].v = __builtin_shufflevector(u[h], u[h + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        rows[h + 4].v = __builtin_shufflevector(u[h], u[h + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
}

}  // namespace molvenar
