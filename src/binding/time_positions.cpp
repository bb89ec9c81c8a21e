#include "binding/time_positions.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/time_offsets.hpp"

namespace kestrel {

namespace {

using Ticks = std::vector<std::int64_t>;

CallError raise_text(PyObject* type, PyObject* text) {
    if (text == nullptr) return fetch_error();
    return CallError::object(type, ref::steal(text));
}

Result<std::string> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    ref bytes = ref::steal(PyUnicode_AsUTF8String(text));
    char* data = nullptr;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return fetch_error();
    return std::string(data, static_cast<std::size_t>(size));
}

Result<std::string> str_of(PyObject* object) {
    ref text = ref::steal(PyObject_Str(object));
    if (!text) return fetch_error();
    return utf8_of(text.get());
}

// getattr(object, name, None): only a missing attribute gives None.
Result<ref> attribute_or_none(PyObject* object, const char* name) {
    ref found = ref::steal(PyObject_GetAttrString(object, name));
    if (found) return found;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fetch_error();
    PyErr_Clear();
    return ref::borrow(Py_None);
}

Result<std::string> type_name(PyObject* object) {
    ref name = ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
    if (!name) return fetch_error();
    return utf8_of(name.get());
}

Result<ref> call_method(PyObject* object, const char* name, const char* argument) {
    ref result = argument == nullptr ? ref::steal(PyObject_CallMethod(object, name, nullptr))
                                     : ref::steal(PyObject_CallMethod(object, name, "s", argument));
    if (!result) return fetch_error();
    return result;
}

Result<bool> is_instance(PyObject* object, PyObject* types) {
    const int found = PyObject_IsInstance(object, types);
    if (found < 0) return fetch_error();
    return found == 1;
}

// A 1-d array's __array_interface__, read: typestr and 8-byte elements. For an array
// that is not contiguous or not in native byte order, a contiguous native copy (made by
// the array's copy() / astype()) is read instead; `holder` keeps the array read.
struct ArrayView {
    ref holder;
    std::string typestr;  // without the byte order: "M8[ns]", "i8", ...
    Py_ssize_t ndim = 0;
    ref shape;
    Ticks ticks;
};

Result<ref> interface_of(PyObject* array) {
    ref interface = ref::steal(PyObject_GetAttrString(array, "__array_interface__"));
    if (!interface) return fetch_error();
    if (!PyDict_Check(interface.get())) {
        return raise_text(PyExc_TypeError, PyUnicode_FromString("__array_interface__ is not a dict"));
    }
    return interface;
}

Result<ArrayView> read_array(ref array) {
    for (int attempt = 0;; ++attempt) {
        KG_TRY(interface, interface_of(array.get()));
        PyObject* shape = PyDict_GetItemString(interface.get(), "shape");  // all borrowed
        PyObject* typestr = PyDict_GetItemString(interface.get(), "typestr");
        PyObject* data = PyDict_GetItemString(interface.get(), "data");
        PyObject* strides = PyDict_GetItemString(interface.get(), "strides");
        if (shape == nullptr || !PyTuple_Check(shape) || typestr == nullptr || !PyUnicode_Check(typestr) ||
            data == nullptr || !PyTuple_Check(data) || PyTuple_Size(data) < 1) {
            return raise_text(PyExc_TypeError, PyUnicode_FromString("unreadable __array_interface__"));
        }
        ArrayView view;
        view.shape = ref::borrow(shape);
        view.ndim = PyTuple_Size(shape);
        KG_TRY(code, utf8_of(typestr));
        if (code.empty()) return raise_text(PyExc_TypeError, PyUnicode_FromString("empty typestr"));
        view.typestr = code.substr(1);
        if (view.ndim != 1) {
            view.holder = std::move(array);
            return view;
        }
        const char order = code[0];
        const bool native = order == '|' || order == '=' ||
                            order == (std::endian::native == std::endian::little ? '<' : '>');
        const bool contiguous = strides == nullptr || strides == Py_None;
        if ((!native || !contiguous) && attempt == 0) {
            // A contiguous array in native order, made by the array itself.
            KG_TRY(copy, native ? call_method(array.get(), "copy", nullptr)
                                : call_method(array.get(), "astype", view.typestr.c_str()));
            array = std::move(copy);
            continue;
        }
        const Py_ssize_t length = PyLong_AsSsize_t(PyTuple_GetItem(shape, 0));
        void* address = PyLong_AsVoidPtr(PyTuple_GetItem(data, 0));
        if (PyErr_Occurred()) return fetch_error();
        if (!native || !contiguous || view.typestr.size() < 2 || view.typestr[1] != '8' || length < 0 ||
            (length > 0 && address == nullptr)) {
            return raise_text(PyExc_TypeError, PyUnicode_FromString("unreadable __array_interface__"));
        }
        view.ticks.resize(static_cast<std::size_t>(length));
        if (length > 0) std::memcpy(view.ticks.data(), address, view.ticks.size() * sizeof(std::int64_t));
        view.holder = std::move(array);
        return view;
    }
}

CallError missing_error(std::size_t index) {
    return raise_text(PyExc_ValueError, PyUnicode_FromFormat("x[%zu] is not a time (NaT)", index));
}

Result<TimePositions> checked_offsets(TimeOffsets&& found) {
    if (found.fault == TimeFault::beyond) {
        const std::string unit(found.unit);
        return raise_text(PyExc_ValueError,
                          PyUnicode_FromFormat("x[%zu] lies %lld %s from x[0]: beyond 2**53, which a "
                                               "double does not hold exactly",
                                               found.index, static_cast<long long>(found.count), unit.c_str()));
    }
    TimePositions positions;
    positions.offsets = std::move(found.offsets);
    positions.axis.unit = std::string(found.unit);
    return positions;
}

// The unit inside "M8[...]" without its multiple; "generic" for none.
std::string base_unit(const std::string& typestr) {
    const std::size_t open = typestr.find('[');
    if (open == std::string::npos) return "generic";
    std::string unit = typestr.substr(open + 1, typestr.size() - open - 2);
    std::size_t digits = 0;
    while (digits < unit.size() && unit[digits] >= '0' && unit[digits] <= '9') ++digits;
    return unit.substr(digits);
}

// A datetime64 / timedelta64 array as positions.
Result<TimePositions> array_positions(ref array) {
    KG_TRY(view, read_array(std::move(array)));
    if (view.ndim != 1) {
        return raise_text(PyExc_ValueError,
                          PyUnicode_FromFormat("positions must be one-dimensional, got shape %S", view.shape.get()));
    }
    if (view.ticks.empty()) {
        TimePositions none;
        return none;  // no samples: no unit or origin
    }
    const std::size_t missing = first_missing_tick(view.ticks);
    if (missing != view.ticks.size()) return missing_error(missing);
    const char kind = view.typestr[0];
    std::string unit = base_unit(view.typestr);
    if (unit == "Y" || unit == "M" || unit == "W") {  // calendar units: exact days
        KG_TRY(days, call_method(view.holder.get(), "astype", kind == 'M' ? "M8[D]" : "m8[D]"));
        KG_TRY(day_view, read_array(std::move(days)));
        view = std::move(day_view);
        unit = "D";
    }
    if (unit_nanoseconds(unit) == 0) {
        ref name = ref::steal(PyUnicode_FromString(unit.c_str()));
        if (!name) return fetch_error();
        return raise_text(PyExc_ValueError,
                          PyUnicode_FromFormat("positions in unit %R are not supported", name.get()));
    }
    TimeOffsets found = time_offsets(view.ticks, unit);
    const std::string origin_dtype = std::string(1, kind) + "8[" + std::string(found.origin_unit) + "]";
    KG_TRY(positions, checked_offsets(std::move(found)));
    // The first time in the coarsest unit that holds it, as numpy writes it.
    ref first = ref::steal(PySequence_GetItem(view.holder.get(), 0));
    if (!first) return fetch_error();
    KG_TRY(origin, call_method(first.get(), "astype", origin_dtype.c_str()));
    KG_TRY(origin_text, str_of(origin.get()));
    positions.axis.origin = std::move(origin_text);
    return positions;
}

// numpy, imported on first need; nullptr (no error) when it is not installed.
Result<PyObject*> numpy_module() {
    static PyObject* numpy = nullptr;  // kept for the process
    static bool unavailable = false;
    if (numpy != nullptr || unavailable) return numpy;
    ref module = ref::steal(PyImport_ImportModule("numpy"));
    if (!module) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return fetch_error();
        PyErr_Clear();
        unavailable = true;
        return static_cast<PyObject*>(nullptr);
    }
    numpy = module.release();
    return numpy;
}

