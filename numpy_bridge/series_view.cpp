#include "numpy_bridge/series_view.hpp"

#include "errors/fault_report.hpp"

namespace molvenar::series_view_detail {

void not_one_axis() noexcept {
    fault("inconsistent dimensionalities: The dimensionality expected by `PyArray` does not "
          "match that given by NumPy.\nPlease report a bug against the `rust-numpy` crate.");
}

}  // namespace molvenar::series_view_detail
