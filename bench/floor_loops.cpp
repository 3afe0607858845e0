// Chain-floor loops for the Python benchmark. Each loop carries exactly the
// loop-carried dependency of one indicator kernel, and stores the carried
// value so that nothing is optimised away: its time per element is what a
// strictly sequential evaluation of that chain costs on this processor.
// Built at benchmark time with the kernels' numeric flags and called through
// ctypes.
#include <cstddef>

extern "C" {

// SMA: the running sum, one add per element.
void chain_floor_sma(const double* in, double* out, std::size_t n) {
    double sum = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        sum += in[i];
        out[i] = sum;
    }
}

// EMA: avg = (avg * beta) + (x * alpha), a multiply then an add.
void chain_floor_ema(const double* in, double* out, std::size_t n) {
    const double alpha = 2.0 / 21.0, beta = 1.0 - alpha;
    double avg = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        avg = (avg * beta) + (in[i] * alpha);
        out[i] = avg;
    }
}

// MACD: the fast and slow averages and the signal of their difference,
// three multiply-add chains side by side.
void chain_floor_macd(const double* in, double* out, std::size_t n) {
    const double fast_alpha = 2.0 / 13.0, fast_beta = 1.0 - fast_alpha;
    const double slow_alpha = 2.0 / 27.0, slow_beta = 1.0 - slow_alpha;
    const double signal_alpha = 2.0 / 10.0, signal_beta = 1.0 - signal_alpha;
    double fast = 0.0, slow = 0.0, signal = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        fast = (fast * fast_beta) + (in[i] * fast_alpha);
        slow = (slow * slow_beta) + (in[i] * slow_alpha);
        signal = (signal * signal_beta) + (signal_alpha * (fast - slow));
        out[i] = signal;
    }
}

// ATR: avg = avg + ((tr - avg) * k), a subtract, a multiply and an add.
void chain_floor_atr(const double* in, double* out, std::size_t n) {
    const double k = 1.0 / 14.0;
    double avg = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        avg = avg + ((in[i] - avg) * k);
        out[i] = avg;
    }
}

}  // extern "C"