Result<ref> module_attribute(const char* module_name, const char* name) {
    ref module = ref::steal(PyImport_ImportModule(module_name));
    if (!module) return fetch_error();
    ref found = ref::steal(PyObject_GetAttrString(module.get(), name));
    if (!found) return fetch_error();
    return found;
}

// Whether `dtype` is a time kind ("M" or "m") or anything else.
Result<std::string> dtype_kind(PyObject* object) {
    KG_TRY(dtype, attribute_or_none(object, "dtype"));
    if (dtype.get() == Py_None) return std::string("O");
    KG_TRY(kind, attribute_or_none(dtype.get(), "kind"));
    if (kind.get() == Py_None) return std::string("O");
    return str_of(kind.get());
}

Result<bool> has_periods(PyObject* object) {
    KG_TRY(dtype, attribute_or_none(object, "dtype"));
    KG_TRY(name, type_name(dtype.get()));
    return name == "PeriodDtype";
}

// The first item of a non-empty sequence that may hold objects, or None.
Result<ref> first_item(PyObject* object) {
    KG_TRY(kind, dtype_kind(object));
    if (kind != "O" || PyUnicode_Check(object) || PyBytes_Check(object) ||
        PyObject_HasAttrString(object, "__len__") == 0) {
        return ref::borrow(Py_None);
    }
    const Py_ssize_t length = PyObject_Length(object);
    if (length < 0) return fetch_error();
    if (length == 0) return ref::borrow(Py_None);
    if (PyList_Check(object) || PyTuple_Check(object)) {
        ref item = ref::steal(PySequence_GetItem(object, 0));
        if (!item) return fetch_error();
        return item;
    }
    ref iterator = ref::steal(PyObject_GetIter(object));
    ref item = iterator ? ref::steal(PyIter_Next(iterator.get())) : ref();
    if (!item) {
        if (PyErr_Occurred()) return fetch_error();
        return raise_text(PyExc_StopIteration, PyUnicode_FromString(""));
    }
    return item;
}

