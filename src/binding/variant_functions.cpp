#include "binding/variant_functions.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "binding/arguments.hpp"
#include "binding/arrays.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "binding/graph_classes.hpp"
#include "binding/interpreter.hpp"
#include "binding/texts.hpp"
#include "binding/time_positions.hpp"
#include "core/parallel.hpp"
#include "core/variants.hpp"

namespace kestrel {

namespace {

constexpr std::array<const char*, max_parameters> kNames{
    "time_series", "kind", "x", "penetrable", "skip_adjacent", "exact", "missing", "decimals",
    "threads"};
constexpr std::array<const char*, max_parameters> kDefaults{
    nullptr, "'natural'", "None", "0", "False", "False", "'raise'", "None", "None"};
constexpr CallSignature build_graph_signature{"build_graph", nullptr, kNames, 2, 1, 7, kDefaults};
constexpr CallSignature graph_degrees_signature{"graph_degrees", nullptr, kNames, 2, 1, 7,
                                                kDefaults};
constexpr CallSignature graph_edge_array_signature{"graph_edge_array", nullptr, kNames, 2, 1, 7,
                                                   kDefaults};
// The last slot takes the first high end instead of the thread count.
constexpr std::array<const char*, max_parameters> kFromNames{
    "time_series", "kind", "x", "penetrable", "skip_adjacent", "exact", "missing", "decimals",
    "first_high"};
constexpr std::array<const char*, max_parameters> kFromDefaults{
    nullptr, "'natural'", "None", "0", "False", "False", "'raise'", "None", nullptr};
constexpr CallSignature natural_edges_from_signature{"_natural_edges_from", nullptr, kFromNames,
                                                     2, 1, 7, kFromDefaults};

// Everything a call asks for, converted and checked.
struct VariantCall {
    Series series;
    Series x;  // empty: x_k = k
    VariantOptions options;
    bool omit_missing = false;
    // With decimals=: the values as scaled decimals, on which visibility is decided.
    std::optional<Series> decided;
    TimeAxis axis;  // set when x held times
    std::size_t threads = kAutoThreads;
};

// Positions as given: the offsets, and for times what they count.
struct PositionsInput {
    Series offsets;
    TimeAxis axis;
};

// A ready message of the given type, or the error of making it.
CallError error_with(PyObject* type, ref text) {
    if (!text) return fetch_error();
    return CallError::object(type, std::move(text));
}

// One of a few names given as a str: its value, `fallback` when the argument is absent;
// `message` (with one %R for the argument) says which names there are.
template <class Value, std::size_t N>
Result<Value> to_choice(PyObject* object, Value fallback,
                        const std::array<std::pair<const char*, Value>, N>& choices,
                        const char* message) {
    if (object == nullptr) return fallback;
    if (!PyUnicode_Check(object)) return CallError::kind_mismatch(object, "PyString");
    for (const auto& [name, value] : choices) {
        if (PyUnicode_CompareWithASCIIString(object, name) == 0) return value;
    }
    return error_with(PyExc_ValueError, ref::steal(PyUnicode_FromFormat(message, object)));
}

Result<MissingPolicy> to_missing(PyObject* object) {
    static constexpr std::array<std::pair<const char*, MissingPolicy>, 3> choices{{
        {"raise", MissingPolicy::raise}, {"omit", MissingPolicy::omit}, {"keep", MissingPolicy::keep}}};
    return to_choice(object, MissingPolicy::raise, choices, texts::missing_choices);
}

Result<VisibilityRule> to_kind(PyObject* object) {
    static constexpr std::array<std::pair<const char*, VisibilityRule>, 2> choices{{
        {"natural", VisibilityRule::Natural}, {"horizontal", VisibilityRule::Horizontal}}};
    return to_choice(object, VisibilityRule::Natural, choices, texts::kind_choices);
}

// An int argument (any type with __index__, never a bool of either kind), as a Python
// int; `type_message` has one %U for the type's name when it is not one.
Result<ref> to_int_object(PyObject* object, const char* type_message) {
    // numpy.bool has __index__ on some numpy versions only: refused on all of them.
    const bool numpy_bool = is_numpy_bool(object);
    if (PyBool_Check(object) || numpy_bool || !PyIndex_Check(object)) {
        ref name = numpy_bool ? ref::steal(checked(PyUnicode_FromString("numpy.bool")))
                              : type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(object)));
        return error_with(PyExc_TypeError, ref::steal(PyUnicode_FromFormat(type_message, name.get())));
    }
    ref index = ref::steal(PyNumber_Index(object));
    if (!index) return fetch_error();
    return index;
}

