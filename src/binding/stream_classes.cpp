#include "binding/stream_classes.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/arrays.hpp"
#include "binding/conversions.hpp"
#include "core/horizontal_stream.hpp"

namespace kestrel {

namespace {

constexpr std::uint64_t kConstructed = 0x6b6773747265616dULL;
constexpr const char* kFields[4] = {"edges", "positions", "degrees", "settled"};

// --- the update ---------------------------------------------------------------------------

struct UpdateObject {
    PyObject_HEAD
    // What the call found, until every array has been made from it; NULL for an update
    // made from Python, which holds its arrays from the start.
    std::shared_ptr<HorizontalStreamUpdate>* found;
    PyObject* arrays[4];
};

PyObject* update_type = nullptr;  // created at start-up, kept for the process
PyObject* state_type = nullptr;

// numpy's asarray and frombuffer, imported when an update's arrays are first read.
Result<PyObject*> numpy_function(const char* name) {
    static PyObject* functions[2] = {nullptr, nullptr};
    const int slot = std::strcmp(name, "asarray") == 0 ? 0 : 1;
    if (functions[slot] == nullptr) {
        ref numpy = ref::steal(PyImport_ImportModule("numpy"));
        if (!numpy) return fetch_error();
        PyObject* function = PyObject_GetAttrString(numpy.get(), name);
        if (function == nullptr) return fetch_error();
        functions[slot] = function;  // kept for the process
    }
    return functions[slot];
}

// The values as an int64 numpy array over their own storage, which `owner` keeps alive.
Result<ref> int64_array(const std::vector<std::int64_t>& values, std::size_t columns,
                        std::shared_ptr<const void> owner) {
    static const std::int64_t no_rows[2] = {0, 0};  // never a NULL address
    ArrayBlock block;
    block.kind = ArrayBlock::Kind::int64;
    block.columns = columns;
    block.rows = columns ? values.size() / columns : values.size();
    block.storage = SharedStorage{std::move(owner), values.empty() ? no_rows : values.data()};
    ref array = wrap_array(std::move(block));
    KG_TRY(asarray, numpy_function("asarray"));
    ref made = ref::steal(PyObject_CallFunctionObjArgs(asarray, array.get(), nullptr));
    if (!made) return fetch_error();
    return made;
}

Result<ref> bool_array(const std::vector<std::uint8_t>& values) {
    ref bytes = ref::steal(checked(PyByteArray_FromStringAndSize(
        reinterpret_cast<const char*>(values.data()), static_cast<Py_ssize_t>(values.size()))));
    KG_TRY(frombuffer, numpy_function("frombuffer"));
    ref dtype = ref::steal(checked(PyUnicode_FromString("?")));
    ref made = ref::steal(
        PyObject_CallFunctionObjArgs(frombuffer, bytes.get(), dtype.get(), nullptr));
    if (!made) return fetch_error();
    return made;
}

Result<UpdateObject*> checked_update(PyObject* self) {
    auto* object = reinterpret_cast<UpdateObject*>(self);
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(update_type))) {
        return CallError::message(PyExc_TypeError, "not a stream update");
    }
    return object;
}

PyObject* field_entry(PyObject* self, void* closure) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(object, checked_update(self));
        const auto field = reinterpret_cast<std::uintptr_t>(closure);
        if (object->arrays[field] == nullptr) {
            if (object->found == nullptr) {
                return CallError::message(PyExc_AttributeError, "the update has no arrays");
            }
            const std::shared_ptr<HorizontalStreamUpdate>& found = *object->found;
            Result<ref> made = field == 0   ? int64_array(found->edges, 2, found)
                               : field == 1 ? int64_array(found->positions, 0, found)
                               : field == 2 ? int64_array(found->degrees, 0, found)
                                            : bool_array(found->settled);
            if (!made.ok()) return std::move(made).error();
            object->arrays[field] = std::move(made).value().release();
        }
        return ref::borrow(object->arrays[field]);
    });
}

constexpr CallSignature update_new_signature{
    "__new__", "StreamUpdate", {"edges", "positions", "degrees", "settled"}, 4, 4};

PyObject* update_new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(slots, parse_arguments(update_new_signature, args, kwargs));
        KG_TRY(object, allocate_instance(type));
        auto* update = reinterpret_cast<UpdateObject*>(object.get());
        for (int k = 0; k < 4; ++k) update->arrays[k] = ref::borrow(slots[k]).release();
        return object;
    });
}

