// Module start-up, registration and the nine module functions. Every entry is a
// short trampoline into the call frame.
#include <array>
#include <variant>

#include "core/visibility.hpp"
#include "binding/graph_classes.hpp"
#include "binding/arguments.hpp"
#include "binding/arrays.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "binding/interpreter.hpp"
#include "binding/text_functions.hpp"
#include "binding/variant_functions.hpp"

namespace kestrel {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kestrel_grid",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// A strong reference to the first module that finished start-up; never cleared.
PyObject* module_cell = nullptr;

constexpr CallSignature build_visibility_graph_signature{
    "build_visibility_graph", nullptr, {"time_series", "skip_adjacent"}, 2, 1};
constexpr CallSignature build_horizontal_visibility_graph_signature{
    "build_horizontal_visibility_graph", nullptr, {"time_series", "skip_adjacent"}, 2, 1};
constexpr CallSignature indices_are_visible_signature{
    "indices_are_visible", nullptr, {"time_series", "i", "j"}, 3, 3};
constexpr CallSignature indices_are_horizontally_visible_signature{
    "indices_are_horizontally_visible", nullptr, {"time_series", "i", "j"}, 3, 3};
constexpr CallSignature subseries_between_signature{
    "subseries_between", nullptr, {"time_series", "i", "j"}, 3, 3};
constexpr CallSignature build_subgraph_between_signature{
    "build_subgraph_between", nullptr, {"time_series", "i", "j", "skip_adjacent"}, 4, 3};
constexpr CallSignature build_horizontal_subgraph_between_signature{
    "build_horizontal_subgraph_between", nullptr, {"time_series", "i", "j", "skip_adjacent"}, 4, 3};
constexpr CallSignature segment_is_visible_signature{
    "segment_is_visible", nullptr, {"p1", "p2", "obstacles"}, 3, 3};
constexpr CallSignature horizontal_window_motif_scores_signature{
    "horizontal_window_motif_scores", nullptr, {"time_series", "window_size", "skip_adjacent"}, 3, 2};

CallError index_error() { return CallError::message(PyExc_IndexError, "index out of bounds"); }

// The arguments (time_series, i, j) shared by the pairwise tests and the stretch functions.
struct SeriesPair {
    Series series;
    std::size_t i;
    std::size_t j;
};

Result<SeriesPair> convert_series_pair(const ArgumentSlots& slots) {
    KG_TRY(series, convert_argument("time_series", to_series, slots[0]));
    KG_TRY(i, convert_argument("i", to_index, slots[1]));
    KG_TRY(j, convert_argument("j", to_index, slots[2]));
    return SeriesPair{std::move(series), i, j};
}

Result<bool> convert_skip_adjacent(PyObject* argument) {
    KG_TRY(flag, convert_argument("skip_adjacent", to_optional_bool, argument));
    return flag.value_or(false);
}

PyObject* pair_test(const CallSignature& signature, PyObject* args, PyObject* kwargs,
                    bool (*test)(std::span<const double>, std::size_t, std::size_t)) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(slots, parse_arguments(signature, args, kwargs));
        KG_TRY(pair, convert_series_pair(slots));
        return from_bool(test(pair.series, pair.i, pair.j));
    });
}

PyObject* whole_series_graph(const CallSignature& signature, PyObject* args, PyObject* kwargs,
                             VisibilityRule rule, GraphClass result_class) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(slots, parse_arguments(signature, args, kwargs));
        KG_TRY(series, convert_argument("time_series", to_series, slots[0]));
        KG_TRY(skip_adjacent, convert_skip_adjacent(slots[1]));
        VisibilityGraph graph = build_series_graph(series, skip_adjacent, rule);
        Series().swap(series);  // the samples are no longer needed while the object is made
        return wrap_graph(std::move(graph), result_class);
    });
}

PyObject* stretch_graph(const CallSignature& signature, PyObject* args, PyObject* kwargs,
                        VisibilityRule rule, GraphClass result_class) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(slots, parse_arguments(signature, args, kwargs));
        KG_TRY(pair, convert_series_pair(slots));
        KG_TRY(skip_adjacent, convert_skip_adjacent(slots[3]));
        // The index test runs only after every conversion succeeded.
        std::optional<VisibilityGraph> graph =
            build_series_subgraph(pair.series, pair.i, pair.j, skip_adjacent, rule);
        if (!graph) {
            return index_error();
        }
        Series().swap(pair.series);
        return wrap_graph(std::move(*graph), result_class);
    });
}

