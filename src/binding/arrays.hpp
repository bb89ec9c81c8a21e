// GraphArray: a numeric block owned by a Python object and exposed through
// __array_interface__, so numpy.asarray wraps it without copying and numpy stays optional.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "binding/errors.hpp"
#include "core/edge_collector.hpp"
#include "core/graph_record.hpp"

namespace kestrel {

// Rows of a graph record's storage, held rather than copied: the record copies the block
// before it next edits it while this holds it, so these rows never change.
struct SharedStorage {
    std::shared_ptr<const void> owner;
    const void* rows = nullptr;
    const void* data() const noexcept { return rows; }
};

// rows x columns 8-byte elements in row-major order; columns == 0 for one dimension.
// The storage is whichever vector the elements were made in, moved in rather than copied
// (an edge is two 64-bit indices below 2^63, the bits of two int64), so an export never
// holds its data twice, or a graph record's own storage shared with the record.
struct ArrayBlock {
    enum class Kind { int64, float64 };
    std::variant<std::vector<std::uint64_t>, std::vector<Edge>, std::vector<double>, EdgeBuffer,
                 SharedStorage>
        storage;
    Kind kind = Kind::int64;
    std::size_t rows = 0;
    std::size_t columns = 0;
    // Set for rows shared with a graph record: numpy then refuses writes through them.
    bool read_only = false;

    // Never NULL (numpy refuses a NULL data pointer even for an empty array).
    const void* data() const noexcept {
        return std::visit([](const auto& v) -> const void* { return v.data(); }, storage);
    }
};

ArrayBlock edge_block(std::vector<Edge>&& edges);             // (m, 2) int64, moved in
ArrayBlock edge_block(EdgeBuffer&& edges);                    // (m, 2) int64, moved in
// A graph record's rows, shared with the record and read-only: (m, 2) int64 and (n, 2)
// float64, without a copy.
ArrayBlock edge_block(const SharedRows<Edge>& edges);
ArrayBlock vertex_block(const SharedRows<Vertex>& vertices);
ArrayBlock count_block(std::vector<std::uint64_t>&& counts);  // (n,) int64, moved in
ArrayBlock value_block(std::vector<double>&& values);          // (n,) float64, moved in
// Degrees of a record's vertices, from its edges.
std::vector<std::uint64_t> degrees_of(const VisibilityGraph& graph);

// The type object, created once at start-up.
Result<PyObject*> array_type_for_startup();
// Moves the block into a new GraphArray.
ref wrap_array(ArrayBlock&& block);

}  // namespace kestrel
