#include "numpy_bridge/series_view.hpp"

#include <cstdint>

namespace molvenar {
namespace {

struct ByteRange {
    std::uintptr_t begin, end;
};

ByteRange bytes_of(const unaligned_double* values, std::size_t count) noexcept {
    const auto begin = reinterpret_cast<std::uintptr_t>(values);
    return {begin, begin + count * sizeof(double)};
}

}  // namespace

bool is_writeable(PyArrayObject* array) noexcept {
    return (array_fields(array)->flags & NPY_ARRAY_WRITEABLE) != 0;
}

bool views_overlap(InputSeries input, OutputSeries output) noexcept {
    const ByteRange a = bytes_of(input.values, input.count);
    const ByteRange b = bytes_of(output.values, output.count);
    if (a.begin == a.end || b.begin == b.end)
        return false;
    return a.begin < b.end && b.begin < a.end;
}

}  // namespace molvenar
