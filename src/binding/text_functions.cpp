#include "binding/text_functions.hpp"

#include <string_view>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/arrays.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "binding/interpreter.hpp"
#include "core/text_columns.hpp"

namespace kestrel {

namespace {

constexpr CallSignature read_columns_signature{
    "_read_columns", nullptr, {"data", "width", "delimiter", "decimal", "columns"}, 5, 5};

// A str of one ASCII character, as that byte.
Result<char> to_ascii_character(PyObject* object, const char* message) {
    if (!PyUnicode_Check(object)) return CallError::kind_mismatch(object, "PyString");
    const Py_ssize_t length = PyUnicode_GetLength(object);
    if (length < 0) return fetch_error();
    const Py_UCS4 character = length == 1 ? PyUnicode_ReadChar(object, 0) : 0;
    if (length != 1 || character >= 0x80) return CallError::message(PyExc_ValueError, message);
    return static_cast<char>(character);
}

// An iterable of column indices, each below `width`.
Result<std::vector<std::size_t>> to_columns(PyObject* object, std::size_t width) {
    ref iterator = ref::steal(PyObject_GetIter(object));
    if (!iterator) return fetch_error();
    std::vector<std::size_t> columns;
    while (ref item = ref::steal(PyIter_Next(iterator.get()))) {
        KG_TRY(index, to_index(item.get()));
        if (index >= width) {
            return CallError::message(PyExc_ValueError, "columns must be below width");
        }
        columns.push_back(index);
    }
    if (PyErr_Occurred()) return fetch_error();
    return columns;
}

struct ReadCall {
    std::string_view text;  // the bytes object's own buffer, kept alive by the caller's tuple
    TextLayout layout;
};

Result<ReadCall> convert_read_call(PyObject* args, PyObject* kwargs) {
    KG_TRY(slots, parse_arguments(read_columns_signature, args, kwargs));
    PyObject* data = slots[0];
    if (!PyBytes_Check(data)) {
        return wrap_argument_error("data", CallError::kind_mismatch(data, "PyBytes"));
    }
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data, &bytes, &size) != 0) return fetch_error();
    ReadCall call;
    call.text = std::string_view(bytes, static_cast<std::size_t>(size));
    KG_TRY(width, convert_argument("width", to_index, slots[1]));
    if (width == 0) return CallError::message(PyExc_ValueError, "width must be at least 1");
    KG_TRY(delimiter, convert_argument("delimiter", [](PyObject* o) {
        return to_ascii_character(o, "delimiter must be one ASCII character");
    }, slots[2]));
    KG_TRY(mark, convert_argument("decimal", [](PyObject* o) {
        return to_ascii_character(o, "decimal must be '.' or ','");
    }, slots[3]));
    if (mark != '.' && mark != ',') {
        return CallError::message(PyExc_ValueError, "decimal must be '.' or ','");
    }
    KG_TRY(columns, convert_argument("columns", [width](PyObject* o) { return to_columns(o, width); },
                                     slots[4]));
    call.layout = TextLayout{width, delimiter, mark, std::move(columns)};
    return call;
}

// The bytes are read without the interpreter lock: a bytes object never changes, and the
// argument tuple holds it for the whole call.
PyObject* read_columns_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(call, convert_read_call(args, kwargs));
        KG_TRY(read, without_interpreter([&] { return read_text_columns(call.text, call.layout); }));
        if (!read) return ref::borrow(Py_None);
        std::vector<ref> arrays;
        std::vector<ref> places;
        arrays.reserve(read->size());
        places.reserve(read->size());
        for (TextColumn& column : *read) {
            places.push_back(from_index(column.places));
            arrays.push_back(wrap_array(value_block(std::move(column.values))));
        }
        ref result = ref::steal(checked(PyTuple_New(2)));
        PyTuple_SetItem(result.get(), 0, tuple_of(std::move(arrays)).release());
        PyTuple_SetItem(result.get(), 1, tuple_of(std::move(places)).release());
        return result;
    });
}

constexpr ModuleFunction rows[] = {
    {&read_columns_signature, read_columns_entry,
     "Columns of decimal text, read without holding the interpreter lock.\n\n"
     "``data`` holds whole lines of ``width`` cells split by ``delimiter`` (unused for one\n"
     "cell per line; a blank line is then a missing sample, else a blank line holding no\n"
     "delimiter is skipped); ``decimal`` is the decimal mark. A cell is a number as float()\n"
     "reads it in ASCII (with ``decimal`` as its mark), or a missing-sample marker (empty,\n"
     "NA, N/A, NaN or null in any case), possibly between spaces and tabs.\n\n"
     "Returns:\n"
     "    ``(arrays, places)``: for each index of ``columns``, a float64 ``GraphArray`` of\n"
     "    its values (float() of each cell, NaN for a missing sample) and the most digits\n"
     "    after the mark in any of its cells, less the exponent where there is one; or\n"
     "    ``None`` when any cell or line is outside\n"
     "    that grammar (the text then needs a complete parser).\n",
     false},
};

}  // namespace

std::span<const ModuleFunction> text_functions() { return rows; }

}  // namespace kestrel