PyObject* build_visibility_graph_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return whole_series_graph(build_visibility_graph_signature, args, kwargs,
                              VisibilityRule::Natural, GraphClass::Visibility);
}

PyObject* build_horizontal_visibility_graph_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return whole_series_graph(build_horizontal_visibility_graph_signature, args, kwargs,
                              VisibilityRule::Horizontal, GraphClass::HorizontalVisibility);
}

PyObject* indices_are_visible_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return pair_test(indices_are_visible_signature, args, kwargs, indices_are_visible);
}

PyObject* indices_are_horizontally_visible_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return pair_test(indices_are_horizontally_visible_signature, args, kwargs,
                     indices_are_horizontally_visible);
}

PyObject* subseries_between_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(slots, parse_arguments(subseries_between_signature, args, kwargs));
        KG_TRY(pair, convert_series_pair(slots));
        std::optional<Series> between = subseries_between(pair.series, pair.i, pair.j);
        if (!between) {
            return index_error();
        }
        return from_float_list(*between);
    });
}

PyObject* build_subgraph_between_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return stretch_graph(build_subgraph_between_signature, args, kwargs, VisibilityRule::Natural,
                         GraphClass::Visibility);
}

PyObject* build_horizontal_subgraph_between_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return stretch_graph(build_horizontal_subgraph_between_signature, args, kwargs,
                         VisibilityRule::Horizontal, GraphClass::HorizontalVisibility);
}

PyObject* segment_is_visible_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(slots, parse_arguments(segment_is_visible_signature, args, kwargs));
        KG_TRY(p1, convert_argument("p1", to_point, slots[0]));
        KG_TRY(p2, convert_argument("p2", to_point, slots[1]));
        KG_TRY(obstacles, convert_argument("obstacles", to_segment_list, slots[2]));
        return from_bool(segment_is_visible(p1, p2, obstacles));
    });
}

PyObject* horizontal_window_motif_scores_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(slots, parse_arguments(horizontal_window_motif_scores_signature, args, kwargs));
        KG_TRY(series, convert_argument("time_series", to_series, slots[0]));
        KG_TRY(window_size, convert_argument("window_size", to_index, slots[1]));
        KG_TRY(skip_adjacent, convert_skip_adjacent(slots[2]));
        auto scores = horizontal_window_motif_scores(series, window_size, skip_adjacent);
        if (auto* error = std::get_if<WindowError>(&scores)) {
            return CallError::message(PyExc_ValueError,
                                      *error == WindowError::zero_window
                                          ? "window size must be greater than zero"
                                          : "window size must be less than or equal to len(time_series)");
        }
        return from_int64_list(std::get<std::vector<std::int64_t>>(scores));
    });
}

constexpr CallSignature visibility_degrees_signature{
    "visibility_degrees", nullptr, {"time_series", "skip_adjacent", "threads"}, 2, 1, 1};
constexpr CallSignature horizontal_visibility_degrees_signature{
    "horizontal_visibility_degrees", nullptr, {"time_series", "skip_adjacent", "threads"}, 2, 1, 1};
constexpr CallSignature visibility_edge_array_signature{
    "visibility_edge_array", nullptr, {"time_series", "skip_adjacent", "threads"}, 2, 1, 1};
constexpr CallSignature horizontal_visibility_edge_array_signature{
    "horizontal_visibility_edge_array", nullptr, {"time_series", "skip_adjacent", "threads"}, 2, 1, 1};

ArrayBlock degree_array(const Series& v, bool skip_adjacent, VisibilityRule rule,
                        std::size_t threads) {
    return count_block(visibility_degrees(v, skip_adjacent, rule, threads));
}

ArrayBlock edge_array(const Series& v, bool skip_adjacent, VisibilityRule rule,
                      std::size_t threads) {
    if (rule == VisibilityRule::Horizontal) {
        return edge_block(horizontal_visibility_edge_buffer(
            v, skip_adjacent, visibility_cuts(v.size(), threads, rule)));
    }
    return edge_block(visibility_edges(v, skip_adjacent, rule, threads));
}

// Converts with the interpreter held, computes without it on the call's own copy, and
// builds the result with it again.
PyObject* array_entry(const CallSignature& signature, PyObject* args, PyObject* kwargs,
                      VisibilityRule rule,
                      ArrayBlock (*compute)(const Series&, bool, VisibilityRule, std::size_t)) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(slots, parse_arguments(signature, args, kwargs));
        KG_TRY(series, convert_argument("time_series", to_series, slots[0]));
        KG_TRY(skip_adjacent, to_flag("skip_adjacent", slots[1]));
        KG_TRY(threads, to_threads(slots[2]));
        KG_TRY(block, without_interpreter([&] {
                   ArrayBlock computed = compute(series, skip_adjacent, rule, threads);
                   Series().swap(series);  // freed before the result is wrapped
                   return computed;
               }));
        return wrap_array(std::move(block));
    });
}

