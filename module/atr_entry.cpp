// indicator_atr: three price inputs, computed with the interpreter lock held.
#include <array>
#include <string_view>

#include "atr.hpp"
#include "errors/boundary.hpp"
#include "errors/result.hpp"
#include "module/arguments.hpp"
#include "module/entry_points.hpp"
#include "module/refusal_notes.hpp"
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

constexpr std::array<ArrayArgument, 3> input_arguments = {
    ArrayArgument{"high", false, "close"}, ArrayArgument{"low", false, "close"},
    ArrayArgument{"close", false, "close"}};
constexpr ArrayArgument output_argument{"output", true, "close"};

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
            return array_argument_error(input_arguments[i], slots[1 + i], std::move(accepted).error());
        input_slots[i]->emplace(std::move(accepted).value());
    }
    Result<AcceptedArray> output = accept_array(slots[4]);
    if (!output)
        return array_argument_error(output_argument, slots[4], std::move(output).error());

    std::array<InputSeries, 3> views{};
    for (std::size_t i = 0; i < input_slots.size(); ++i) {
        const ArrayLayout& layout = (*input_slots[i])->layout();
        std::optional<InputSeries> view = input_view(layout);
        if (!view)
            return with_note(ErrorValue::value_error(not_contiguous_messages[i]),
                             not_contiguous_note(input_arguments[i], layout));
        views[i] = *view;
    }
    const auto& [high, low, close] = views;
    if (low.count != high.count || close.count != high.count) {
        constexpr std::array<std::string_view, 3> names = {"high", "low", "close"};
        const std::array<std::size_t, 3> counts = {high.count, low.count, close.count};
        return with_note(ErrorValue::value_error("All arrays must have the same length"),
                         length_note(names, counts, "Pass three arrays of one length, one value per bar."));
    }
    const ArrayLayout& output_layout = output.value().layout;
    std::optional<OutputSeries> output_view_ = output_view(output_layout);
    if (!output_view_)
        return with_note(ErrorValue::value_error("Output array must be C-contiguous and float64"),
                         not_contiguous_note(output_argument, output_layout));
    // The averages land at positions period..n-1: they must fit.
    const Period n = high.count;
    if (period.value() >= 1 && period.value() < n && output_view_->count < n) {
        constexpr std::array<std::string_view, 2> names = {"each input", "output"};
        const std::array<std::size_t, 2> counts = {n, output_view_->count};
        return with_note(ErrorValue::value_error("Output array must be at least as long as the input arrays"),
                         length_note(names, counts, "Pass an output at least as long, such as np.empty_like(close)."));
    }
    if (!is_writeable(output_layout))
        return with_note(ErrorValue::value_error("Output array must be writeable"),
                         not_writeable_note(output_argument));
    for (std::size_t i = 0; i < views.size(); ++i)
        if (views_overlap(views[i], *output_view_))
            return with_note(ErrorValue::value_error(overlap_messages[i]),
                             overlap_note("output", input_arguments[i].name));
    // Borrowing an input may have run Python code (another module's table,
    // the table's first lookup); `output` was accepted after the last one.
    for (std::size_t i = 0; i < input_slots.size(); ++i)
        if (!(*input_slots[i])->unchanged())
            return with_note(ErrorValue::runtime_error(changed_messages[i]), changed_note(input_arguments[i].name));

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