// An int (or any integer type with __index__), never a bool; >= 0. Values beyond the
// native range mean "no limit", the same graph as any L >= n - 2.
// None, or an int from 0 to 15 (never a bool of either kind).
Result<int> to_decimals(PyObject* object) {
    if (object == nullptr || object == Py_None) return -1;
    KG_TRY(index, to_int_object(object, texts::decimals_type));
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return fetch_error();
    if (overflow != 0 || value < 0 || value > 15) {
        return error_with(PyExc_ValueError, ref::steal(PyUnicode_FromFormat(
                                                texts::decimals_range, index.get())));
    }
    return static_cast<int>(value);
}

CallError decimals_error(const Series& series, std::size_t index, int places) {
    ref value = ref::steal(checked(PyFloat_FromDouble(series[index])));
    ref text = ref::steal(PyUnicode_FromFormat(
        "time_series[%zu] = %R is not a decimal with at most %d places and 15 digits",
        index, value.get(), places));
    return error_with(PyExc_ValueError, std::move(text));
}

CallError missing_error(std::size_t index) {
    ref text = ref::steal(PyUnicode_FromFormat(
        "time_series[%zu] is missing (NaN): pass missing='omit' to leave missing samples out "
        "(the others keep their positions) or missing='keep' to build with NaN as a value",
        index));
    return error_with(PyExc_ValueError, std::move(text));
}

Result<std::size_t> to_penetrable(PyObject* object) {
    if (object == nullptr) return std::size_t{0};
    KG_TRY(index, to_int_object(object, texts::penetrable_type));
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return fetch_error();
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        return error_with(PyExc_ValueError,
                          ref::steal(PyUnicode_FromFormat(texts::penetrable_range, index.get())));
    }
    if (overflow > 0) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(value);
}

ref float_object(double value) { return ref::steal(checked(PyFloat_FromDouble(value))); }

CallError positions_error(const PositionsCheck& check, const Series& x, std::size_t samples) {
    ref text;
    switch (check.fault) {
        case PositionsFault::length:
            text = ref::steal(PyUnicode_FromFormat("x has %zu positions but the series has %zu samples",
                                                   x.size(), samples));
            break;
        case PositionsFault::not_finite: {
            ref value = float_object(x[check.index]);
            text = ref::steal(PyUnicode_FromFormat("x must be finite: x[%zu] = %R", check.index, value.get()));
            break;
        }
        default: {
            ref value = float_object(x[check.index]);
            ref previous = float_object(x[check.index - 1]);
            text = ref::steal(PyUnicode_FromFormat(
                "x must be strictly increasing: x[%zu] = %R is not greater than x[%zu] = %R",
                check.index, value.get(), check.index - 1, previous.get()));
            break;
        }
    }
    if (!text) return fetch_error();
    return CallError::object(PyExc_ValueError, std::move(text));
}

// Drops a pending Exception (an attribute that is missing or fails); anything that is no
// Exception (KeyboardInterrupt, SystemExit) is taken to stop the call.
Status clear_ordinary_error() {
    if (!PyErr_Occurred()) return success();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return fetch_error();
    PyErr_Clear();
    return success();
}

// Whether x carries a numpy or pandas dtype of times (datetime64, timedelta64).
Result<bool> has_time_dtype(PyObject* object) {
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) return false;
    ref dtype = ref::steal(PyObject_GetAttrString(object, "dtype"));
    ref kind = dtype ? ref::steal(PyObject_GetAttrString(dtype.get(), "kind")) : ref();
    const bool times = kind && PyUnicode_Check(kind.get()) &&
                       (PyUnicode_CompareWithASCIIString(kind.get(), "M") == 0 ||
                        PyUnicode_CompareWithASCIIString(kind.get(), "m") == 0);
    KG_CHECK(clear_ordinary_error());
    return times;
}

