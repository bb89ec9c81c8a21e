#include "binding/errors.hpp"
#include "binding/texts.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrel {

namespace {

constexpr const char* panic_doc =
    "\nThe exception raised when Vantrel code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* intern_once(PyObject*& cell, const char* text) {
    if (cell == nullptr) {
        cell = checked(PyUnicode_InternFromString(text));  // kept for the process
    }
    return cell;
}

// UTF-8 text of a str, or nullopt (error cleared) when it cannot be encoded.
std::optional<std::string> utf8_of(PyObject* text) {
    ref bytes = ref::steal(PyUnicode_AsUTF8String(text));
    if (!bytes) {
        PyErr_Clear();
        return std::nullopt;
    }
    char* data = PyBytes_AsString(bytes.get());
    if (data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

// `__qualname__` of a type when it reads as a str; empty (error cleared) otherwise.
ref qualname_or_empty(PyObject* type) {
    ref name = ref::steal(PyObject_GetAttr(type, interned_qualname()));
    if (!name) {
        PyErr_Clear();
        return {};
    }
    if (!PyUnicode_Check(name.get())) {
        return {};
    }
    return name;
}

// The message of an error built by this module, as a new str.
ref message_object(CallError& error) {
    struct Visitor {
        ref operator()(const char* text) { return ref::steal(checked(PyUnicode_FromString(text))); }
        ref operator()(const std::string& text) {
            return ref::steal(checked(PyUnicode_FromStringAndSize(
                text.data(), static_cast<Py_ssize_t>(text.size()))));
        }
        ref operator()(ReadyObject& ready) { return std::move(ready.object); }
        ref operator()(KindMismatch& mismatch) {
            ref name = type_qualname(mismatch.type.get());
            return ref::steal(checked(
                PyUnicode_FromFormat(texts::cannot_convert, name.get(), mismatch.target)));
        }
        ref operator()(TupleLength& tuple) {
            return ref::steal(checked(PyUnicode_FromFormat(texts::tuple_length, tuple.length)));
        }
        ref operator()(Fetched&) { return {}; }  // never asked: fetched errors are restored
    };
    return std::visit(Visitor{}, error.payload);
}

// Sets `type(text)` as the pending error, with `cause` as its __cause__ when given.
void set_error(PyObject* type, ref text, ref cause) {
    if (!cause) {
        PyErr_SetObject(type, text.get());
        return;
    }
    ref exception = ref::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
    if (!exception) {
        return;  // the failed construction's own error stays pending
    }
    PyException_SetCause(exception.get(), cause.release());  // steals the cause
    PyErr_SetObject(type, exception.get());
}

// str() of a conversion error's value; an unprintable value is reported as
// unraisable and named by its type.
ref text_of_exception(PyObject* value) {
    ref text = ref::steal(PyObject_Str(value));
    if (text) {
        return text;
    }
    PyErr_WriteUnraisable(value);
    ref name = qualname_or_empty(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    if (!name) {
        return ref::steal(checked(PyUnicode_FromString("<unprintable object>")));
    }
    return ref::steal(checked(PyUnicode_FromFormat("<unprintable %U object>", name.get())));
}

void raise_prefixed_type_error(const char* parameter, PyObject* text, ref cause) {
    ref message = ref::steal(checked(PyUnicode_FromFormat("argument '%s': %U", parameter, text)));
    set_error(PyExc_TypeError, std::move(message), std::move(cause));
}

}  // namespace

PyObject* interned_all() {
    static PyObject* cell = nullptr;
    return intern_once(cell, "__all__");
}

PyObject* interned_name() {
    static PyObject* cell = nullptr;
    return intern_once(cell, "__name__");
}

PyObject* interned_qualname() {
    static PyObject* cell = nullptr;
    return intern_once(cell, "__qualname__");
}

ref type_qualname(PyObject* type) {
    ref name = qualname_or_empty(type);
    if (name) {
        return name;
    }
    return ref::steal(checked(PyUnicode_FromString("<failed to extract type name>")));
}

namespace {
PyObject* panic_cell = nullptr;  // created once at start-up, never released
}  // namespace

PyObject* panic_type() { return panic_cell; }

Status create_panic_type() {
    if (panic_cell == nullptr) {
        panic_cell = PyErr_NewExceptionWithDoc(texts::panic_type_name, panic_doc,
                                               PyExc_BaseException, nullptr);
        if (panic_cell == nullptr) {
            return fetch_error();
        }
    }
    return success();
}

PyObject* checked(PyObject* created) {
    if (created != nullptr) {
        return created;
    }
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    if (PyErr_Occurred()) {
        PyErr_Print();
    }
    fault("Python API call failed");
}

CallError fetch_error() {
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    ref type = ref::steal(raw_type);
    ref value = ref::steal(raw_value);
    ref traceback = ref::steal(raw_traceback);
    if (!type) {
        return CallError::message(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    if (panic_cell != nullptr && type.get() == panic_cell) {
        // An internal fault raised earlier travelled through Python code we called:
        // show where it went, then carry on unwinding as a fault of this call.
        std::string text = "Unwrapped panic from Python code";
        if (value) {
            ref str = ref::steal(PyObject_Str(value.get()));
            if (str) {
                if (auto utf8 = utf8_of(str.get())) text = std::move(*utf8);
            } else {
                PyErr_Clear();
            }
        }
        PySys_WriteStderr("%s", texts::resuming_panic);
        PySys_WriteStderr("Python stack trace below:\n");
        PyErr_Restore(type.release(), value.release(), traceback.release());
        PyErr_PrintEx(0);
        fault(std::move(text));
    }
    return CallError{type.get(), Fetched{std::move(type), std::move(value), std::move(traceback)}, {},
                     nullptr};
}

Result<ref> allocate_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    ref object = ref::steal(alloc != nullptr ? alloc(type, 0) : PyType_GenericAlloc(type, 0));
    if (!object) {
        return fetch_error();
    }
    return object;
}

CallError wrap_argument_error(const char* parameter, CallError error) {
    error.parameter = parameter;
    return error;
}

void raise_error(CallError&& error) {
    if (auto* fetched = std::get_if<Fetched>(&error.payload)) {
        PyObject* type = fetched->type.release();
        PyObject* value = fetched->value.release();
        PyObject* traceback = fetched->traceback.release();
        if (error.parameter != nullptr) {
            PyErr_NormalizeException(&type, &value, &traceback);
            ref owned_type = ref::steal(type);
            ref owned_value = ref::steal(value);
            ref owned_traceback = ref::steal(traceback);
            // Identity, not a subclass test: only a plain TypeError gets the prefix.
            if (owned_type.get() == PyExc_TypeError && owned_value) {
                ref text = text_of_exception(owned_value.get());
                // The conversion error's own cause carries over; the error itself is dropped.
                ref cause = ref::steal(PyException_GetCause(owned_value.get()));
                raise_prefixed_type_error(error.parameter, text.get(), std::move(cause));
                return;
            }
            PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
            return;
        }
        PyErr_Restore(type, value, traceback);
        return;
    }
    if (!PyExceptionClass_Check(error.type)) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return;
    }
    ref text = message_object(error);
    if (error.parameter != nullptr && error.type == PyExc_TypeError) {
        raise_prefixed_type_error(error.parameter, text.get(), std::move(error.cause));
        return;
    }
    set_error(error.type, std::move(text), std::move(error.cause));
}

namespace detail {

void raise_fault(const char* message, const std::source_location& where) noexcept {
    const char* text = message[0] == '\0' ? texts::default_panic : message;
    PyErr_Clear();
    // Name the source file from the project root, not the build machine's path.
    const char* file = where.file_name();
    if (const char* at = std::strstr(file, "src/")) file = at;
    PySys_FormatStderr("kestrel_grid: internal fault at %s:%u: %.500s\n", file,
                       static_cast<unsigned>(where.line()), text);
    // The exception type exists from start-up on. Creating the message can still run
    // out of memory; then MemoryError stays the pending error. Nothing here throws.
    PyObject* message_object = PyUnicode_FromString(text);
    if (message_object == nullptr || panic_cell == nullptr) {
        Py_XDECREF(message_object);
        PyErr_Clear();
        PyErr_NoMemory();
        return;
    }
    PyErr_SetObject(panic_cell, message_object);
    Py_DECREF(message_object);
}

void fault_at_boundary() noexcept {
    std::fputs(texts::uncaught_panic, stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace detail

}  // namespace kestrel
