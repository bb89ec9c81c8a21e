#include "binding/graph_classes.hpp"

#include <cstdint>
#include <new>
#include <string>

#include "binding/arguments.hpp"
#include "binding/arrays.hpp"
#include "binding/conversions.hpp"
#include "binding/texts.hpp"

namespace kestrel {

namespace {

// The horizontal class holds its own record and forwards every operation to it.
struct HorizontalVisibilityGraph {
    VisibilityGraph graph;
};

VisibilityGraph& record_of(VisibilityGraph& graph) { return graph; }
VisibilityGraph& record_of(HorizontalVisibilityGraph& wrapper) { return wrapper.graph; }

// Instance layout: object header, then the record, then the access counter.
template <class Payload>
struct GraphObject {
    PyObject_HEAD
    Payload payload;
    TimeAxis axis;  // fixed at construction; edits keep the x unit
    // 0: idle; n > 0: n read-only calls under way; -1: one modifying call under way.
    std::int64_t borrow_state;
    // kConstructed once the payload was constructed. An instance made without the
    // class's own __new__ (after `del VisibilityGraph.__new__`, the types being
    // mutable) comes zero-filled from tp_alloc: it is refused by every method and its
    // payload is never destroyed.
    std::uint64_t constructed;
};

constexpr std::uint64_t kConstructed = 0x6b657374726c6772;

template <class Payload>
struct ClassInfo;

#define KG_GRAPH_SIGNATURES(CLASS)                                                 \
    static constexpr CallSignature new_signature{"__new__", CLASS, {}, 0, 0};        \
    static constexpr CallSignature add_vertex_signature{"add_vertex", CLASS, {"x", "y"}, 2, 2}; \
    static constexpr CallSignature add_edge_signature{"add_edge", CLASS, {"v1", "v2"}, 2, 2};   \
    static constexpr CallSignature remove_vertex_signature{"remove_vertex", CLASS, {"index"}, 1, 1}; \
    static constexpr CallSignature remove_edge_signature{"remove_edge", CLASS, {"v1", "v2"}, 2, 2}

template <>
struct ClassInfo<VisibilityGraph> {
    static constexpr GraphClass which = GraphClass::Visibility;
    static constexpr const char* name = "VisibilityGraph";
    static constexpr const char* full_name = "builtins.VisibilityGraph";
    static constexpr const char* doc =
        "VisibilityGraph()\n--\n\nVisibility graph with vertices and undirected edges.";
    KG_GRAPH_SIGNATURES("VisibilityGraph");
    static inline PyObject* type = nullptr;  // created once, kept for the process
};

template <>
struct ClassInfo<HorizontalVisibilityGraph> {
    static constexpr GraphClass which = GraphClass::HorizontalVisibility;
    static constexpr const char* name = "HorizontalVisibilityGraph";
    static constexpr const char* full_name = "builtins.HorizontalVisibilityGraph";
    static constexpr const char* doc =
        "HorizontalVisibilityGraph()\n--\n\n"
        "Horizontal visibility graph wrapper that reuses the core graph structure.";
    KG_GRAPH_SIGNATURES("HorizontalVisibilityGraph");
    static inline PyObject* type = nullptr;
};

#undef KG_GRAPH_SIGNATURES

// Refuses re-entry: a modifying call needs the instance idle, and sets -1 for its
// duration. The destructor restores the earlier state on every path.
class ExclusiveAccess {
public:
    static Result<ExclusiveAccess> take(std::int64_t& state) {
        if (state != 0) {
            return CallError::message(PyExc_RuntimeError, texts::already_borrowed);
        }
        state = -1;
        return ExclusiveAccess(&state);
    }
    ExclusiveAccess(ExclusiveAccess&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    ExclusiveAccess& operator=(ExclusiveAccess&&) = delete;
    ~ExclusiveAccess() {
        if (state_ != nullptr) *state_ = 0;
    }

private:
    explicit ExclusiveAccess(std::int64_t* state) : state_(state) {}
    std::int64_t* state_;
};

// Read-only calls may overlap one another but not a modifying call.
class SharedAccess {
public:
    static Result<SharedAccess> take(std::int64_t& state) {
        if (state == -1) {
            return CallError::message(PyExc_RuntimeError, texts::already_mutably_borrowed);
        }
        ++state;
        return SharedAccess(&state);
    }
    SharedAccess(SharedAccess&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    SharedAccess& operator=(SharedAccess&&) = delete;
    ~SharedAccess() {
        if (state_ != nullptr) --*state_;
    }

private:
    explicit SharedAccess(std::int64_t* state) : state_(state) {}
    std::int64_t* state_;
};

template <class Payload>
PyObject* new_entry(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);
template <class Payload>
void dealloc_entry(PyObject* self);
template <class Payload>
PyObject* add_vertex_entry(PyObject* self, PyObject* args, PyObject* kwargs);
template <class Payload>
PyObject* add_edge_entry(PyObject* self, PyObject* args, PyObject* kwargs);
template <class Payload>
PyObject* remove_vertex_entry(PyObject* self, PyObject* args, PyObject* kwargs);
template <class Payload>
PyObject* remove_edge_entry(PyObject* self, PyObject* args, PyObject* kwargs);
template <class Payload>
PyObject* node_count_entry(PyObject* self, PyObject* unused);
template <class Payload>
PyObject* edge_count_entry(PyObject* self, PyObject* unused);
template <class Payload>
PyObject* vertices_entry(PyObject* self, void* closure);
template <class Payload>
PyObject* edges_entry(PyObject* self, void* closure);
template <class Payload>
PyObject* edges_array_entry(PyObject* self, PyObject* unused);
template <class Payload>
PyObject* vertices_array_entry(PyObject* self, PyObject* unused);
template <class Payload>
PyObject* degrees_array_entry(PyObject* self, PyObject* unused);
template <class Payload>
PyObject* axis_entry(PyObject* self, void* closure);

// Creates the type from its spec; NULL with the interpreter's error pending on failure.
template <class Payload>
PyObject* create_type() {
    static PyMethodDef methods[] = {
        {"add_vertex", as_cfunction(add_vertex_entry<Payload>), METH_VARARGS | METH_KEYWORDS,
         "add_vertex($self, x, y)\n--\n\n"},
        {"add_edge", as_cfunction(add_edge_entry<Payload>), METH_VARARGS | METH_KEYWORDS,
         "add_edge($self, v1, v2)\n--\n\n"},
        {"remove_vertex", as_cfunction(remove_vertex_entry<Payload>), METH_VARARGS | METH_KEYWORDS,
         "remove_vertex($self, index)\n--\n\n"},
        {"remove_edge", as_cfunction(remove_edge_entry<Payload>), METH_VARARGS | METH_KEYWORDS,
         "remove_edge($self, v1, v2)\n--\n\n"},
        {"node_count", as_cfunction(node_count_entry<Payload>), METH_NOARGS,
         "node_count($self)\n--\n\n"},
        {"edge_count", as_cfunction(edge_count_entry<Payload>), METH_NOARGS,
         "edge_count($self)\n--\n\n"},
        {"edges_array", as_cfunction(edges_array_entry<Payload>), METH_NOARGS,
         "edges_array($self)\n--\n\n"
         "The edges as an (m, 2) int64 GraphArray in the graph's edge order, sharing the "
         "graph's storage: read-only, never changed by later edits of the graph (an edit "
         "copies the storage first). numpy.asarray wraps it without copying."},
        {"vertices_array", as_cfunction(vertices_array_entry<Payload>), METH_NOARGS,
         "vertices_array($self)\n--\n\n"
         "The vertices as an (n, 2) float64 GraphArray of (x, y) rows, bit for bit, sharing "
         "the graph's storage like edges_array: read-only, never changed by later edits."},
        {"degrees_array", as_cfunction(degrees_array_entry<Payload>), METH_NOARGS,
         "degrees_array($self)\n--\n\n"
         "The degree of every vertex as an (n,) int64 GraphArray, counted from the edges."},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"vertices", vertices_entry<Payload>, nullptr, "", nullptr},
        {"edges", edges_entry<Payload>, nullptr, "", nullptr},
        {"x_unit", axis_entry<Payload>, nullptr,
         "For a graph built from times as positions, the unit its vertices' x count: "
         "\"D\", \"h\", \"m\", \"s\", \"ms\", \"us\" or \"ns\"; None otherwise.",
         nullptr},
        {"x_origin", axis_entry<Payload>, nullptr,
         "For a graph built from times as positions, the time at x = 0 as numpy writes it "
         "(ISO 8601 for dates); "
         "None otherwise.",
         const_cast<char*>("origin")},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_doc, const_cast<char*>(ClassInfo<Payload>::doc)},
        {Py_tp_new, reinterpret_cast<void*>(new_entry<Payload>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_entry<Payload>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        ClassInfo<Payload>::full_name,
        static_cast<int>(sizeof(GraphObject<Payload>)),
        0,
        Py_TPFLAGS_DEFAULT,
        slots,
    };
    return PyType_FromSpec(&spec);
}

// The type object at start-up; failure is wrapped for the import to report.
template <class Payload>
Result<PyObject*> startup_type() {
    using Info = ClassInfo<Payload>;
    if (Info::type == nullptr) {
        PyObject* created = create_type<Payload>();
        if (created == nullptr) {
            CallError cause = fetch_error();
            CallError error = CallError::message(
                PyExc_RuntimeError, std::string("An error occurred while initializing class ") + Info::name);
            if (auto* fetched = std::get_if<Fetched>(&cause.payload)) {
                PyObject* type = fetched->type.release();
                PyObject* value = fetched->value.release();
                PyObject* traceback = fetched->traceback.release();
                PyErr_NormalizeException(&type, &value, &traceback);
                Py_XDECREF(type);
                Py_XDECREF(traceback);
                error.cause = ref::steal(value);
            }
            return error;
        }
        Info::type = created;
    }
    return Info::type;
}

// The type object after start-up; a failure to create it is printed and becomes an
// internal fault.
template <class Payload>
PyTypeObject* type_or_fault() {
    Result<PyObject*> type = startup_type<Payload>();
    if (!type.ok()) {
        raise_error(std::move(type).error());
        PyErr_Print();
        fault(std::string("failed to create type object for ") + ClassInfo<Payload>::name);
    }
    return reinterpret_cast<PyTypeObject*>(type.value());
}

template <class Payload>
Result<GraphObject<Payload>*> checked_self(PyObject* self) {
    PyTypeObject* type = type_or_fault<Payload>();
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
        return CallError::kind_mismatch(self, ClassInfo<Payload>::name);
    }
    auto* object = reinterpret_cast<GraphObject<Payload>*>(self);
    if (object->constructed != kConstructed) {
        return CallError::message(PyExc_TypeError,
                                  std::string(ClassInfo<Payload>::name) +
                                      " object was not created by its constructor");
    }
    return object;
}

// Allocates an instance of `type` and moves the payload into it.
template <class Payload>
Result<ref> allocate(PyTypeObject* type, Payload&& payload, TimeAxis&& axis) {
    KG_TRY(object, allocate_instance(type));
    auto* graph = reinterpret_cast<GraphObject<Payload>*>(object.get());
    // Placement-new; moving the record and the strings cannot throw, so the instance
    // is never left with an unconstructed payload.
    new (&graph->payload) Payload(std::move(payload));
    new (&graph->axis) TimeAxis(std::move(axis));
    graph->borrow_state = 0;
    graph->constructed = kConstructed;
    return object;
}

template <class Payload>
PyObject* new_entry(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(slots, parse_arguments(ClassInfo<Payload>::new_signature, args, kwargs));
        (void)slots;
        return allocate<Payload>(subtype, Payload{}, TimeAxis{});
    });
}

template <class Payload>
void dealloc_entry(PyObject* self) {
    call_frame_void([&] {
        PyTypeObject* type = Py_TYPE(self);
        auto* object = reinterpret_cast<GraphObject<Payload>*>(self);
        if (object->constructed == kConstructed) {
            object->payload.~Payload();  // explicit: both were placement-new'd
            object->axis.~TimeAxis();
        }
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_slot(self);
        Py_DECREF(type);  // heap-type instances hold a reference to their type
    });
}

// The shared shape of the four modifying methods: bind, check self, take exclusive
// access, then convert and run `operation` on the record.
template <class Payload, class Operation>
PyObject* modifying_call(const CallSignature& signature, PyObject* self, PyObject* args,
                         PyObject* kwargs, Operation operation) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(slots, parse_arguments(signature, args, kwargs));
        KG_TRY(object, checked_self<Payload>(self));
        KG_TRY(access, ExclusiveAccess::take(object->borrow_state));
        (void)access;
        return operation(record_of(object->payload), slots);
    });
}

