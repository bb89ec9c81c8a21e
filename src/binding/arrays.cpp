#include "binding/arrays.hpp"

#include <bit>
#include <cstring>
#include <new>
#include <string>

#include "binding/arguments.hpp"
#include "binding/conversions.hpp"
#include "core/memory.hpp"
#include "core/visibility.hpp"

namespace kestrel {

namespace {

struct ArrayObject {
    PyObject_HEAD
    ArrayBlock block;
    // kConstructed once `block` was placement-new'd; an instance made any other way
    // (tp_alloc zero-fills) is refused and never destroyed.
    std::uint64_t constructed;
};

constexpr std::uint64_t kConstructed = 0x6b67617272617921;
constexpr const char* kTypeName = "GraphArray";

PyObject* array_type = nullptr;  // created at start-up, kept for the process

constexpr CallSignature new_signature{"__new__", kTypeName, {}, 0, 0};

Result<ArrayObject*> checked_self(PyObject* self) {
    auto* object = reinterpret_cast<ArrayObject*>(self);
    if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(array_type) ||
        object->constructed != kConstructed) {
        return CallError::message(PyExc_TypeError, "GraphArray object was not created by the module");
    }
    return object;
}

const char* typestr_of(const ArrayBlock& block) {
    constexpr bool little = std::endian::native == std::endian::little;
    if (block.kind == ArrayBlock::Kind::int64) return little ? "<i8" : ">i8";
    return little ? "<f8" : ">f8";
}

ref shape_of(const ArrayBlock& block) {
    if (block.columns == 0) {
        return ref::steal(checked(Py_BuildValue("(n)", static_cast<Py_ssize_t>(block.rows))));
    }
    return ref::steal(checked(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(block.rows),
                                            static_cast<Py_ssize_t>(block.columns))));
}

void set_item(PyObject* dict, const char* key, ref value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) {
        (void)checked(nullptr);  // only memory can fail here: MemoryError or a fault
    }
}

PyObject* new_entry(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(slots, parse_arguments(new_signature, args, kwargs));
        (void)slots;
        return CallError::message(PyExc_TypeError,
                                  "GraphArray objects are made by the module, not directly");
    });
}

void dealloc_entry(PyObject* self) {
    call_frame_void([&] {
        PyTypeObject* type = Py_TYPE(self);
        auto* object = reinterpret_cast<ArrayObject*>(self);
        if (object->constructed == kConstructed) {
            object->block.~ArrayBlock();  // explicit: it was placement-new'd
        }
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_slot(self);
        Py_DECREF(type);  // heap-type instances hold a reference to their type
    });
}

Py_ssize_t length_entry(PyObject* self) {
    PyObject* result = call_frame([&]() -> Result<ref> {
        KG_TRY(object, checked_self(self));
        return from_index(object->block.rows);
    });
    if (result == nullptr) return -1;
    const Py_ssize_t length = PyLong_AsSsize_t(result);
    Py_DECREF(result);
    return length;
}

PyObject* interface_entry(PyObject* self, void*) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(object, checked_self(self));
        const ArrayBlock& block = object->block;
        ref dict = ref::steal(checked(PyDict_New()));
        set_item(dict.get(), "shape", shape_of(block));
        set_item(dict.get(), "typestr", ref::steal(checked(PyUnicode_FromString(typestr_of(block)))));
        // (address, read-only flag): a buffer of this object's own may be written; rows
        // shared with a graph record are read-only. numpy keeps a reference to this object
        // as the array's base, so the buffer never dangles.
        ref address = ref::steal(checked(PyLong_FromVoidPtr(const_cast<void*>(block.data()))));
        ref data = ref::steal(checked(PyTuple_New(2)));
        PyTuple_SetItem(data.get(), 0, address.release());  // steals
        PyTuple_SetItem(data.get(), 1, ref::borrow(block.read_only ? Py_True : Py_False).release());
        set_item(dict.get(), "data", std::move(data));
        // No "strides" key: absent means C-contiguous, and numpy up to 2.4 leaks one
        // reference to None for every asarray of an interface whose strides is None.
        set_item(dict.get(), "version", ref::steal(checked(PyLong_FromLong(3))));
        return dict;
    });
}

PyObject* shape_entry(PyObject* self, void*) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(object, checked_self(self));
        return shape_of(object->block);
    });
}

PyObject* typestr_entry(PyObject* self, void*) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(object, checked_self(self));
        return ref::steal(checked(PyUnicode_FromString(typestr_of(object->block))));
    });
}

PyObject* tobytes_entry(PyObject* self, PyObject*) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(object, checked_self(self));
        const ArrayBlock& block = object->block;
        const std::size_t count = block.rows * (block.columns == 0 ? 1 : block.columns);
        return ref::steal(checked(PyBytes_FromStringAndSize(
            static_cast<const char*>(block.data()),
            static_cast<Py_ssize_t>(count * sizeof(std::uint64_t)))));
    });
}

PyObject* repr_entry(PyObject* self) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(object, checked_self(self));
        const ArrayBlock& block = object->block;
        const std::string shape = block.columns == 0
                                      ? "(" + std::to_string(block.rows) + ",)"
                                      : "(" + std::to_string(block.rows) + ", " +
                                            std::to_string(block.columns) + ")";
        const std::string text = std::string("GraphArray(shape=") + shape + ", typestr='" +
                                 typestr_of(block) + "')";
        return ref::steal(checked(PyUnicode_FromString(text.c_str())));
    });
}