Result<bool> is_period(PyObject* item) {
    KG_TRY(name, type_name(item));
    return name == "Period";
}

// x as a list of its items (x itself for a list or tuple).
Result<ref> items_of(PyObject* object) {
    if (PyList_Check(object) || PyTuple_Check(object)) return ref::borrow(object);
    ref items = ref::steal(PySequence_List(object));
    if (!items) return fetch_error();
    return items;
}

Result<ref> pandas_attribute(const char* name) {
    // pandas is loaded whenever pandas periods exist.
    ref module_name = ref::steal(PyUnicode_FromString("pandas"));
    ref pandas = module_name ? ref::steal(PyImport_GetModule(module_name.get())) : ref();
    if (!pandas) {
        if (PyErr_Occurred()) return fetch_error();
        return raise_text(PyExc_ImportError, PyUnicode_FromString("pandas is not loaded"));
    }
    ref found = ref::steal(PyObject_GetAttrString(pandas.get(), name));
    if (!found) return fetch_error();
    return found;
}

// x as a pandas PeriodIndex when it holds periods, else None.
Result<ref> period_index(PyObject* object) {
    KG_TRY(periods, has_periods(object));
    ref source = ref::borrow(object);
    if (!periods) {
        KG_TRY(first, first_item(object));
        KG_TRY(period, is_period(first.get()));
        if (!period) return ref::borrow(Py_None);
        KG_TRY(items, items_of(object));
        const Py_ssize_t length = PySequence_Size(items.get());
        ref head = ref::steal(PySequence_GetItem(items.get(), 0));
        ref head_freq = head ? ref::steal(PyObject_GetAttrString(head.get(), "freq")) : ref();
        if (!head_freq) return fetch_error();
        for (Py_ssize_t k = 0; k < length; ++k) {
            ref item = ref::steal(PySequence_GetItem(items.get(), k));
            if (!item) return fetch_error();
            KG_TRY(item_period, is_period(item.get()));
            if (!item_period) {
                KG_TRY(name, type_name(item.get()));
                return raise_text(PyExc_TypeError,
                                  PyUnicode_FromFormat("x[%zd] is a %s, not a period like the samples before it",
                                                       k, name.c_str()));
            }
            ref freq = ref::steal(PyObject_GetAttrString(item.get(), "freq"));
            if (!freq) return fetch_error();
            const int differs = PyObject_RichCompareBool(freq.get(), head_freq.get(), Py_NE);
            if (differs < 0) return fetch_error();
            if (differs == 1) {
                ref freqstr = ref::steal(PyObject_GetAttrString(item.get(), "freqstr"));
                ref head_freqstr = freqstr ? ref::steal(PyObject_GetAttrString(head.get(), "freqstr")) : ref();
                if (!head_freqstr) return fetch_error();
                return raise_text(PyExc_ValueError,
                                  PyUnicode_FromFormat("x[%zd] is a period of frequency %S, unlike x[0] (%S)", k,
                                                       freqstr.get(), head_freqstr.get()));
            }
        }
        source = std::move(items);
    }
    KG_TRY(index_type, pandas_attribute("PeriodIndex"));
    ref index = ref::steal(PyObject_CallFunctionObjArgs(index_type.get(), source.get(), nullptr));
    if (!index) return fetch_error();
    return index;
}

