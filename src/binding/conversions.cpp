#include "binding/conversions.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

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

// Reads any non-str sequence in one pass over its iterator, converting each item.
template <class T, class ConvertItem>
Result<std::vector<T>> to_vector(PyObject* object, ConvertItem convert_item) {
    // A str passes the sequence test, so it is refused first.
    if (PyUnicode_Check(object)) {
        return CallError::message(PyExc_TypeError, "Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(object)) {
        return CallError::kind_mismatch(object, "Sequence");
    }
    Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        (void)fetch_error();  // a failing __len__ only loses the hint
        hint = 0;
    }
    if (static_cast<std::size_t>(hint) > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) {
        fault("capacity overflow");
    }
    std::vector<T> values;
    try {
        values.reserve(static_cast<std::size_t>(hint));
    } catch (const std::bad_alloc&) {
        // A hint beyond memory reserves nothing; the vector grows from what the
        // iteration actually yields.
    } catch (const std::length_error&) {
    }
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

Result<Series> to_series(PyObject* object) { return to_vector<double>(object, to_float); }

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

ref from_index(std::size_t value) {
    return ref::steal(checked(PyLong_FromUnsignedLongLong(value)));
}

ref from_float_list(const std::vector<double>& values) {
    return build_list(values.size(), [&](std::size_t k) { return new_float(values[k]); });
}

ref from_point_list(const std::vector<Vertex>& points) {
    return build_list(points.size(), [&](std::size_t k) {
        return pair_tuple(new_float(points[k].x), new_float(points[k].y));
    });
}

ref from_index_pair_list(const std::vector<Edge>& pairs) {
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
