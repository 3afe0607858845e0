// indicator_sma and indicator_ema: one routine, two kernels.
#include <array>
#include <string_view>

#include "ema.hpp"
#include "errors/boundary.hpp"
#include "errors/result.hpp"
#include "module/arguments.hpp"
#include "module/entry_points.hpp"
#include "module/refusal_notes.hpp"
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
    constexpr ArrayArgument data_argument{"data", false, "data"};
    constexpr ArrayArgument output_argument{"output", true, "data"};
    Result<ReadonlyArray> data = accept_readonly(slots[1]);
    if (!data)
        return array_argument_error(data_argument, slots[1], std::move(data).error());
    Result<AcceptedArray> output = accept_array(slots[2]);
    if (!output)
        return array_argument_error(output_argument, slots[2], std::move(output).error());

    const ArrayLayout& data_layout = data.value().layout();
    const ArrayLayout& output_layout = output.value().layout;
    std::optional<InputSeries> data_view = input_view(data_layout);
    if (!data_view)
        return with_note(ErrorValue::value_error("Input array must be C-contiguous and float64"),
                         not_contiguous_note(data_argument, data_layout));
    std::optional<OutputSeries> output_view_ = output_view(output_layout);
    if (!output_view_)
        return with_note(ErrorValue::value_error("Output array must be C-contiguous and float64"),
                         not_contiguous_note(output_argument, output_layout));
    if (data_view->count != output_view_->count) {
        constexpr std::array<std::string_view, 2> names = {"data", "output"};
        const std::array<std::size_t, 2> counts = {data_view->count, output_view_->count};
        return with_note(ErrorValue::value_error("Output array length must match input"),
                         length_note(names, counts, "Pass an output of the same length, such as np.empty_like(data)."));
    }
    // Memory NumPy marks read-only (bytes buffers, read-only maps) is never written.
    if (!is_writeable(output_layout))
        return with_note(ErrorValue::value_error("Output array must be writeable"),
                         not_writeable_note(output_argument));
    // Writing the output must not destroy the input it is computed from.
    if (views_overlap(*data_view, *output_view_))
        return with_note(ErrorValue::value_error("Output array must not overlap the input array"),
                         overlap_note("output", "data"));
    // Borrowing `data` may have run Python code (another module's table, the
    // table's first lookup); `output` was accepted after it.
    if (!data.value().unchanged())
        return with_note(ErrorValue::runtime_error("Input array changed during the call"), changed_note("data"));

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
