// indicator_macd: one input, three outputs, periods checked before anything runs.
#include <array>
#include <string_view>

#include "errors/boundary.hpp"
#include "errors/result.hpp"
#include "macd.hpp"
#include "module/arguments.hpp"
#include "module/entry_points.hpp"
#include "module/refusal_notes.hpp"
#include "numpy_bridge/array_acceptance.hpp"
#include "numpy_bridge/readonly_array.hpp"
#include "numpy_bridge/series_view.hpp"

namespace molvenar {
namespace {

constexpr std::array<std::string_view, 7> macd_parameters = {
    "fast_period", "slow_period", "signal_period", "data", "macd_output", "signal_output", "hist_output"};
constexpr FunctionDescription macd_description = {nullptr, "indicator_macd", macd_parameters, 0, 7};

constexpr std::array<std::string_view, 3> output_names = {"macd_output", "signal_output", "hist_output"};
constexpr ArrayArgument data_argument{"data", false, "data"};
constexpr std::array<ArrayArgument, 3> output_arguments = {
    ArrayArgument{"macd_output", true, "data"}, ArrayArgument{"signal_output", true, "data"},
    ArrayArgument{"hist_output", true, "data"}};
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

// "got fast_period=26, slow_period=12, signal_period=9; <rule>. ..."
std::string macd_periods_note(const std::array<Period, 3>& periods, std::string_view rule) noexcept {
    std::string note = "got ";
    for (std::size_t i = 0; i < periods.size(); ++i)
        note += std::string(i ? ", " : "") + std::string(macd_parameters[i]) + "=" + std::to_string(periods[i]);
    return note + "; " + std::string(rule) + ". The usual MACD periods are 12, 26 and 9.";
}

// Each output's len(), and its element count where a subclass reports
// another length than it holds.
std::string macd_length_note(std::size_t data_count, const std::array<Py_ssize_t, 3>& lengths,
                             const std::array<std::optional<AcceptedArray>, 3>& outputs) noexcept {
    std::string note = "data has " + std::to_string(data_count) + " values";
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const std::size_t held = element_count(outputs[i]->layout);
        note += ", " + std::string(output_names[i]) + " has " + std::to_string(lengths[i]);
        if (held != static_cast<std::size_t>(lengths[i]))
            note += " by len() but holds " + std::to_string(held);
    }
    return note + ". Pass outputs of the same length as data, such as np.empty_like(data).";
}

Result<PyObject*> run_macd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    std::array<PyObject*, 7> slots{};
    if (Result<void> sorted = sort_arguments(macd_description, args, nargs, kwnames, slots); !sorted)
        return std::move(sorted).error();

    std::array<Period, 3> periods{};
    for (std::size_t i = 0; i < periods.size(); ++i) {
        Result<Period> period = period_argument(macd_parameters[i], slots[i], 1);
        if (!period)
            return std::move(period).error();
        periods[i] = period.value();
    }
    const auto [fast_period, slow_period, signal_period] = periods;

    Result<ReadonlyArray> data = accept_readonly(slots[3]);
    if (!data)
        return array_argument_error(data_argument, slots[3], std::move(data).error());
    std::array<std::optional<AcceptedArray>, 3> outputs;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        Result<AcceptedArray> output = accept_array(slots[4 + i]);
        if (!output)
            return array_argument_error(output_arguments[i], slots[4 + i], std::move(output).error());
        outputs[i].emplace(std::move(output).value());
    }

    if (fast_period == 0 || slow_period == 0 || signal_period == 0)
        return with_note(ErrorValue::value_error("Periods must be greater than 0"),
                         macd_periods_note(periods, "every period must be 1 or more"));
    if (fast_period >= slow_period)
        return with_note(ErrorValue::value_error("Fast period must be less than slow period"),
                         macd_periods_note(periods, "fast_period must be below slow_period (swap them if "
                                                    "they came in the other order)"));

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
            return with_note(ErrorValue::value_error(length_mismatch),
                             macd_length_note(data_count, lengths, outputs));

    std::optional<InputSeries> data_view = input_view(data_layout);
    if (!data_view)
        return with_note(ErrorValue::value_error("Input array must be C-contiguous"),
                         not_contiguous_note(data_argument, data_layout));
    std::array<OutputSeries, 3> views{};
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        std::optional<OutputSeries> view = output_view(outputs[i]->layout);
        if (!view)
            return with_note(ErrorValue::value_error(not_contiguous_messages[i]),
                             not_contiguous_note(output_arguments[i], outputs[i]->layout));
        views[i] = *view;
    }
    for (std::size_t i = 0; i < outputs.size(); ++i)
        if (!is_writeable(outputs[i]->layout))
            return with_note(ErrorValue::value_error(not_writeable_messages[i]),
                             not_writeable_note(output_arguments[i]));
    // Outputs may share memory with one another, never with the input.
    for (std::size_t i = 0; i < outputs.size(); ++i)
        if (views_overlap(*data_view, views[i]))
            return with_note(ErrorValue::value_error(overlap_messages[i]), overlap_note(output_names[i], "data"));
    if (!data.value().unchanged())
        return with_note(ErrorValue::runtime_error("Input array changed during the call"), changed_note("data"));
    for (std::size_t i = 0; i < outputs.size(); ++i)
        if (!outputs[i]->unchanged())
            return with_note(ErrorValue::runtime_error(changed_messages[i]), changed_note(output_names[i]));

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
