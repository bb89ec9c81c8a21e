// Module start-up, registration and the nine module functions. Every entry is a
// short trampoline into the call frame.
#include <array>
#include <deque>
#include <new>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/visibility.hpp"
#include "binding/graph_classes.hpp"
#include "binding/arguments.hpp"
#include "binding/arrays.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "binding/interpreter.hpp"
#include "binding/measure_functions.hpp"
#include "binding/stream_classes.hpp"
#include "binding/text_functions.hpp"
#include "binding/variant_functions.hpp"
#include "binding/texts.hpp"

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

// The optional parameters of every function here default to None.
constexpr std::array<const char*, max_parameters> kNoneAfter1{nullptr, "None"};
constexpr std::array<const char*, max_parameters> kNoneAfter1AndThreads{nullptr, "None", "None"};
constexpr std::array<const char*, max_parameters> kNoneAfter2{nullptr, nullptr, "None"};
constexpr std::array<const char*, max_parameters> kNoneAfter3{nullptr, nullptr, nullptr, "None"};

constexpr CallSignature build_visibility_graph_signature{
    "build_visibility_graph", nullptr, {"time_series", "skip_adjacent"}, 2, 1, 0, kNoneAfter1};
constexpr CallSignature build_horizontal_visibility_graph_signature{
    "build_horizontal_visibility_graph", nullptr, {"time_series", "skip_adjacent"}, 2, 1, 0,
    kNoneAfter1};
constexpr CallSignature indices_are_visible_signature{
    "indices_are_visible", nullptr, {"time_series", "i", "j"}, 3, 3};
constexpr CallSignature indices_are_horizontally_visible_signature{
    "indices_are_horizontally_visible", nullptr, {"time_series", "i", "j"}, 3, 3};
constexpr CallSignature subseries_between_signature{
    "subseries_between", nullptr, {"time_series", "i", "j"}, 3, 3};
constexpr CallSignature build_subgraph_between_signature{
    "build_subgraph_between", nullptr, {"time_series", "i", "j", "skip_adjacent"}, 4, 3, 0,
    kNoneAfter3};
constexpr CallSignature build_horizontal_subgraph_between_signature{
    "build_horizontal_subgraph_between", nullptr, {"time_series", "i", "j", "skip_adjacent"}, 4, 3,
    0, kNoneAfter3};
constexpr CallSignature segment_is_visible_signature{
    "segment_is_visible", nullptr, {"p1", "p2", "obstacles"}, 3, 3};
constexpr CallSignature horizontal_window_motif_scores_signature{
    "horizontal_window_motif_scores", nullptr, {"time_series", "window_size", "skip_adjacent"}, 3, 2,
    0, kNoneAfter2};

CallError index_error() {
    return CallError::message(PyExc_IndexError, texts::index_out_of_bounds);
}

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
                                          ? texts::zero_window
                                          : texts::window_too_large);
        }
        return from_int64_list(std::get<std::vector<std::int64_t>>(scores));
    });
}

constexpr CallSignature visibility_degrees_signature{
    "visibility_degrees", nullptr, {"time_series", "skip_adjacent", "threads"}, 2, 1, 1,
    kNoneAfter1AndThreads};
constexpr CallSignature horizontal_visibility_degrees_signature{
    "horizontal_visibility_degrees", nullptr, {"time_series", "skip_adjacent", "threads"}, 2, 1, 1,
    kNoneAfter1AndThreads};
constexpr CallSignature visibility_edge_array_signature{
    "visibility_edge_array", nullptr, {"time_series", "skip_adjacent", "threads"}, 2, 1, 1,
    kNoneAfter1AndThreads};
constexpr CallSignature horizontal_visibility_edge_array_signature{
    "horizontal_visibility_edge_array", nullptr, {"time_series", "skip_adjacent", "threads"}, 2, 1,
    1, kNoneAfter1AndThreads};