// Periods as their ordinals' offsets from the first, counted in their frequency.
Result<TimePositions> period_positions(PyObject* numpy, PyObject* index) {
    ref freqstr = ref::steal(PyObject_GetAttrString(index, "freqstr"));
    if (!freqstr) return fetch_error();
    KG_TRY(frequency, str_of(freqstr.get()));
    std::size_t digits = 0;
    while (digits < frequency.size() && frequency[digits] >= '0' && frequency[digits] <= '9') ++digits;
    const std::string unit = frequency.substr(digits);
    const Py_ssize_t length = PyObject_Length(index);
    if (length < 0) return fetch_error();
    if (length == 0) return TimePositions{};
    KG_TRY(missing, call_method(index, "isna", nullptr));
    ref missing_array = ref::steal(PyObject_CallMethod(numpy, "asarray", "O", missing.get()));
    ref where = missing_array ? ref::steal(PyObject_CallMethod(numpy, "flatnonzero", "O", missing_array.get()))
                              : ref();
    if (!where) return fetch_error();
    const Py_ssize_t found = PyObject_Length(where.get());
    if (found < 0) return fetch_error();
    if (found > 0) {
        ref at = ref::steal(PySequence_GetItem(where.get(), 0));
        const Py_ssize_t k = at ? PyNumber_AsSsize_t(at.get(), nullptr) : -1;
        if (PyErr_Occurred()) return fetch_error();
        return missing_error(static_cast<std::size_t>(k));
    }
    ref asi8 = ref::steal(PyObject_GetAttrString(index, "asi8"));
    ref ordinals = asi8 ? ref::steal(PyObject_CallMethod(numpy, "asarray", "Os", asi8.get(), "int64")) : ref();
    if (!ordinals) return fetch_error();
    KG_TRY(view, read_array(std::move(ordinals)));
    KG_TRY(positions, checked_offsets(count_offsets(view.ticks, unit)));
    ref first = ref::steal(PySequence_GetItem(index, 0));
    if (!first) return fetch_error();
    KG_TRY(origin_text, str_of(first.get()));
    positions.axis.origin = std::move(origin_text);
    return positions;
}

// The datetime / timedelta types and numpy's datetime64 / timedelta64, for isinstance.
struct TimeTypes {
    ref date, datetime, timedelta, datetime64, timedelta64;
};

Result<TimeTypes> time_types(PyObject* numpy) {
    TimeTypes types;
    KG_TRY(date, module_attribute("datetime", "date"));
    KG_TRY(datetime, module_attribute("datetime", "datetime"));
    KG_TRY(timedelta, module_attribute("datetime", "timedelta"));
    types.date = std::move(date);
    types.datetime = std::move(datetime);
    types.timedelta = std::move(timedelta);
    types.datetime64 = ref::steal(PyObject_GetAttrString(numpy, "datetime64"));
    types.timedelta64 = types.datetime64 ? ref::steal(PyObject_GetAttrString(numpy, "timedelta64")) : ref();
    if (!types.timedelta64) return fetch_error();
    return types;
}

Result<bool> is_time(const TimeTypes& types, PyObject* item) {
    for (PyObject* type : {types.date.get(), types.timedelta.get(), types.datetime64.get(), types.timedelta64.get()}) {
        KG_TRY(found, is_instance(item, type));
        if (found) return true;
    }
    KG_TRY(name, type_name(item));
    return name == "Timestamp" || name == "Timedelta";
}