template <class Payload, class Operation>
PyObject* read_only_call(PyObject* self, Operation operation) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(object, checked_self<Payload>(self));
        KG_TRY(access, SharedAccess::take(object->borrow_state));
        (void)access;
        // The record cannot change while shared access is held, so results are built
        // straight from it rather than from a copy.
        return operation(static_cast<const VisibilityGraph&>(record_of(object->payload)));
    });
}

CallError vertex_index_error() {
    return CallError::message(PyExc_IndexError, texts::vertex_index_out_of_bounds);
}

template <class Payload>
PyObject* add_vertex_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return modifying_call<Payload>(
        ClassInfo<Payload>::add_vertex_signature, self, args, kwargs,
        [](VisibilityGraph& graph, const ArgumentSlots& slots) -> Result<ref> {
            KG_TRY(x, convert_argument("x", to_float, slots[0]));
            KG_TRY(y, convert_argument("y", to_float, slots[1]));
            return from_index(graph.add_vertex(x, y));
        });
}

template <class Payload>
PyObject* add_edge_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return modifying_call<Payload>(
        ClassInfo<Payload>::add_edge_signature, self, args, kwargs,
        [](VisibilityGraph& graph, const ArgumentSlots& slots) -> Result<ref> {
            KG_TRY(v1, convert_argument("v1", to_index, slots[0]));
            KG_TRY(v2, convert_argument("v2", to_index, slots[1]));
            if (graph.add_edge(v1, v2) != GraphStatus::ok) {
                return vertex_index_error();
            }
            return ref::borrow(Py_None);
        });
}

