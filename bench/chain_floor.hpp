// Chain floors: for each kernel, a loop that carries exactly the kernel's
// dependency chain from one position to the next and does nothing else. A
// plain loop cannot run faster than its chain, so a kernel's time divided by
// its floor's shows how close it is to that bound (or how far below it).
// Plain C functions, so that other benchmarks can load them as well.
#pragma once

#include <cstddef>

extern "C" {
// sum = sum + in[i]: one addition per position.
void chain_floor_sma(const double* in, double* out, std::size_t n);
// average = (average * c) + in[i]: a multiplication, then an addition.
void chain_floor_ema(const double* in, double* out, std::size_t n);
// Three chains of a multiplication and an addition each (fast, slow, signal).
void chain_floor_macd(const double* in, double* out, std::size_t n);
// average = average + ((in[i] - average) * r): subtraction, multiplication, addition.
void chain_floor_atr(const double* in, double* out, std::size_t n);

// Memory floors: for each kernel, a loop that reads and writes exactly the
// kernel's series, one independent operation per value and no chain. No
// kernel that writes through the caches can be faster than its floor.
// One input, one output (SMA, EMA).
void memory_floor_one(const double* in, double* out, std::size_t n);
// One input, three outputs (MACD).
void memory_floor_macd(const double* in, double* first, double* second, double* third, std::size_t n);
// Three inputs, one output (ATR).
void memory_floor_atr(const double* high, const double* low, const double* close, double* out, std::size_t n);
}
