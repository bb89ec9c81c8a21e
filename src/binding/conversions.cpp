#include "binding/conversions.hpp"
#include "binding/texts.hpp"

#include "core/memory.hpp"
#include "core/parallel.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace kestrel {

Result<double> to_float(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    // -1.0 is both a value and the failure signal; only a pending error decides.
    if (value == -1.0 && PyErr_Occurred()) {
        return fetch_error();
    }
    return value;
}

Result<std::size_t> to_index(PyObject* object) {
    ref index = ref::steal(PyNumber_Index(object));
    if (!index) {
        return fetch_error();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return fetch_error();
    }
    return static_cast<std::size_t>(value);
}

Result<std::optional<bool>> to_optional_bool(PyObject* object) {
    if (object == nullptr || object == Py_None) {
        return std::optional<bool>{};
    }
    if (Py_TYPE(object) == &PyBool_Type) {
        return std::optional<bool>{object == Py_True};
    }
    return CallError::kind_mismatch(object, "PyBool");
}

namespace {
PyObject* numpy_type(PyObject*& cell, const char* name);
}  // namespace

bool is_numpy_bool(PyObject* object) {
    static PyObject* cell = nullptr;
    // numpy.bool_ names the scalar type on every numpy (numpy.bool since 2.0).
    PyObject* type = numpy_type(cell, "bool_");
    return type != nullptr && Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(type);
}

Result<std::optional<bool>> to_optional_flag(PyObject* object) {
    if (object != nullptr && is_numpy_bool(object)) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) return fetch_error();
        return std::optional<bool>{truth == 1};
    }
    return to_optional_bool(object);
}

Result<std::size_t> to_threads(PyObject* object) {
    if (object == nullptr || object == Py_None) return kAutoThreads;
    // numpy.bool has __index__ on some numpy versions only: refused on all of them.
    const bool numpy_bool = is_numpy_bool(object);
    if (PyBool_Check(object) || numpy_bool || !PyIndex_Check(object)) {
        ref name = numpy_bool ? ref::steal(checked(PyUnicode_FromString("numpy.bool")))
                              : type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(object)));
        ref text = ref::steal(PyUnicode_FromFormat("threads must be None or an int, not %U", name.get()));
        if (!text) return fetch_error();
        return CallError::object(PyExc_TypeError, std::move(text));
    }
    ref index = ref::steal(PyNumber_Index(object));
    if (!index) return fetch_error();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return fetch_error();
    if (overflow < 0 || (overflow == 0 && value < 1)) {
        ref text = ref::steal(PyUnicode_FromFormat("threads must be >= 1, not %S", index.get()));
        if (!text) return fetch_error();
        return CallError::object(PyExc_ValueError, std::move(text));
    }
    if (overflow > 0) return kMaxThreads;
    return std::min(static_cast<std::size_t>(value), kMaxThreads);
}

Result<bool> to_flag(const char* parameter, PyObject* object) {
    Result<std::optional<bool>> flag = to_optional_flag(object);
    if (!flag.ok()) return wrap_argument_error(parameter, std::move(flag).error());
    return flag.value().value_or(false);
}

namespace {

// Reserves room for `hint` values when memory allows. A hint beyond memory reserves
// nothing; the vector then grows from what the items actually yield.
template <class T>
void reserve_hint(std::vector<T>& values, Py_ssize_t hint) {
    try {
        values.reserve(static_cast<std::size_t>(hint));
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
}

// Reads any non-str sequence in one pass over its iterator, converting each item.
template <class T, class ConvertItem>
Result<std::vector<T>> to_vector(PyObject* object, ConvertItem convert_item) {
    // A str passes the sequence test, so it is refused first.
    if (PyUnicode_Check(object)) {
        return CallError::message(PyExc_TypeError, texts::str_as_sequence);
    }
    if (!PySequence_Check(object)) {
        return CallError::kind_mismatch(object, "Sequence");
    }
    Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        // An Exception from __len__ only loses the hint. KeyboardInterrupt, SystemExit and
        // the like are not "no length": they stop the call.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return fetch_error();
        (void)fetch_error();
        hint = 0;
    }
    if (static_cast<std::size_t>(hint) > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) {
        fault("capacity overflow");
    }
    std::vector<T> values;
    reserve_hint(values, hint);
    ref iterator = ref::steal(PyObject_GetIter(object));
    if (!iterator) {
        return fetch_error();
    }
    while (true) {
        ref item = ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                return fetch_error();
            }
            break;
        }
        KG_TRY(value, convert_item(item.get()));
        values.push_back(value);
    }
    return values;
}