PyObject* visibility_degrees_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return array_entry(visibility_degrees_signature, args, kwargs, VisibilityRule::Natural,
                       degree_array);
}

PyObject* horizontal_visibility_degrees_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return array_entry(horizontal_visibility_degrees_signature, args, kwargs,
                       VisibilityRule::Horizontal, degree_array);
}

PyObject* visibility_edge_array_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return array_entry(visibility_edge_array_signature, args, kwargs, VisibilityRule::Natural,
                       edge_array);
}

PyObject* horizontal_visibility_edge_array_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return array_entry(horizontal_visibility_edge_array_signature, args, kwargs,
                       VisibilityRule::Horizontal, edge_array);
}

constexpr int call_flags = METH_VARARGS | METH_KEYWORDS;

#define KG_THREADS_DOC                                                                        \
    "threads: how many threads build the result (an int >= 1); None, the default, uses " \
    "every core for long series and one thread otherwise. The result is the same for "   \
    "every value."

// Added after the eleven original names, in this order.
PyMethodDef array_function_definitions[] = {
    {"visibility_degrees", as_cfunction(visibility_degrees_entry), call_flags,
     "visibility_degrees(time_series, skip_adjacent=None, *, threads=None)\n--\n\n"
     "Degree of every sample in the natural visibility graph of the series, as an (n,) "
     "int64 GraphArray, computed without storing edges (O(n) memory) and without holding "
     "the interpreter lock. Equal to build_visibility_graph(...).degrees_array(). "
     KG_THREADS_DOC},
    {"horizontal_visibility_degrees", as_cfunction(horizontal_visibility_degrees_entry),
     call_flags,
     "horizontal_visibility_degrees(time_series, skip_adjacent=None, *, threads=None)\n--\n\n"
     "Degree of every sample in the horizontal visibility graph of the series, as an (n,) "
     "int64 GraphArray, computed in O(n) memory without holding the interpreter lock. "
     KG_THREADS_DOC},
    {"visibility_edge_array", as_cfunction(visibility_edge_array_entry), call_flags,
     "visibility_edge_array(time_series, skip_adjacent=None, *, threads=None)\n--\n\n"
     "Edges of the natural visibility graph as an (m, 2) int64 GraphArray in ascending "
     "(low, high) order, the order of build_visibility_graph(...).edges, computed without "
     "holding the interpreter lock. " KG_THREADS_DOC},
    {"horizontal_visibility_edge_array", as_cfunction(horizontal_visibility_edge_array_entry),
     call_flags,
     "horizontal_visibility_edge_array(time_series, skip_adjacent=None, *, threads=None)\n--\n\n"
     "Edges of the horizontal visibility graph as an (m, 2) int64 GraphArray in ascending "
     "(low, high) order, computed without holding the interpreter lock. " KG_THREADS_DOC},
};

// Handed to the interpreter and pointed into by the function objects: never freed.
PyMethodDef function_definitions[] = {
    {"build_visibility_graph", as_cfunction(build_visibility_graph_entry), call_flags,
     "build_visibility_graph(time_series, skip_adjacent=None)\n--\n\n"},
    {"build_horizontal_visibility_graph", as_cfunction(build_horizontal_visibility_graph_entry),
     call_flags, "build_horizontal_visibility_graph(time_series, skip_adjacent=None)\n--\n\n"},
    {"indices_are_visible", as_cfunction(indices_are_visible_entry), call_flags,
     "indices_are_visible(time_series, i, j)\n--\n\n"},
    {"indices_are_horizontally_visible", as_cfunction(indices_are_horizontally_visible_entry),
     call_flags, "indices_are_horizontally_visible(time_series, i, j)\n--\n\n"},
    {"subseries_between", as_cfunction(subseries_between_entry), call_flags,
     "subseries_between(time_series, i, j)\n--\n\n"},
    {"build_subgraph_between", as_cfunction(build_subgraph_between_entry), call_flags,
     "build_subgraph_between(time_series, i, j, skip_adjacent=None)\n--\n\n"},
    {"build_horizontal_subgraph_between", as_cfunction(build_horizontal_subgraph_between_entry),
     call_flags, "build_horizontal_subgraph_between(time_series, i, j, skip_adjacent=None)\n--\n\n"},
    {"segment_is_visible", as_cfunction(segment_is_visible_entry), call_flags,
     "segment_is_visible(p1, p2, obstacles)\n--\n\n"},
    {"horizontal_window_motif_scores", as_cfunction(horizontal_window_motif_scores_entry),
     call_flags,
     "horizontal_window_motif_scores(time_series, window_size, skip_adjacent=None)\n--\n\n"},
};