void update_dealloc_entry(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* object = reinterpret_cast<UpdateObject*>(self);
    delete object->found;
    for (PyObject*& array : object->arrays) Py_CLEAR(array);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);  // heap-type instances hold a reference to their type
}

PyObject* update_repr_entry(PyObject* self) {
    return call_frame([&]() -> Result<ref> {
        std::string text = "StreamUpdate(";
        for (int k = 0; k < 4; ++k) {
            ref value = ref::steal(PyObject_GetAttrString(self, kFields[k]));
            if (!value) return fetch_error();
            ref shown = ref::steal(PyObject_Repr(value.get()));
            if (!shown) return fetch_error();
            ref utf8 = ref::steal(PyUnicode_AsUTF8String(shown.get()));
            if (!utf8) return fetch_error();
            text += std::string(k ? ", " : "") + kFields[k] + "=" + PyBytes_AsString(utf8.get());
        }
        text += ")";
        return ref::steal(checked(PyUnicode_FromString(text.c_str())));
    });
}

PyObject* create_update_type() {
    static PyGetSetDef getset[] = {
        {"edges", field_entry, nullptr,
         "The new edges as (low, high) rows of whole-stream positions in ascending order, "
         "as the whole-series builders give them; every high is a sample of this call.",
         reinterpret_cast<void*>(std::uintptr_t{0})},
        {"positions", field_entry, nullptr,
         "The samples (ascending) whose degree changed or became final in this call.",
         reinterpret_cast<void*>(std::uintptr_t{1})},
        {"degrees", field_entry, nullptr, "Their degree now.",
         reinterpret_cast<void*>(std::uintptr_t{2})},
        {"settled", field_entry, nullptr,
         "Which of them can gain no further edge, whatever is appended later.",
         reinterpret_cast<void*>(std::uintptr_t{3})},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_doc, const_cast<char*>(
                        "What one call of a stream added to the graph: edges, positions, "
                        "degrees and settled, made as numpy arrays when first read.")},
        {Py_tp_new, reinterpret_cast<void*>(update_new_entry)},
        {Py_tp_dealloc, reinterpret_cast<void*>(update_dealloc_entry)},
        {Py_tp_repr, reinterpret_cast<void*>(update_repr_entry)},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "kestrel_grid._StreamUpdate",
        static_cast<int>(sizeof(UpdateObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
        slots,
    };
    return PyType_FromSpec(&spec);
}

// --- the state ----------------------------------------------------------------------------

// Every call runs with the interpreter lock held and calls no Python code while it
// changes the stream (arguments are converted first), so calls on one state never
// interleave: the lock is the stream's mutex.
struct StateObject {
    PyObject_HEAD
    HorizontalStream* stream;
    PyObject* made;  // the update type instantiated: _StreamUpdate or a subclass
    std::uint64_t constructed;
};

Result<StateObject*> checked_state(PyObject* self) {
    auto* object = reinterpret_cast<StateObject*>(self);
    if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(state_type) ||
        object->constructed != kConstructed) {
        return CallError::message(PyExc_TypeError,
                                  "_HorizontalStreamState object was not created by the module");
    }
    return object;
}

constexpr CallSignature state_new_signature{
    "__new__", "_HorizontalStreamState", {"skip_adjacent", "update_type"}, 2, 0, 0,
    {"False", "None"}};

PyObject* state_new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(slots, parse_arguments(state_new_signature, args, kwargs));
        KG_TRY(skip, convert_argument(
                         "skip_adjacent",
                         [](PyObject* o) { return to_flag("skip_adjacent", o); }, slots[0]));
        PyObject* made = slots[1] == nullptr || slots[1] == Py_None ? update_type : slots[1];
        if (!PyType_Check(made) ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(made),
                              reinterpret_cast<PyTypeObject*>(update_type))) {
            return CallError::message(PyExc_TypeError,
                                      "update_type must be a subclass of _StreamUpdate");
        }
        if (reinterpret_cast<PyTypeObject*>(type) != reinterpret_cast<PyTypeObject*>(state_type)) {
            return CallError::message(PyExc_TypeError, "_HorizontalStreamState is not subclassable");
        }
        auto stream = std::make_unique<HorizontalStream>(skip);
        KG_TRY(object, allocate_instance(type));
        auto* state = reinterpret_cast<StateObject*>(object.get());
        state->stream = stream.release();
        state->made = ref::borrow(made).release();
        state->constructed = kConstructed;
        return object;
    });
}