// A 2-tuple test shared by points and segments.
Status check_pair(PyObject* object) {
    if (!PyTuple_Check(object)) {
        return CallError::kind_mismatch(object, "PyTuple");
    }
    const Py_ssize_t length = PyTuple_Size(object);
    if (length != 2) {
        return CallError::tuple_length(length);
    }
    return success();
}

Result<Segment> to_segment(PyObject* object) {
    KG_CHECK(check_pair(object));
    KG_TRY(first, to_point(PyTuple_GetItem(object, 0)));
    KG_TRY(second, to_point(PyTuple_GetItem(object, 1)));
    return Segment{first, second};
}

// A list of exactly `size` items, each made by make(k), filled in order.
template <class MakeItem>
ref build_list(std::size_t size, MakeItem make_item) {
    ref list = ref::steal(checked(PyList_New(static_cast<Py_ssize_t>(size))));
    for (std::size_t k = 0; k < size; ++k) {
        // PyList_SetItem steals the new item, also on failure.
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), make_item(k).release());
    }
    return list;
}

ref pair_tuple(ref first, ref second) {
    ref tuple = ref::steal(checked(PyTuple_New(2)));
    PyTuple_SetItem(tuple.get(), 0, first.release());  // steals
    PyTuple_SetItem(tuple.get(), 1, second.release());
    return tuple;
}

ref new_float(double value) { return ref::steal(checked(PyFloat_FromDouble(value))); }

}  // namespace

namespace {

// Exact list or tuple: the items in order, each through the same float conversion as
// the general path, without an iterator object. The size is read again at every step,
// as the list iterator does, so a __float__ that grows or shrinks the list is seen the
// same way; each item is held while its __float__ runs.
template <bool IsList>
Result<Series> series_from_items(PyObject* object) {
    auto size = [&] { return IsList ? PyList_Size(object) : PyTuple_Size(object); };
    Series values;
    reserve_hint(values, size());
    for (Py_ssize_t k = 0; k < size(); ++k) {
        ref item = ref::borrow(IsList ? PyList_GetItem(object, k) : PyTuple_GetItem(object, k));
        KG_TRY(value, to_float(item.get()));
        values.push_back(value);
    }
    return values;
}

// A type of numpy's, if numpy is imported: found through the module's dict, so looking it
// up runs no Python code. Kept for the process in `cell` once found.
PyObject* numpy_type(PyObject*& cell, const char* name) {
    if (cell != nullptr) return cell;
    ref module_name = ref::steal(PyUnicode_FromString("numpy"));
    if (!module_name) {
        PyErr_Clear();
        return nullptr;
    }
    ref numpy = ref::steal(PyImport_GetModule(module_name.get()));
    if (!numpy) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* dict = PyModule_Check(numpy.get()) ? PyModule_GetDict(numpy.get()) : nullptr;  // borrowed
    PyObject* type = dict != nullptr ? PyDict_GetItemString(dict, name) : nullptr;            // borrowed
    if (type != nullptr && PyType_Check(type)) {
        cell = ref::borrow(type).release();  // kept for the process
    }
    return cell;
}

PyObject* ndarray_type() {
    static PyObject* cell = nullptr;
    return numpy_type(cell, "ndarray");
}

// One element type that an array may hold, read as the general path would read it:
// iterating yields numpy scalars whose float conversion is the C conversion to double.
enum class ElementKind { none, f64, f32, i8, i16, i32, i64, u8, u16, u32, u64, boolean };

ElementKind element_kind(const std::string& typestr) {
    if (typestr.size() < 3) return ElementKind::none;
    const char order = typestr[0];
    const bool native = order == '|' || order == '=' ||
                        order == (std::endian::native == std::endian::little ? '<' : '>');
    if (!native) return ElementKind::none;
    const std::string code = typestr.substr(1);
    if (code == "f8") return ElementKind::f64;
    if (code == "f4") return ElementKind::f32;
    if (code == "i1") return ElementKind::i8;
    if (code == "i2") return ElementKind::i16;
    if (code == "i4") return ElementKind::i32;
    if (code == "i8") return ElementKind::i64;
    if (code == "u1") return ElementKind::u8;
    if (code == "u2") return ElementKind::u16;
    if (code == "u4") return ElementKind::u32;
    if (code == "u8") return ElementKind::u64;
    if (code == "b1") return ElementKind::boolean;
    return ElementKind::none;  // float16, complex, objects, dates, strings: general path
}

template <class T>
double read_as_double(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof(T));  // any alignment
    return static_cast<double>(value);
}