PyObject* create_type() {
    static PyMethodDef methods[] = {
        {"tobytes", as_cfunction(tobytes_entry), METH_NOARGS,
         "tobytes($self)\n--\n\nThe elements as bytes in native byte order, row by row."},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"__array_interface__", interface_entry, nullptr,
         "The array interface (version 3): numpy.asarray reads the buffer without copying "
         "(read-only for a graph's edge and vertex exports).",
         nullptr},
        {"shape", shape_entry, nullptr, "The shape as a tuple: (rows,) or (rows, columns).", nullptr},
        {"typestr", typestr_entry, nullptr, "The element type: '<i8' (int64) or '<f8' (float64).",
         nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_doc, const_cast<char*>(
                        "A numeric array held by this object: int64 or float64, one or two "
                        "dimensions. numpy.asarray(a) wraps it without copying; len(a) and "
                        "a.tobytes() work without numpy. A graph's edge and vertex exports "
                        "share the graph's storage and are read-only.")},
        {Py_tp_new, reinterpret_cast<void*>(new_entry)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_entry)},
        {Py_tp_repr, reinterpret_cast<void*>(repr_entry)},
        {Py_sq_length, reinterpret_cast<void*>(length_entry)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "kestrel_grid.GraphArray",
        static_cast<int>(sizeof(ArrayObject)),
        0,
        Py_TPFLAGS_DEFAULT,
        slots,
    };
    return PyType_FromSpec(&spec);
}

}  // namespace

// A block that takes over a finished vector of 8-byte elements as its storage.
template <class Element>
ArrayBlock moved_block(std::vector<Element>&& elements, std::size_t columns,
                       ArrayBlock::Kind kind = ArrayBlock::Kind::int64) {
    ArrayBlock block;
    block.kind = kind;
    block.rows = elements.size();
    block.columns = columns;
    if (elements.capacity() == 0) elements.reserve(1);  // never a NULL address
    block.storage = std::move(elements);
    return block;
}

ArrayBlock edge_block(std::vector<Edge>&& edges) {
    // An edge is two 64-bit indices below 2^63, the bits of two int64.
    static_assert(sizeof(Edge) == 2 * sizeof(std::uint64_t));
    return moved_block(std::move(edges), 2);
}

ArrayBlock edge_block(EdgeBuffer&& edges) {
    static_assert(sizeof(Edge) == 2 * sizeof(std::uint64_t));
    ArrayBlock block;
    block.kind = ArrayBlock::Kind::int64;
    block.rows = edges.size;
    block.columns = 2;
    if (!edges.storage) edges = EdgeBuffer::with_room(0);  // never a NULL address
    block.storage = std::move(edges);
    return block;
}

// The record's rows as they are: the block holds their storage, so the rows stay valid
// after the record is edited (it copies first) or destroyed.
template <class Row>
ArrayBlock shared_block(const SharedRows<Row>& rows, ArrayBlock::Kind kind) {
    static_assert(sizeof(Row) == 2 * sizeof(std::uint64_t));
    if (rows.size() == 0) {
        // No storage to share; an empty block of its own is never a NULL address.
        ArrayBlock block = moved_block(std::vector<std::uint64_t>{}, 2, kind);
        block.read_only = true;
        return block;
    }
    ArrayBlock block;
    block.kind = kind;
    block.rows = rows.size();
    block.columns = 2;
    block.read_only = true;
    block.storage = SharedStorage{rows.owner(), rows.data()};
    return block;
}

ArrayBlock edge_block(const SharedRows<Edge>& edges) {
    // An edge is two 64-bit indices below 2^63, the bits of two int64.
    return shared_block(edges, ArrayBlock::Kind::int64);
}

ArrayBlock vertex_block(const SharedRows<Vertex>& vertices) {
    return shared_block(vertices, ArrayBlock::Kind::float64);
}

ArrayBlock count_block(std::vector<std::uint64_t>&& counts) {
    // Counts below 2^63 have the bits of int64: the vector becomes the block as it is.
    return moved_block(std::move(counts), 0);
}

ArrayBlock value_block(std::vector<double>&& values) {
    static_assert(sizeof(double) == sizeof(std::uint64_t));
    return moved_block(std::move(values), 0, ArrayBlock::Kind::float64);
}

std::vector<std::uint64_t> degrees_of(const VisibilityGraph& graph) {
    DegreeCounter counter(graph.node_count());
    for (const Edge& e : graph.edges()) counter(e.low, e.high);
    return std::move(counter.degrees);
}

Result<PyObject*> array_type_for_startup() {
    if (array_type == nullptr) {
        PyObject* created = create_type();
        if (created == nullptr) {
            return fetch_error();
        }
        array_type = created;
    }
    return array_type;
}

ref wrap_array(ArrayBlock&& block) {
    Result<ref> allocated = allocate_instance(reinterpret_cast<PyTypeObject*>(array_type));
    if (!allocated.ok()) {
        raise_error(std::move(allocated).error());
        (void)checked(nullptr);  // MemoryError, or a fault for anything else
    }
    ref object = std::move(allocated).value();
    auto* array = reinterpret_cast<ArrayObject*>(object.get());
    new (&array->block) ArrayBlock(std::move(block));  // a move: cannot throw
    array->constructed = kConstructed;
    return object;
}

}  // namespace kestrel
