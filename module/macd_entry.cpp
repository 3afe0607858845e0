// indicator_macd: one input, three outputs, periods checked before anything runs.
#include <array>
#include <string_view>

#include "errors/boundary.hpp"
#include "errors/result.hpp"
#include "macd.hpp"
#include "module/arguments.hpp"
#include "module/entry_points.hpp"
#include "numpy_bridge/array_acceptance.hpp"
#include "numpy_bridge/readonly_array.hpp"
#include "numpy_bridge/series_view.hpp"

namespace molvenar {
namespace {

constexpr std::array<std::string_view, 7> macd_parameters = {
    "fast_period", "slow_period", "signal_period", "data", "macd_output", "signal_output", "hist_output"};
constexpr FunctionDescription macd_description = {nullptr, "indicator_macd", macd_parameters, 0, 7};

constexpr std::array<const char*, 3> output_names = {"macd_output", "signal_output", "hist_output"};
constexpr std::array<const char*, 3> not_contiguous_messages = {
    "MACD output array must be C-contiguous", "Signal output array must be C-contiguous",
    "Histogram output array must be C-contiguous"};
constexpr std::array<const char*, 3> not_writeable_messages = {
    "MACD output array must be writeable", "Signal output array must be writeable",
    "Histogram output array must be writeable"};
constexpr std::array<const char*, 3> overlap_messages = {
    "MACD output array must not overlap the input array",
    "Signal output array must not overlap the input array",
    "Histogram output array must not overlap the input array"};
constexpr std::array<const char*, 3> changed_messages = {
    "MACD output array changed during the call", "Signal output array changed during the call",
    "Histogram output array changed during the call"};
constexpr std::string_view length_mismatch = "All output arrays must have the same length as input data";

Result<PyObject*> run_macd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    std::array<PyObject*, 7> slots{};
    if (Result<void> sorted = sort_arguments(macd_description, args, nargs, kwnames, slots); !sorted)
        return std::move(sorted).error();

    std::array<Period, 3> periods{};
    for (std::size_t i = 0; i < periods.size(); ++i) {
        Result<Period> period = period_argument(macd_parameters[i], slots[i]);
        if (!period)
            return std::move(period).error();
        periods[i] = period.value();
    }
    const auto [fast_period, slow_period, signal_period] = periods;

    Result<ReadonlyArray> data = accept_readonly(slots[3]);
    if (!data)
        return name_argument_error("data", std::move(data).error());
    std::array<std::optional<AcceptedArray>, 3> outputs;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        Result<AcceptedArray> output = accept_array(slots[4 + i]);
        if (!output)
            return name_argument_error(output_names[i], std::move(output).error());
        outputs[i].emplace(std::move(output).value());
    }

    if (fast_period == 0 || slow_period == 0 || signal_period == 0)
        return ErrorValue::value_error("Periods must be greater than 0");
    if (fast_period >= slow_period)
        return ErrorValue::value_error("Fast period must be less than slow period");

    // len() as Python sees it, and the element count behind it: a subclass
    // may report a length other than the memory it covers. len() runs Python
    // code, which may change any array of the call: from here on the checks
    // read the layouts recorded at acceptance, and the last check compares
    // them with the arrays.
    const ArrayLayout& data_layout = data.value().layout();
    const std::size_t data_count = element_count(data_layout);
    std::array<Py_ssize_t, 3> lengths{};
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        lengths[i] = PyObject_Length(reinterpret_cast<PyObject*>(outputs[i]->array));
        if (lengths[i] < 0)
            return fetch_error();
    }
    for (std::size_t i = 0; i < outputs.size(); ++i)
        if (static_cast<std::size_t>(lengths[i]) != data_count ||
            element_count(outputs[i]->layout) != data_count)
            return ErrorValue::value_error(length_mismatch);

    std::optional<InputSeries> data_view = input_view(data_layout);
    if (!data_view)
        return ErrorValue::value_error("Input array must be C-contiguous");
    std::array<OutputSeries, 3> views{};
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        std::optional<OutputSeries> view = output_view(outputs[i]->layout);
        if (!view)
            return ErrorValue::value_error(not_contiguous_messages[i]);
        views[i] = *view;
    }
    for (std::size_t i = 0; i < outputs.size(); ++i)
        if (!is_writeable(outputs[i]->layout))
            return ErrorValue::value_error(not_writeable_messages[i]);
    // Outputs may share memory with one another, never with the input.
    for (std::size_t i = 0; i < outputs.size(); ++i)
        if (views_overlap(*data_view, views[i]))
            return ErrorValue::value_error(overlap_messages[i]);
    if (!data.value().unchanged())
        return ErrorValue::runtime_error("Input array changed during the call");
    for (std::size_t i = 0; i < outputs.size(); ++i)
        if (!outputs[i]->unchanged())
            return ErrorValue::runtime_error(changed_messages[i]);

    // Structured bindings are captured by name: clang 14 cannot capture them.
    without_interpreter_lock([&, fast = fast_period, slow = slow_period, signal = signal_period] {
        compute_macd(*data_view, fast, slow, signal, views[0], views[1], views[2]);
    });
    return Py_NewRef(Py_None);
}

}  // namespace

PyObject* indicator_macd_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    return call_boundary([&] { return run_macd(args, nargs, kwnames); });
}

}  // namespace molvenar