void state_dealloc_entry(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* object = reinterpret_cast<StateObject*>(self);
    if (object->constructed == kConstructed) {
        delete object->stream;
        Py_CLEAR(object->made);
    }
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

// Runs one join into a new update object; the stream is unchanged when anything fails.
template <class Join>
Result<ref> joined(StateObject* state, Join&& join) {
    auto found = std::make_unique<std::shared_ptr<HorizontalStreamUpdate>>(
        std::make_shared<HorizontalStreamUpdate>());
    KG_TRY(object, allocate_instance(reinterpret_cast<PyTypeObject*>(state->made)));
    try {
        join(*state->stream, **found);
    } catch (const std::invalid_argument& error) {
        return CallError::message(PyExc_ValueError, std::string(error.what()));
    }
    reinterpret_cast<UpdateObject*>(object.get())->found = found.release();
    return object;
}

PyObject* append_entry(PyObject* self, PyObject* value) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(state, checked_state(self));
        KG_TRY(sample, to_float(value));
        return joined(state, [&](HorizontalStream& stream, HorizontalStreamUpdate& out) {
            stream.append(sample, true, out);
        });
    });
}

constexpr CallSignature extend_signature{
    "extend", "_HorizontalStreamState", {"values", "edges"}, 1, 1, 1, {nullptr, "True"}};

PyObject* extend_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(state, checked_state(self));
        KG_TRY(slots, parse_arguments(extend_signature, args, kwargs));
        KG_TRY(values, convert_argument("values", to_series, slots[0]));
        bool listing = true;
        if (slots[1] != nullptr) {
            KG_TRY(flag, convert_argument("edges", [](PyObject* o) { return to_flag("edges", o); },
                                          slots[1]));
            listing = flag;
        }
        return joined(state, [&](HorizontalStream& stream, HorizontalStreamUpdate& out) {
            stream.extend(values, {}, listing, false, out);
        });
    });
}

constexpr CallSignature join_signature{
    "join_outward", "_HorizontalStreamState", {"values", "positions"}, 2, 2};

// Samples standing for a stretch of a longer series at the given positions (int64 in
// native byte order, as bytes): only the pairs from earlier samples to them are listed.
PyObject* join_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(state, checked_state(self));
        KG_TRY(slots, parse_arguments(join_signature, args, kwargs));
        KG_TRY(values, convert_argument("values", to_series, slots[0]));
        if (!PyBytes_Check(slots[1])) {
            return CallError::message(PyExc_TypeError, "positions must be bytes of int64");
        }
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(slots[1], &data, &size) < 0) return fetch_error();
        if (size % 8 != 0) {
            return CallError::message(PyExc_ValueError, "positions must be bytes of int64");
        }
        std::vector<std::int64_t> positions(static_cast<std::size_t>(size) / 8);
        if (size) std::memcpy(positions.data(), data, static_cast<std::size_t>(size));
        if (positions.size() != values.size()) {
            return CallError::message(PyExc_ValueError, "one position per sample");
        }
        return joined(state, [&](HorizontalStream& stream, HorizontalStreamUpdate& out) {
            if (!values.empty()) stream.extend(values, positions, true, true, out);
        });
    });
}

PyObject* pending_entry(PyObject* self, PyObject*) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(state, checked_state(self));
        auto held = std::make_shared<std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>>>();
        state->stream->pending(held->first, held->second);
        KG_TRY(where, int64_array(held->first, 0, held));
        KG_TRY(degree, int64_array(held->second, 0, held));
        std::vector<ref> items;
        items.push_back(std::move(where));
        items.push_back(std::move(degree));
        return tuple_of(std::move(items));
    });
}

PyObject* getstate_entry(PyObject* self, PyObject*) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(state, checked_state(self));
        const std::string bytes = state->stream->serialise();
        return ref::steal(checked(
            PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()))));
    });
}