template <class Payload>
PyObject* remove_vertex_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return modifying_call<Payload>(
        ClassInfo<Payload>::remove_vertex_signature, self, args, kwargs,
        [](VisibilityGraph& graph, const ArgumentSlots& slots) -> Result<ref> {
            KG_TRY(index, convert_argument("index", to_index, slots[0]));
            if (graph.remove_vertex(index) != GraphStatus::ok) {
                return vertex_index_error();
            }
            return ref::borrow(Py_None);
        });
}

template <class Payload>
PyObject* remove_edge_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return modifying_call<Payload>(
        ClassInfo<Payload>::remove_edge_signature, self, args, kwargs,
        [](VisibilityGraph& graph, const ArgumentSlots& slots) -> Result<ref> {
            KG_TRY(v1, convert_argument("v1", to_index, slots[0]));
            KG_TRY(v2, convert_argument("v2", to_index, slots[1]));
            return from_bool(graph.remove_edge(v1, v2));
        });
}

template <class Payload>
PyObject* node_count_entry(PyObject* self, PyObject*) {
    return read_only_call<Payload>(self, [](const VisibilityGraph& graph) -> Result<ref> {
        return from_index(graph.node_count());
    });
}

template <class Payload>
PyObject* edge_count_entry(PyObject* self, PyObject*) {
    return read_only_call<Payload>(self, [](const VisibilityGraph& graph) -> Result<ref> {
        return from_index(graph.edge_count());
    });
}

