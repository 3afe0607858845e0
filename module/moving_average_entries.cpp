// indicator_sma and indicator_ema: one routine, two kernels.
#include <array>
#include <string_view>

#include "ema.hpp"
#include "errors/boundary.hpp"
#include "errors/result.hpp"
#include "module/arguments.hpp"
#include "module/entry_points.hpp"
#include "numpy_bridge/array_acceptance.hpp"
#include "numpy_bridge/readonly_array.hpp"
#include "numpy_bridge/series_view.hpp"
#include "sma.hpp"

namespace molvenar {
namespace {

constexpr std::array<std::string_view, 3> single_series_parameters = {"period", "data", "output"};

constexpr FunctionDescription sma_description = {nullptr, "indicator_sma", single_series_parameters, 0, 3};
constexpr FunctionDescription ema_description = {nullptr, "indicator_ema", single_series_parameters, 0, 3};

using SingleSeriesKernel = void (*)(Period, InputSeries, OutputSeries) noexcept;

Result<PyObject*> run_single_series(const FunctionDescription& description, SingleSeriesKernel kernel,
                                    PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
    std::array<PyObject*, 3> slots{};
    if (Result<void> sorted = sort_arguments(description, args, nargs, kwnames, slots); !sorted)
        return std::move(sorted).error();

    Result<Period> period = period_argument("period", slots[0]);
    if (!period)
        return std::move(period).error();
    Result<ReadonlyArray> data = accept_readonly(slots[1]);
    if (!data)
        return name_argument_error("data", std::move(data).error());
    Result<AcceptedArray> output = accept_array(slots[2]);
    if (!output)
        return name_argument_error("output", std::move(output).error());

    std::optional<InputSeries> data_view = input_view(data.value().layout());
    if (!data_view)
        return ErrorValue::value_error("Input array must be C-contiguous and float64");
    std::optional<OutputSeries> output_view_ = output_view(output.value().layout);
    if (!output_view_)
        return ErrorValue::value_error("Output array must be C-contiguous and float64");
    if (data_view->count != output_view_->count)
        return ErrorValue::value_error("Output array length must match input");
    // Memory NumPy marks read-only (bytes buffers, read-only maps) is never written.
    if (!is_writeable(output.value().layout))
        return ErrorValue::value_error("Output array must be writeable");
    // Writing the output must not destroy the input it is computed from.
    if (views_overlap(*data_view, *output_view_))
        return ErrorValue::value_error("Output array must not overlap the input array");
    // Borrowing `data` may have run Python code (another module's table, the
    // table's first lookup); `output` was accepted after it.
    if (!data.value().unchanged())
        return ErrorValue::runtime_error("Input array changed during the call");

    without_interpreter_lock([&] { kernel(period.value(), *data_view, *output_view_); });
    return Py_NewRef(Py_None);
}

}  // namespace

PyObject* indicator_sma_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return call_boundary([&] { return run_single_series(sma_description, compute_sma, args, nargs, kwnames); });
}

PyObject* indicator_ema_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return call_boundary([&] { return run_single_series(ema_description, compute_ema, args, nargs, kwnames); });
}

}  // namespace molvenar