// Times as positions (see time_positions); nullopt when x holds no times.
Result<std::optional<PositionsInput>> dated_positions(PyObject* object) {
    KG_TRY(found, time_positions(object));
    if (!found) return std::optional<PositionsInput>{};
    return std::optional<PositionsInput>{PositionsInput{std::move(found->offsets), std::move(found->axis)}};
}

// Positions: numbers, or times (see dated_positions).
Result<PositionsInput> to_positions(PyObject* object) {
    KG_TRY(dated, has_time_dtype(object));
    if (dated) {
        KG_TRY(times, dated_positions(object));
        if (times) return std::move(*times);
    }
    Result<Series> plain = to_series(object);
    // A str or bytes is no sequence of times either.
    if (plain.ok()) return PositionsInput{std::move(plain).value(), TimeAxis{}};
    if (plain.error().type != PyExc_TypeError || PyUnicode_Check(object) || PyBytes_Check(object)) {
        return std::move(plain).error();
    }
    // Not numbers: maybe a sequence of datetime objects. Otherwise the number error stands.
    KG_TRY(times, dated_positions(object));
    if (times) return std::move(*times);
    return std::move(plain).error();
}

Result<VariantCall> convert_slots(const ArgumentSlots& slots) {
    KG_TRY(series, convert_argument("time_series", to_series, slots[0]));
    KG_TRY(rule, convert_argument("kind", to_kind, slots[1]));
    Series x;
    TimeAxis axis;
    if (slots[2] != nullptr && slots[2] != Py_None) {
        KG_TRY(positions, convert_argument("x", to_positions, slots[2]));
        x = std::move(positions.offsets);
        axis = std::move(positions.axis);
    }
    KG_TRY(penetrable, to_penetrable(slots[3]));
    KG_TRY(skip_adjacent, to_flag("skip_adjacent", slots[4]));
    KG_TRY(exact, to_flag("exact", slots[5]));
    KG_TRY(missing, convert_argument("missing", to_missing, slots[6]));
    KG_TRY(decimals, to_decimals(slots[7]));
    KG_TRY(threads, to_threads(slots[8]));
    if (slots[2] != nullptr && slots[2] != Py_None) {
        const PositionsCheck check = check_positions(x, series.size());
        if (check.fault != PositionsFault::none) return positions_error(check, x, series.size());
    }
    if (missing == MissingPolicy::raise) {
        const std::size_t at = first_missing(series);
        if (at != series.size()) return missing_error(at);
    }
    VariantOptions options;
    options.rule = rule;
    options.penetrable = penetrable;
    options.exact = exact;
    options.skip_adjacent = skip_adjacent;
    std::optional<Series> decided;
    if (decimals >= 0) {
        // Decided exactly on the decimals: the exact rule on the scaled values.
        Series scaled;
        const std::size_t bad = scale_decimals(series, decimals, scaled);
        if (bad != series.size()) return decimals_error(series, bad, decimals);
        decided = std::move(scaled);
        options.exact = true;
    }
    return VariantCall{std::move(series), std::move(x), options, missing == MissingPolicy::omit,
                       std::move(decided), std::move(axis), threads};
}

Result<VariantCall> convert_call(const CallSignature& signature, PyObject* args, PyObject* kwargs) {
    KG_TRY(slots, parse_arguments(signature, args, kwargs));
    return convert_slots(slots);
}

// Runs without the interpreter lock, on the call's own copies.
void prepare_inputs(VariantCall& call) {
    if (call.omit_missing) omit_missing(call.series, call.x, call.decided ? &*call.decided : nullptr);
}

// The values visibility is decided on.
const Series& decided_values(const VariantCall& call) {
    return call.decided ? *call.decided : call.series;
}

// The plain rules (no penetrable, natural without positions or the exact rule), whose
// edges the threads write straight into the result's storage. The natural float rule at
// positions runs on the call's threads too (variant_edges); every other variant on one.
bool runs_threaded(const VariantCall& call) {
    const VariantOptions& options = call.options;
    return options.penetrable == 0 &&
           (options.rule == VisibilityRule::Horizontal || (call.x.empty() && !options.exact));
}

std::vector<Edge> call_edges(const VariantCall& call) {
    return variant_edges(decided_values(call), call.x, call.options, call.threads);
}

