#include "chain_floor.hpp"

// The factors of period 20 (EMA), 12, 26 and 9 (MACD) and 14 (ATR); their
// values do not matter for the time, only that each is a multiplication.
extern "C" {

void chain_floor_sma(const double* in, double* out, std::size_t n) {
    double sum = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        sum = sum + in[i];
        out[i] = sum;
    }
}

void chain_floor_ema(const double* in, double* out, std::size_t n) {
    const double complement = 1.0 - 2.0 / 21.0;
    double average = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        average = (average * complement) + in[i];
        out[i] = average;
    }
}

void chain_floor_macd(const double* in, double* out, std::size_t n) {
    const double fast_beta = 1.0 - 2.0 / 13.0, slow_beta = 1.0 - 2.0 / 27.0, signal_beta = 1.0 - 2.0 / 10.0;
    double fast = 0.0, slow = 0.0, signal = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        fast = (fast * fast_beta) + in[i];
        slow = (slow * slow_beta) + in[i];
        signal = (signal * signal_beta) + (fast - slow);
        out[i] = signal;
    }
}

void chain_floor_atr(const double* in, double* out, std::size_t n) {
    const double reciprocal = 1.0 / 14.0;
    double average = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        average = average + ((in[i] - average) * reciprocal);
        out[i] = average;
    }
}

void memory_floor_one(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = in[i] * 0.5;
}

void memory_floor_macd(const double* in, double* first, double* second, double* third, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        first[i] = in[i] * 0.5;
        second[i] = in[i] * 0.25;
        third[i] = in[i] * 0.125;
    }
}

void memory_floor_atr(const double* high, const double* low, const double* close, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = (high[i] - low[i]) * close[i];
}

}