PyObject* setstate_entry(PyObject* self, PyObject* bytes) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(state, checked_state(self));
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (!PyBytes_Check(bytes) || PyBytes_AsStringAndSize(bytes, &data, &size) < 0) {
            PyErr_Clear();
            return CallError::message(PyExc_TypeError, "the state of a stream is bytes");
        }
        std::unique_ptr<HorizontalStream> restored;
        try {
            restored = std::make_unique<HorizontalStream>(
                HorizontalStream::restore(std::string_view(data, static_cast<std::size_t>(size))));
        } catch (const std::invalid_argument& error) {
            return CallError::message(PyExc_ValueError, std::string(error.what()));
        }
        delete std::exchange(state->stream, restored.release());
        return ref::borrow(Py_None);
    });
}

PyObject* reduce_entry(PyObject* self, PyObject*) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(state, checked_state(self));
        ref bytes = ref::steal(getstate_entry(self, nullptr));
        if (!bytes) return fetch_error();
        ref arguments = ref::steal(checked(Py_BuildValue(
            "(OO)", state->stream->skip_adjacent() ? Py_True : Py_False, state->made)));
        return ref::steal(checked(
            Py_BuildValue("(OOO)", state_type, arguments.get(), bytes.get())));
    });
}

Py_ssize_t length_entry(PyObject* self) {
    auto* object = reinterpret_cast<StateObject*>(self);
    if (object->constructed != kConstructed) {
        PyErr_SetString(PyExc_TypeError, "_HorizontalStreamState object was not created by the module");
        return -1;
    }
    return static_cast<Py_ssize_t>(object->stream->length());
}

PyObject* skip_entry(PyObject* self, void*) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(state, checked_state(self));
        return from_bool(state->stream->skip_adjacent());
    });
}

PyObject* pending_count_entry(PyObject* self, void*) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(state, checked_state(self));
        return from_index(state->stream->pending_count());
    });
}

PyObject* create_state_type() {
    static PyMethodDef methods[] = {
        {"append", as_cfunction(append_entry), METH_O,
         "append($self, value, /)\n--\n\nJoins one sample; returns the update."},
        {"extend", as_cfunction(extend_entry), METH_VARARGS | METH_KEYWORDS,
         "extend($self, values, *, edges=True)\n--\n\n"
         "Joins the samples of a sequence in order; edges=False counts degrees only."},
        {"join_outward", as_cfunction(join_entry), METH_VARARGS | METH_KEYWORDS,
         "join_outward($self, values, positions)\n--\n\n"
         "Joins samples at the given int64 positions (bytes), listing only the pairs "
         "from earlier samples to them."},
        {"pending", as_cfunction(pending_entry), METH_NOARGS,
         "pending($self)\n--\n\nPositions and degrees of the pending samples, ascending."},
        {"__getstate__", as_cfunction(getstate_entry), METH_NOARGS,
         "__getstate__($self)\n--\n\nThe state as bytes."},
        {"__setstate__", as_cfunction(setstate_entry), METH_O,
         "__setstate__($self, state, /)\n--\n\nRestores the state from bytes."},
        {"__reduce__", as_cfunction(reduce_entry), METH_NOARGS, "__reduce__($self)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"skip_adjacent", skip_entry, nullptr, "Whether pairs of neighbours are left out.",
         nullptr},
        {"pending_count", pending_count_entry, nullptr,
         "How many samples later samples may still see.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_doc, const_cast<char*>(
                        "The state of a horizontal visibility stream: the records and NaN "
                        "samples with their degrees, appended to one sample or piece at a time.")},
        {Py_tp_new, reinterpret_cast<void*>(state_new_entry)},
        {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc_entry)},
        {Py_sq_length, reinterpret_cast<void*>(length_entry)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "kestrel_grid._HorizontalStreamState",
        static_cast<int>(sizeof(StateObject)),
        0,
        Py_TPFLAGS_DEFAULT,
        slots,
    };
    return PyType_FromSpec(&spec);
}

}  // namespace

Result<PyObject*> stream_update_type_for_startup() {
    if (update_type == nullptr) {
        update_type = create_update_type();
        if (update_type == nullptr) return fetch_error();
    }
    return update_type;
}

Result<PyObject*> horizontal_stream_type_for_startup() {
    if (state_type == nullptr) {
        state_type = create_state_type();
        if (state_type == nullptr) return fetch_error();
    }
    return state_type;
}

}  // namespace kestrel