std::vector<std::uint64_t> call_degrees(const VariantCall& call) {
    return variant_degrees(decided_values(call), call.x, call.options, call.threads);
}

// The inputs are freed as soon as the result exists, before the result is wrapped.
void release_inputs(VariantCall& call) noexcept {
    Series().swap(call.series);
    Series().swap(call.x);
    call.decided.reset();
}

PyObject* build_graph_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(call, convert_call(build_graph_signature, args, kwargs));
        KG_TRY(graph, without_interpreter([&] {
                   prepare_inputs(call);
                   // The plain rules' edges go into the record as they were made.
                   VisibilityGraph built = graph_from_edges(
                       call.series, call.x,
                       runs_threaded(call)
                           ? visibility_edge_rows(decided_values(call), call.options.skip_adjacent,
                                                  call.options.rule, call.threads)
                           : SharedRows<Edge>(call_edges(call)));
                   release_inputs(call);
                   return built;
               }));
        return wrap_graph(std::move(graph),
                          call.options.rule == VisibilityRule::Natural ? GraphClass::Visibility
                                                                       : GraphClass::HorizontalVisibility,
                          std::move(call.axis));
    });
}

PyObject* graph_degrees_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(call, convert_call(graph_degrees_signature, args, kwargs));
        KG_TRY(block, without_interpreter([&] {
                   prepare_inputs(call);
                   ArrayBlock computed = count_block(call_degrees(call));
                   release_inputs(call);
                   return computed;
               }));
        return wrap_array(std::move(block));
    });
}

PyObject* graph_edge_array_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(call, convert_call(graph_edge_array_signature, args, kwargs));
        KG_TRY(block, without_interpreter([&] {
                   prepare_inputs(call);
                   // The plain rules' edges are written straight into the array, on any
                   // number of threads.
                   ArrayBlock computed =
                       runs_threaded(call)
                           ? edge_block(visibility_edge_buffer(decided_values(call), call.options.skip_adjacent,
                                                               call.options.rule, call.threads))
                           : edge_block(call_edges(call));
                   release_inputs(call);
                   return computed;
               }));
        return wrap_array(std::move(block));
    });
}

PyObject* natural_edges_from_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(slots, parse_arguments(natural_edges_from_signature, args, kwargs));
        if (slots[8] == nullptr) return CallError::message(PyExc_TypeError, "_natural_edges_from needs first_high");
        KG_TRY(first_high, convert_argument("first_high", to_index, slots[8]));
        ArgumentSlots options = slots;
        options[8] = nullptr;  // one thread
        KG_TRY(call, convert_slots(options));
        if (call.options.rule != VisibilityRule::Natural) {
            return CallError::message(PyExc_ValueError, "_natural_edges_from takes the natural rule only");
        }
        KG_TRY(block, without_interpreter([&] {
                   prepare_inputs(call);
                   ArrayBlock computed = edge_block(
                       natural_variant_edges_from(decided_values(call), call.x, call.options, first_high));
                   release_inputs(call);
                   return computed;
               }));
        return wrap_array(std::move(block));
    });
}