// Appends the name to the module's __all__ (created on first use) and sets the attribute.
Status add(PyObject* module, PyObject* name, PyObject* value) {
    ref all = ref::steal(PyObject_GetAttr(module, interned_all()));
    if (!all) {
        CallError error = fetch_error();
        auto* fetched = std::get_if<Fetched>(&error.payload);
        if (fetched == nullptr ||
            !PyErr_GivenExceptionMatches(fetched->type.get(), PyExc_AttributeError)) {
            return error;
        }
        all = ref::steal(checked(PyList_New(0)));
        if (PyObject_SetAttr(module, interned_all(), all.get()) < 0) {
            return fetch_error();
        }
    }
    if (!PyList_Check(all.get())) {
        return CallError::kind_mismatch(all.get(), "PyList");
    }
    if (PyList_Append(all.get(), name) < 0) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
        PyErr_Print();
        fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name, value) < 0) {
        return fetch_error();
    }
    return success();
}

Status register_class(PyObject* module, GraphClass which) {
    KG_TRY(type, graph_type_for_startup(which));
    ref name = ref::steal(checked(PyUnicode_FromString(graph_class_name(which))));
    return add(module, name.get(), type);
}

Status register_function(PyObject* module, PyMethodDef* definition) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) {
        return fetch_error();
    }
    ref module_name_object = ref::steal(checked(PyUnicode_FromString(module_name)));
    ref function = ref::steal(PyCMethod_New(definition, module, module_name_object.get(), nullptr));
    if (!function) {
        return fetch_error();
    }
    ref name = ref::steal(PyObject_GetAttr(function.get(), interned_name()));
    if (!name) {
        return fetch_error();
    }
    if (!PyUnicode_Check(name.get())) {
        return CallError::kind_mismatch(name.get(), "PyString");
    }
    return add(module, name.get(), function.get());
}

// Sets a private function on the module, leaving __all__ as it is.
Status register_private_function(PyObject* module, PyMethodDef* definition) {
    ref module_name = ref::steal(PyObject_GetAttr(module, interned_name()));
    if (!module_name) {
        return fetch_error();
    }
    ref function = ref::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
    if (!function) {
        return fetch_error();
    }
    if (PyObject_SetAttrString(module, definition->ml_name, function.get()) < 0) {
        return fetch_error();
    }
    return success();
}

Result<ref> start_up() {
    if (module_cell != nullptr) {
        return CallError::message(PyExc_ImportError,
                                  "Quorvex modules compiled for CPython 3.8 or older may only be "
                                  "initialized once per interpreter process");
    }
    // First, so that every later failure, a fault included, can be reported.
    KG_CHECK(create_panic_type());
    // 3 is the stable-ABI API version.
    ref module = ref::steal(PyModule_Create2(&module_definition, 3));
    if (!module) {
        return fetch_error();
    }
    // A failure releases the new module with `module`; the cell stays empty.
    KG_CHECK(register_class(module.get(), GraphClass::Visibility));
    KG_CHECK(register_class(module.get(), GraphClass::HorizontalVisibility));
    for (PyMethodDef& definition : function_definitions) {
        KG_CHECK(register_function(module.get(), &definition));
    }
    KG_TRY(array_type, array_type_for_startup());
    ref array_name = ref::steal(checked(PyUnicode_FromString("GraphArray")));
    KG_CHECK(add(module.get(), array_name.get(), array_type));
    for (PyMethodDef& definition : array_function_definitions) {
        KG_CHECK(register_function(module.get(), &definition));
    }
    for (PyMethodDef& definition : variant_function_definitions()) {
        KG_CHECK(register_function(module.get(), &definition));
    }
    for (PyMethodDef& definition : text_function_definitions()) {
        KG_CHECK(register_private_function(module.get(), &definition));
    }
    module_cell = ref::borrow(module.get()).release();  // kept for the process
    return module;
}

}  // namespace

}  // namespace kestrel

PyMODINIT_FUNC PyInit_kestrel_grid(void) {
    return kestrel::call_frame([] { return kestrel::start_up(); });
}
