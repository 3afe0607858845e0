// indicator_atr: three price inputs, computed with the interpreter lock held.
#include <array>
#include <string_view>

#include "atr.hpp"
#include "errors/boundary.hpp"
#include "errors/result.hpp"
#include "module/arguments.hpp"
#include "module/entry_points.hpp"
#include "numpy_bridge/array_acceptance.hpp"
#include "numpy_bridge/readonly_array.hpp"
#include "numpy_bridge/series_view.hpp"

namespace molvenar {
namespace {

constexpr std::array<std::string_view, 5> atr_parameters = {"period", "high", "low", "close", "output"};
constexpr FunctionDescription atr_description = {nullptr, "indicator_atr", atr_parameters, 0, 5};

constexpr std::array<const char*, 3> not_contiguous_messages = {
    "High array must be C-contiguous and float64", "Low array must be C-contiguous and float64",
    "Close array must be C-contiguous and float64"};

constexpr std::array<const char*, 3> overlap_messages = {
    "Output array must not overlap the high array", "Output array must not overlap the low array",
    "Output array must not overlap the close array"};
constexpr std::array<const char*, 3> changed_messages = {
    "High array changed during the call", "Low array changed during the call",
    "Close array changed during the call"};

// The inputs in the order taken; members are destroyed in reverse, so the
// borrows go back as close, low, high.
struct PriceInputs {
    std::optional<ReadonlyArray> high, low, close;
};

Result<PyObject*> run_atr(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    std::array<PyObject*, 5> slots{};
    if (Result<void> sorted = sort_arguments(atr_description, args, nargs, kwnames, slots); !sorted)
        return std::move(sorted).error();

    Result<Period> period = period_argument("period", slots[0]);
    if (!period)
        return std::move(period).error();

    PriceInputs inputs;
    std::array<std::optional<ReadonlyArray>*, 3> input_slots = {&inputs.high, &inputs.low, &inputs.close};
    for (std::size_t i = 0; i < input_slots.size(); ++i) {
        Result<ReadonlyArray> accepted = accept_readonly(slots[1 + i]);
        if (!accepted)
            return name_argument_error(atr_parameters[1 + i], std::move(accepted).error());
        input_slots[i]->emplace(std::move(accepted).value());
    }
    Result<AcceptedArray> output = accept_array(slots[4]);
    if (!output)
        return name_argument_error("output", std::move(output).error());

    std::array<InputSeries, 3> views{};
    for (std::size_t i = 0; i < input_slots.size(); ++i) {
        std::optional<InputSeries> view = input_view((*input_slots[i])->layout());
        if (!view)
            return ErrorValue::value_error(not_contiguous_messages[i]);
        views[i] = *view;
    }
    const auto& [high, low, close] = views;
    if (low.count != high.count || close.count != high.count)
        return ErrorValue::value_error("All arrays must have the same length");
    std::optional<OutputSeries> output_view_ = output_view(output.value().layout);
    if (!output_view_)
        return ErrorValue::value_error("Output array must be C-contiguous and float64");
    // The averages land at positions period..n-1: they must fit.
    const Period n = high.count;
    if (period.value() >= 1 && period.value() < n && output_view_->count < n)
        return ErrorValue::value_error("Output array must be at least as long as the input arrays");
    if (!is_writeable(output.value().layout))
        return ErrorValue::value_error("Output array must be writeable");
    for (std::size_t i = 0; i < views.size(); ++i)
        if (views_overlap(views[i], *output_view_))
            return ErrorValue::value_error(overlap_messages[i]);
    // Borrowing an input may have run Python code (another module's table,
    // the table's first lookup); `output` was accepted after the last one.
    for (std::size_t i = 0; i < input_slots.size(); ++i)
        if (!(*input_slots[i])->unchanged())
            return ErrorValue::runtime_error(changed_messages[i]);

    // ATR computes with the interpreter lock held, unlike the other
    // indicators: that is its contract. No other Python thread runs while it
    // computes, and callers may rely on that; releasing the lock here would
    // break them.
    compute_atr(high, low, close, period.value(), *output_view_);
    return Py_NewRef(Py_None);
}

}  // namespace

PyObject* indicator_atr_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return call_boundary([&] { return run_atr(args, nargs, kwnames); });
}

}  // namespace molvenar