#define KG_VARIANT_ARGUMENTS                                                                       \
    "Args:\n"                                                                                      \
    "    time_series: The samples: a sequence of numbers or a one-dimensional numpy array.\n"     \
    "    kind: ``\"natural\"`` (the straight segment between two samples passes strictly above\n" \
    "        every sample between) or ``\"horizontal\"`` (every sample between is strictly\n"     \
    "        lower than both ends).\n"                                                          \
    "    x: Positions of the samples, the same kinds of input as ``time_series``: finite,\n"      \
    "        strictly increasing, one per sample. ``None`` places sample ``k`` at ``k``. The\n"   \
    "        horizontal rule does not depend on positions.\n"                                   \
    "    penetrable: The largest number of blocking samples a visible pair may have\n"           \
    "        between its ends (limited penetrable visibility); ``0`` gives the ordinary\n"      \
    "        graph.\n"                                                                          \
    "    skip_adjacent: Leave out the neighbouring pairs ``(k, k + 1)``; they still block.\n"  \
    "    exact: Natural rule only: decide whether a sample lies on or above the chord\n"        \
    "        exactly on the binary values instead of with the float line value, so a sample\n" \
    "        exactly on the chord always blocks. NaN never blocks and an infinite sample\n"     \
    "        counts as infinitely far above or below. The horizontal rule is exact already\n"   \
    "        and ignores it.\n"                                                                 \
    "    missing: What to do with missing samples (NaN values): ``\"raise\"`` a ValueError\n"  \
    "        naming the first; ``\"omit\"`` them, so the graph is that of the other samples,\n"  \
    "        each at its own position (its ``x``, or its index in the input), numbered\n"     \
    "        from 0 in order; or ``\"keep\"`` them as values under the literal rule, where NaN\n" \
    "        never blocks and a NaN end sees every sample.\n"                                   \
    "    decimals: ``None``, or the values are decimals with at most this many places (0 to\n"  \
    "        15) as recorded: each must be the double nearest to such a decimal with at most\n" \
    "        15 digits in all, and visibility is decided exactly on those decimals (a sample\n" \
    "        on the chord of the recorded values blocks), not on their binary roundings.\n"   \
    "        The vertices keep the values as given.\n"                                      \
    "    threads: How many threads build the result, an int >= 1; ``None`` uses every core\n"  \
    "        for long series and one thread for short ones. Only the plain rules (no\n"        \
    "        ``penetrable``, and for the natural rule no ``x`` and no exact rule) use more\n"  \
    "        than one. The result is the same for every value.\n\n"

#define KG_VARIANT_RAISES                                                                          \
    "Raises:\n"                                                                                    \
    "    ValueError: A missing sample with ``missing=\"raise\"``, a value that is no decimal\n"  \
    "        of ``decimals`` places, ``missing`` or ``kind`` not one of its choices,\n"          \
    "        ``decimals`` out of range, ``penetrable`` negative, ``threads``\n"  \
    "        below 1, or\n"                           \
    "        ``x`` has the wrong length, a non-finite position or one not greater than the\n"   \
    "        one before it (the message names the first).\n"                                    \
    "    TypeError: An argument has the wrong type; ``penetrable`` must be an int (not a\n"      \
    "        bool), ``threads`` None or an int.\n"                                                                           \
    "    MemoryError: Memory ran out; nothing is built.\n"                                     \
    "    KeyboardInterrupt: Ctrl-C on the main thread stopped the build (an exception that a\n"  \
    "        signal handler of the caller's raises stops it the same way).\n"

constexpr ModuleFunction rows[] = {
    {&build_graph_signature, build_graph_entry,
     "Visibility graph of a series, with optional positions, penetrable visibility and the\n"
     "exact natural rule.\n\n"
     "Vertex ``k`` is ``(x[k], time_series[k])``; visible pairs are edges in ascending\n"
     "``(low, high)`` order. Computed on the call's own copies without holding the\n"
     "interpreter lock.\n\n" KG_VARIANT_ARGUMENTS
     "Returns:\n"
     "    A ``VisibilityGraph`` for the natural rule, a ``HorizontalVisibilityGraph`` for the\n"
     "    horizontal one.\n\n" KG_VARIANT_RAISES},
    {&graph_degrees_signature, graph_degrees_entry,
     "Degree of every sample in the graph ``build_graph`` makes from the same arguments,\n"
     "counted without storing edges and without holding the interpreter lock.\n\n" KG_VARIANT_ARGUMENTS
     "Returns:\n"
     "    An ``(n,)`` int64 ``GraphArray``.\n\n" KG_VARIANT_RAISES},
    {&graph_edge_array_signature, graph_edge_array_entry,
     "Edges of the graph ``build_graph`` makes from the same arguments, in ascending\n"
     "``(low, high)`` order, computed without holding the interpreter lock.\n\n" KG_VARIANT_ARGUMENTS
     "Returns:\n"
     "    An ``(m, 2)`` int64 ``GraphArray``.\n\n" KG_VARIANT_RAISES},
    {&natural_edges_from_signature, natural_edges_from_entry,
     "The natural edges of ``graph_edge_array`` whose high end is at least ``first_high``,\n"
     "in ascending order, found in memory for the samples and those edges only (one\n"
     "thread, without holding the interpreter lock).\n",
     false},
};

}  // namespace

std::span<const ModuleFunction> variant_functions() { return rows; }

}  // namespace kestrel
