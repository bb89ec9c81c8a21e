// Conversions between Python objects and native values.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/visibility.hpp"
#include "core/graph_record.hpp"
#include "binding/errors.hpp"

namespace kestrel {

Result<double> to_float(PyObject* object);
Result<std::size_t> to_index(PyObject* object);
// nullptr (empty slot) and None give absent; only the exact bool type is accepted.
Result<std::optional<bool>> to_optional_bool(PyObject* object);
// numpy's bool scalar (numpy.bool), when numpy is imported.
bool is_numpy_bool(PyObject* object);
// As to_optional_bool, and numpy.bool too: the flags of the entries beyond the original
// eleven, whose conversions and messages stay as they are.
Result<std::optional<bool>> to_optional_flag(PyObject* object);
// to_optional_flag for the argument `parameter`, absent meaning false.
Result<bool> to_flag(const char* parameter, PyObject* object);
// The `threads` argument of the entries that release the lock: None (or absent) gives
// kAutoThreads, otherwise an int >= 1 (never a bool); values beyond the native range act
// as the largest.
Result<std::size_t> to_threads(PyObject* object);
Result<Series> to_series(PyObject* object);
Result<Point> to_point(PyObject* object);
Result<std::vector<Segment>> to_segment_list(PyObject* object);

ref from_bool(bool value);
ref from_index(std::size_t value);
ref from_float_list(const std::vector<double>& values);
ref from_point_list(std::span<const Vertex> points);
ref from_index_pair_list(std::span<const Edge> pairs);
ref from_int64_list(const std::vector<std::int64_t>& values);
// A tuple that takes over the references.
ref tuple_of(std::vector<ref>&& items);

}  // namespace kestrel