// A duration as numpy.timedelta64 in microseconds (numpy's own ones as they are).
Result<ref> as_timedelta64(const TimeTypes& types, PyObject* item) {
    KG_TRY(native, is_instance(item, types.timedelta64.get()));
    if (native) return ref::borrow(item);
    KG_TRY(duration, is_instance(item, types.timedelta.get()));
    if (!duration) {
        KG_TRY(name, type_name(item));
        return raise_text(PyExc_TypeError, PyUnicode_FromFormat("x mixes durations with %s", name.c_str()));
    }
    // (days * 86400 + seconds) * 10**6 + microseconds, in Python integers.
    ref days = ref::steal(PyObject_GetAttrString(item, "days"));
    ref seconds = days ? ref::steal(PyObject_GetAttrString(item, "seconds")) : ref();
    ref micros = seconds ? ref::steal(PyObject_GetAttrString(item, "microseconds")) : ref();
    ref day_length = ref::steal(PyLong_FromLong(86'400));
    ref million = ref::steal(PyLong_FromLong(1'000'000));
    if (!micros || !day_length || !million) return fetch_error();
    ref day_seconds = ref::steal(PyNumber_Multiply(days.get(), day_length.get()));
    ref all_seconds = day_seconds ? ref::steal(PyNumber_Add(day_seconds.get(), seconds.get())) : ref();
    ref scaled = all_seconds ? ref::steal(PyNumber_Multiply(all_seconds.get(), million.get())) : ref();
    ref total = scaled ? ref::steal(PyNumber_Add(scaled.get(), micros.get())) : ref();
    ref value = total ? ref::steal(PyObject_CallFunction(types.timedelta64.get(), "Os", total.get(), "us")) : ref();
    if (!value) return fetch_error();
    return value;
}

// t.replace(tzinfo=None)
Result<ref> without_zone(PyObject* item) {
    ref method = ref::steal(PyObject_GetAttrString(item, "replace"));
    ref arguments = method ? ref::steal(PyTuple_New(0)) : ref();
    ref keywords = arguments ? ref::steal(PyDict_New()) : ref();
    if (!keywords || PyDict_SetItemString(keywords.get(), "tzinfo", Py_None) != 0) return fetch_error();
    ref result = ref::steal(PyObject_Call(method.get(), arguments.get(), keywords.get()));
    if (!result) return fetch_error();
    return result;
}

// A timestamp as numpy.datetime64: UTC for one with an offset, to the microsecond plus a
// pandas Timestamp's nanoseconds; dates in days.
Result<ref> as_datetime64(const TimeTypes& types, PyObject* item, Py_ssize_t k) {
    KG_TRY(native, is_instance(item, types.datetime64.get()));
    if (native) return ref::borrow(item);
    KG_TRY(moment, is_instance(item, types.datetime.get()));
    if (moment) {
        ref t = ref::borrow(item);
        ref zone = ref::steal(PyObject_GetAttrString(item, "tzinfo"));
        if (!zone) return fetch_error();
        if (zone.get() != Py_None) {
            KG_TRY(offset, call_method(item, "utcoffset", nullptr));
            if (offset.get() == Py_None) {
                ref zero = ref::steal(PyObject_CallFunction(types.timedelta.get(), "i", 0));
                if (!zero) return fetch_error();
                offset = std::move(zero);
            }
            KG_TRY(naive, without_zone(item));
            t = ref::steal(PyNumber_Subtract(naive.get(), offset.get()));
            if (!t) return fetch_error();
        }
        KG_TRY(nanos, attribute_or_none(t.get(), "nanosecond"));
        if (nanos.get() == Py_None) nanos = ref::steal(PyLong_FromLong(0));
        KG_TRY(naive, without_zone(t.get()));
        ref micro = ref::steal(PyObject_CallFunction(types.datetime64.get(), "Os", naive.get(), "us"));
        ref extra = micro ? ref::steal(PyObject_CallFunction(types.timedelta64.get(), "Os", nanos.get(), "ns")) : ref();
        ref sum = extra ? ref::steal(PyNumber_Add(micro.get(), extra.get())) : ref();
        if (!sum) return fetch_error();
        return sum;
    }
    KG_TRY(day, is_instance(item, types.date.get()));
    if (day) {
        ref value = ref::steal(PyObject_CallFunction(types.datetime64.get(), "Os", item, "D"));
        if (!value) return fetch_error();
        return value;
    }
    KG_TRY(name, type_name(item));
    return raise_text(PyExc_TypeError,
                      PyUnicode_FromFormat("x[%zd] is a %s, not a time like the samples before it", k, name.c_str()));
}

// A sequence of datetime, date, timedelta, pandas Timestamp / Timedelta or numpy
// datetime64 objects as a datetime64[ns] or timedelta64[ns] array; None for anything else.
Result<ref> array_of_items(PyObject* numpy, PyObject* object) {
    KG_TRY(first, first_item(object));
    KG_TRY(types, time_types(numpy));
    KG_TRY(dated, is_time(types, first.get()));
    if (!dated) return ref::borrow(Py_None);
    KG_TRY(items, items_of(object));
    const Py_ssize_t length = PySequence_Size(items.get());
    if (length < 0) return fetch_error();
    ref head = ref::steal(PySequence_GetItem(items.get(), 0));
    if (!head) return fetch_error();
    KG_TRY(head_duration, is_instance(head.get(), types.timedelta.get()));
    KG_TRY(head_numpy_duration, is_instance(head.get(), types.timedelta64.get()));
    KG_TRY(head_name, type_name(head.get()));
    const bool durations = head_duration || head_numpy_duration || head_name == "Timedelta";
    ref converted = ref::steal(PyList_New(length));
    if (!converted) return fetch_error();
    for (Py_ssize_t k = 0; k < length; ++k) {
        ref item = ref::steal(PySequence_GetItem(items.get(), k));
        if (!item) return fetch_error();
        KG_TRY(value, durations ? as_timedelta64(types, item.get()) : as_datetime64(types, item.get(), k));
        PyList_SetItem(converted.get(), k, value.release());  // steals
    }
    ref array = ref::steal(
        PyObject_CallMethod(numpy, "array", "Os", converted.get(), durations ? "m8[ns]" : "M8[ns]"));
    if (!array) return fetch_error();
    return array;
}

// Data of a time dtype as a numpy array: timezone-aware pandas data as the same instants
// in UTC, pandas data through its to_numpy().
Result<ref> array_of_time_dtype(PyObject* object) {
    ref data = ref::borrow(object);
    KG_TRY(dtype, attribute_or_none(object, "dtype"));
    KG_TRY(zone, attribute_or_none(dtype.get(), "tz"));
    if (zone.get() != Py_None) {
        // A Series converts its values through .dt (its own tz_convert converts its
        // index); an index converts itself.
        const int direct = !PyObject_HasAttrString(object, "dt");
        ref owner = direct ? ref::borrow(object) : ref::steal(PyObject_GetAttrString(object, "dt"));
        if (!owner) return fetch_error();
        KG_TRY(utc, call_method(owner.get(), "tz_convert", "UTC"));
        ref utc_owner = direct ? std::move(utc) : ref::steal(PyObject_GetAttrString(utc.get(), "dt"));
        if (!utc_owner) return fetch_error();
        ref naive = ref::steal(PyObject_CallMethod(utc_owner.get(), "tz_localize", "O", Py_None));
        if (!naive) return fetch_error();
        data = std::move(naive);
    }
    if (PyObject_HasAttrString(data.get(), "to_numpy")) {
        KG_TRY(array, call_method(data.get(), "to_numpy", nullptr));
        data = std::move(array);
    }
    if (PyObject_HasAttrString(data.get(), "__array_interface__")) return data;
    KG_TRY(numpy, numpy_module());
    if (numpy == nullptr) return raise_text(PyExc_ImportError, PyUnicode_FromString("numpy is not installed"));
    ref array = ref::steal(PyObject_CallMethod(numpy, "asarray", "O", data.get()));
    if (!array) return fetch_error();
    return array;
}

}  // namespace

Result<std::optional<TimePositions>> time_positions(PyObject* object) {
    KG_TRY(kind, dtype_kind(object));
    if ((kind == "M" || kind == "m") && !PyList_CheckExact(object) && !PyTuple_CheckExact(object)) {
        KG_TRY(array, array_of_time_dtype(object));
        KG_TRY(positions, array_positions(std::move(array)));
        return std::optional<TimePositions>{std::move(positions)};
    }
    // Anything else that may hold times needs numpy's help; without numpy, no times.
    KG_TRY(numpy, numpy_module());
    if (numpy == nullptr) return std::optional<TimePositions>{};
    KG_TRY(periods, period_index(object));
    if (periods.get() != Py_None) {
        KG_TRY(positions, period_positions(numpy, periods.get()));
        return std::optional<TimePositions>{std::move(positions)};
    }
    KG_TRY(array, array_of_items(numpy, object));
    if (array.get() == Py_None) return std::optional<TimePositions>{};
    KG_TRY(positions, array_positions(std::move(array)));
    return std::optional<TimePositions>{std::move(positions)};
}

}  // namespace kestrel