ArrayBlock degree_array(const Series& v, bool skip_adjacent, VisibilityRule rule,
                        std::size_t threads) {
    return count_block(visibility_degrees(v, skip_adjacent, rule, threads));
}

ArrayBlock edge_array(const Series& v, bool skip_adjacent, VisibilityRule rule,
                      std::size_t threads) {
    return edge_block(visibility_edge_buffer(v, skip_adjacent, rule, threads));
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

// The nine original functions, then the array functions added after them, in the order
// of the module's __all__.
constexpr ModuleFunction module_functions[] = {
    {&build_visibility_graph_signature, build_visibility_graph_entry, ""},
    {&build_horizontal_visibility_graph_signature, build_horizontal_visibility_graph_entry, ""},
    {&indices_are_visible_signature, indices_are_visible_entry, ""},
    {&indices_are_horizontally_visible_signature, indices_are_horizontally_visible_entry, ""},
    {&subseries_between_signature, subseries_between_entry, ""},
    {&build_subgraph_between_signature, build_subgraph_between_entry, ""},
    {&build_horizontal_subgraph_between_signature, build_horizontal_subgraph_between_entry, ""},
    {&segment_is_visible_signature, segment_is_visible_entry, ""},
    {&horizontal_window_motif_scores_signature, horizontal_window_motif_scores_entry, ""},
};

#define KG_THREADS_DOC                                                                        \
    "threads: how many threads build the result (an int >= 1); None, the default, uses " \
    "every core for long series and one thread otherwise. The result is the same for "   \
    "every value."

constexpr ModuleFunction array_functions[] = {
    {&visibility_degrees_signature, visibility_degrees_entry,
     "Degree of every sample in the natural visibility graph of the series, as an (n,) "
     "int64 GraphArray, computed without storing edges (O(n) memory) and without holding "
     "the interpreter lock. Equal to build_visibility_graph(...).degrees_array(). "
     KG_THREADS_DOC},
    {&horizontal_visibility_degrees_signature, horizontal_visibility_degrees_entry,
     "Degree of every sample in the horizontal visibility graph of the series, as an (n,) "
     "int64 GraphArray, computed in O(n) memory without holding the interpreter lock. "
     KG_THREADS_DOC},
    {&visibility_edge_array_signature, visibility_edge_array_entry,
     "Edges of the natural visibility graph as an (m, 2) int64 GraphArray in ascending "
     "(low, high) order, the order of build_visibility_graph(...).edges, computed without "
     "holding the interpreter lock. " KG_THREADS_DOC},
    {&horizontal_visibility_edge_array_signature, horizontal_visibility_edge_array_entry,
     "Edges of the horizontal visibility graph as an (m, 2) int64 GraphArray in ascending "
     "(low, high) order, computed without holding the interpreter lock. " KG_THREADS_DOC},
};

// The names start-up sets on the module, in order; __all__ is made from them once, at the
// end, so a failed start-up leaves no partial list behind.
using ExportNames = std::vector<const char*>;

Status add(PyObject* module, ExportNames& names, const char* name, PyObject* value) {
    if (PyObject_SetAttrString(module, name, value) < 0) {
        return fetch_error();
    }
    names.push_back(name);
    return success();
}

Status register_class(PyObject* module, ExportNames& names, GraphClass which) {
    KG_TRY(type, graph_type_for_startup(which));
    return add(module, names, graph_class_name(which), type);
}

// A row's method definition and the docstring it points to: the signature line, then the
// row's text.
struct MethodDefinition {
    const ModuleFunction* row;
    std::string doc;
    PyMethodDef method;
};

// The method definition of a row, made on its first registration. Function objects point
// at their definition for as long as they live, and the module keeps them for the process,
// so the definitions sit in static storage that is never destroyed (not even by the static
// destructors at exit) and stays reachable. The deque keeps each one where it was made
// while others are added; a start-up that failed and is tried again finds the rows it
// already made, so nothing grows with retries.
PyMethodDef& method_definition(const ModuleFunction& row) {
    using Definitions = std::deque<MethodDefinition>;
    alignas(Definitions) static unsigned char storage[sizeof(Definitions)];
    static Definitions& made = *new (storage) Definitions();
    for (MethodDefinition& definition : made) {
        if (definition.row == &row) {
            return definition.method;
        }
    }
    const CallSignature& signature = *row.signature;
    MethodDefinition& definition = made.emplace_back(
        MethodDefinition{&row, text_signature(signature) + row.doc, PyMethodDef{}});
    definition.method = PyMethodDef{signature.name, as_cfunction(row.entry),
                                    METH_VARARGS | METH_KEYWORDS, definition.doc.c_str()};
    return definition.method;
}

// Makes the function object of a row.
Status register_function(PyObject* module, ExportNames& names, const ModuleFunction& row) {
    const CallSignature& signature = *row.signature;
    PyMethodDef* definition = &method_definition(row);
    ref module_name = ref::steal(PyObject_GetAttr(module, interned_name()));
    if (!module_name) {
        return fetch_error();
    }
    ref function = ref::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
    if (!function) {
        return fetch_error();
    }
    if (!row.listed) {
        // A private helper of the tools package: an attribute, not an export.
        ExportNames unlisted;
        return add(module, unlisted, signature.name, function.get());
    }
    return add(module, names, signature.name, function.get());
}

Status register_functions(PyObject* module, ExportNames& names,
                          std::span<const ModuleFunction> rows) {
    for (const ModuleFunction& row : rows) {
        KG_CHECK(register_function(module, names, row));
    }
    return success();
}

Status set_all(PyObject* module, const ExportNames& names) {
    ref all = ref::steal(checked(PyList_New(static_cast<Py_ssize_t>(names.size()))));
    for (std::size_t k = 0; k < names.size(); ++k) {
        PyObject* name = checked(PyUnicode_FromString(names[k]));
        PyList_SetItem(all.get(), static_cast<Py_ssize_t>(k), name);  // steals
    }
    if (PyObject_SetAttr(module, interned_all(), all.get()) < 0) {
        return fetch_error();
    }
    return success();
}

Result<ref> start_up() {
    if (module_cell != nullptr) {
        return CallError::message(PyExc_ImportError,
                                  texts::second_start_up);
    }
    // First, so that every later failure, a fault included, can be reported.
    KG_CHECK(create_panic_type());
    // 3 is the stable-ABI API version.
    ref module = ref::steal(PyModule_Create2(&module_definition, 3));
    if (!module) {
        return fetch_error();
    }
    // A failure releases the new module with `module`; the cell stays empty.
    ExportNames names;
    KG_CHECK(register_class(module.get(), names, GraphClass::Visibility));
    KG_CHECK(register_class(module.get(), names, GraphClass::HorizontalVisibility));
    KG_CHECK(register_functions(module.get(), names, module_functions));
    KG_TRY(array_type, array_type_for_startup());
    KG_CHECK(add(module.get(), names, "GraphArray", array_type));
    KG_CHECK(register_functions(module.get(), names, array_functions));
    KG_CHECK(register_functions(module.get(), names, variant_functions()));
    KG_CHECK(register_functions(module.get(), names, text_functions()));
    KG_CHECK(register_functions(module.get(), names, measure_functions()));
    // Private types of the tools' HorizontalStream: attributes, not exports.
    ExportNames unlisted;
    KG_TRY(update_type, stream_update_type_for_startup());
    KG_CHECK(add(module.get(), unlisted, "_StreamUpdate", update_type));
    KG_TRY(stream_type, horizontal_stream_type_for_startup());
    KG_CHECK(add(module.get(), unlisted, "_HorizontalStreamState", stream_type));
    KG_CHECK(set_all(module.get(), names));
    module_cell = ref::borrow(module.get()).release();  // kept for the process
    return module;
}

}  // namespace

}  // namespace kestrel

PyMODINIT_FUNC PyInit_kestrel_grid(void) {
    return kestrel::call_frame([] { return kestrel::start_up(); });
}