// An exact numpy.ndarray of one dimension and a native numeric type, copied straight from
// its memory; nullopt when the array is anything else (the caller then takes the general
// path, which runs no code of the array's own either). float64 is copied bit for bit.
std::optional<Series> series_from_array(PyObject* object) {
    ref interface = ref::steal(PyObject_GetAttrString(object, "__array_interface__"));
    if (!interface || !PyDict_Check(interface.get())) {
        PyErr_Clear();
        return std::nullopt;
    }
    PyObject* shape = PyDict_GetItemString(interface.get(), "shape");  // all borrowed
    PyObject* typestr = PyDict_GetItemString(interface.get(), "typestr");
    PyObject* data = PyDict_GetItemString(interface.get(), "data");
    PyObject* strides = PyDict_GetItemString(interface.get(), "strides");
    if (shape == nullptr || !PyTuple_Check(shape) || PyTuple_Size(shape) != 1 ||
        typestr == nullptr || !PyUnicode_Check(typestr) || data == nullptr ||
        !PyTuple_Check(data) || PyTuple_Size(data) < 1) {
        return std::nullopt;
    }
    const Py_ssize_t length = PyLong_AsSsize_t(PyTuple_GetItem(shape, 0));
    ref code_bytes = ref::steal(PyUnicode_AsUTF8String(typestr));
    const char* code = code_bytes ? PyBytes_AsString(code_bytes.get()) : nullptr;
    void* address = PyLong_AsVoidPtr(PyTuple_GetItem(data, 0));
    if (length < 0 || code == nullptr || PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    const ElementKind kind = element_kind(code);
    if (kind == ElementKind::none) return std::nullopt;
    const Py_ssize_t itemsize = std::atoi(code + 2);
    Py_ssize_t stride = itemsize;
    if (strides != nullptr && strides != Py_None) {
        if (!PyTuple_Check(strides) || PyTuple_Size(strides) != 1) return std::nullopt;
        stride = PyLong_AsSsize_t(PyTuple_GetItem(strides, 0));
        if (stride == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return std::nullopt;
        }
    }
    if (length > 0 && address == nullptr) return std::nullopt;
    const char* base = static_cast<const char*>(address);
    if (kind == ElementKind::f64 && stride == static_cast<Py_ssize_t>(sizeof(double))) {
        // Contiguous float64: one pass over fresh memory, bits unchanged.
        const auto* first = reinterpret_cast<const double*>(base);
        Series values;
        reserve_large(values, static_cast<std::size_t>(length));  // may throw bad_alloc
        values.assign(first, first + length);
        return values;
    }
    Series values;
    reserve_large(values, static_cast<std::size_t>(length));
    values.resize(static_cast<std::size_t>(length));
    for (Py_ssize_t k = 0; k < length; ++k) {
        const char* at = base + k * stride;
        double value;
        switch (kind) {
            case ElementKind::f64: std::memcpy(&value, at, sizeof value); break;
            case ElementKind::f32: value = read_as_double<float>(at); break;
            case ElementKind::i8: value = read_as_double<std::int8_t>(at); break;
            case ElementKind::i16: value = read_as_double<std::int16_t>(at); break;
            case ElementKind::i32: value = read_as_double<std::int32_t>(at); break;
            case ElementKind::i64: value = read_as_double<std::int64_t>(at); break;
            case ElementKind::u8: value = read_as_double<std::uint8_t>(at); break;
            case ElementKind::u16: value = read_as_double<std::uint16_t>(at); break;
            case ElementKind::u32: value = read_as_double<std::uint32_t>(at); break;
            case ElementKind::u64: value = read_as_double<std::uint64_t>(at); break;
            case ElementKind::boolean: value = *at != 0 ? 1.0 : 0.0; break;
            default: return std::nullopt;
        }
        values[static_cast<std::size_t>(k)] = value;
    }
    return values;
}

}  // namespace

