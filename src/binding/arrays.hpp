// GraphArray: a numeric block owned by a Python object and exposed through
// __array_interface__, so numpy.asarray wraps it without copying and numpy stays optional.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "binding/errors.hpp"
#include "core/graph_record.hpp"

namespace kestrel {

// rows x columns 8-byte elements in row-major order; columns == 0 for one dimension.
struct ArrayBlock {
    enum class Kind { int64, float64 };
    std::vector<std::uint64_t> words;  // raw element bits
    Kind kind = Kind::int64;
    std::size_t rows = 0;
    std::size_t columns = 0;
};

ArrayBlock edge_block(const std::vector<Edge>& edges);        // (m, 2) int64
ArrayBlock vertex_block(const std::vector<Vertex>& vertices);  // (n, 2) float64
ArrayBlock count_block(std::vector<std::uint64_t>&& counts);  // (n,) int64, moved in
// Degrees of a record's vertices, from its edges.
std::vector<std::uint64_t> degrees_of(const VisibilityGraph& graph);

// The type object, created once at start-up.
Result<PyObject*> array_type_for_startup();
// Moves the block into a new GraphArray.
ref wrap_array(ArrayBlock&& block);

}  // namespace kestrel