template <class Payload>
PyObject* vertices_entry(PyObject* self, void*) {
    return read_only_call<Payload>(self, [](const VisibilityGraph& graph) -> Result<ref> {
        return from_point_list(graph.vertices());
    });
}

template <class Payload>
PyObject* edges_entry(PyObject* self, void*) {
    return read_only_call<Payload>(self, [](const VisibilityGraph& graph) -> Result<ref> {
        return from_index_pair_list(graph.edges());
    });
}

// The edge and vertex exports hold the record's own storage (no copy) and are read-only;
// the record copies that storage before its next edit while an export holds it, so an
// export never changes and outlives its graph.
template <class Payload>
PyObject* edges_array_entry(PyObject* self, PyObject*) {
    return read_only_call<Payload>(self, [](const VisibilityGraph& graph) -> Result<ref> {
        return wrap_array(edge_block(graph.edge_rows()));
    });
}

template <class Payload>
PyObject* vertices_array_entry(PyObject* self, PyObject*) {
    return read_only_call<Payload>(self, [](const VisibilityGraph& graph) -> Result<ref> {
        return wrap_array(vertex_block(graph.vertex_rows()));
    });
}

template <class Payload>
PyObject* degrees_array_entry(PyObject* self, PyObject*) {
    return read_only_call<Payload>(self, [](const VisibilityGraph& graph) -> Result<ref> {
        return wrap_array(count_block(degrees_of(graph)));
    });
}

// The unit and origin of times as positions: None for plain positions.
template <class Payload>
PyObject* axis_entry(PyObject* self, void* closure) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(object, checked_self<Payload>(self));
        const std::string& text = closure != nullptr ? object->axis.origin : object->axis.unit;
        if (object->axis.unit.empty()) return ref::borrow(Py_None);
        ref result = ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!result) return fetch_error();
        return result;
    });
}

template <class Payload>
ref wrap_as(Payload&& payload, TimeAxis&& axis) {
    Result<ref> object = allocate<Payload>(type_or_fault<Payload>(), std::move(payload), std::move(axis));
    if (!object.ok()) {
        // The record is released with `payload`'s owner. Running out of memory stays a
        // MemoryError; anything else is an internal fault.
        CallError& error = object.error();
        if (error.type == PyExc_MemoryError) {
            throw std::bad_alloc();
        }
        raise_error(std::move(error));
        PyErr_Print();
        fault("Python API call failed");
    }
    return std::move(object).value();
}

}  // namespace

const char* graph_class_name(GraphClass which) {
    return which == GraphClass::Visibility ? ClassInfo<VisibilityGraph>::name
                                           : ClassInfo<HorizontalVisibilityGraph>::name;
}

Result<PyObject*> graph_type_for_startup(GraphClass which) {
    return which == GraphClass::Visibility ? startup_type<VisibilityGraph>()
                                           : startup_type<HorizontalVisibilityGraph>();
}

ref wrap_graph(VisibilityGraph&& record, GraphClass which, TimeAxis axis) {
    if (which == GraphClass::Visibility) {
        return wrap_as<VisibilityGraph>(std::move(record), std::move(axis));
    }
    return wrap_as<HorizontalVisibilityGraph>(HorizontalVisibilityGraph{std::move(record)},
                                              std::move(axis));
}

}  // namespace kestrel