Result<Series> to_series(PyObject* object) {
    // Fast paths only for exact types, where the general path would run no Python code
    // of the object's own: they give the same values and the same errors.
    if (PyList_CheckExact(object)) return series_from_items<true>(object);
    if (PyTuple_CheckExact(object)) return series_from_items<false>(object);
    if (PyObject* ndarray = ndarray_type(); ndarray != nullptr &&
                                            Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(ndarray)) {
        if (std::optional<Series> values = series_from_array(object)) return std::move(*values);
    }
    return to_vector<double>(object, to_float);
}

Result<Point> to_point(PyObject* object) {
    KG_CHECK(check_pair(object));
    KG_TRY(x, to_float(PyTuple_GetItem(object, 0)));
    KG_TRY(y, to_float(PyTuple_GetItem(object, 1)));
    return Point{x, y};
}

Result<std::vector<Segment>> to_segment_list(PyObject* object) {
    return to_vector<Segment>(object, to_segment);
}

ref from_bool(bool value) { return ref::borrow(value ? Py_True : Py_False); }

ref tuple_of(std::vector<ref>&& items) {
    ref tuple = ref::steal(checked(PyTuple_New(static_cast<Py_ssize_t>(items.size()))));
    for (std::size_t k = 0; k < items.size(); ++k) {
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(k), items[k].release());  // steals
    }
    return tuple;
}

ref from_index(std::size_t value) {
    return ref::steal(checked(PyLong_FromUnsignedLongLong(value)));
}

ref from_float_list(const std::vector<double>& values) {
    return build_list(values.size(), [&](std::size_t k) { return new_float(values[k]); });
}

ref from_point_list(std::span<const Vertex> points) {
    return build_list(points.size(), [&](std::size_t k) {
        return pair_tuple(new_float(points[k].x), new_float(points[k].y));
    });
}

ref from_index_pair_list(std::span<const Edge> pairs) {
    // One int object per vertex index, made on first use and shared by every tuple that
    // names it: each edge then costs one new tuple instead of a tuple and two ints.
    std::size_t bound = 0;
    for (const Edge& e : pairs) bound = std::max(bound, e.high + 1);
    std::vector<ref> ints(bound);
    auto index_object = [&](std::size_t index) {
        if (!ints[index]) ints[index] = from_index(index);
        return ref::borrow(ints[index].get());
    };
    return build_list(pairs.size(), [&](std::size_t k) {
        return pair_tuple(index_object(pairs[k].low), index_object(pairs[k].high));
    });
}

ref from_int64_list(const std::vector<std::int64_t>& values) {
    return build_list(values.size(), [&](std::size_t k) {
        return ref::steal(checked(PyLong_FromLongLong(values[k])));
    });
}

}  // namespace kestrel
