#include "binding/measure_functions.hpp"

#include <utility>
#include <vector>

#include "binding/arrays.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "binding/interpreter.hpp"
#include "core/measure_tables.hpp"

namespace kestrel {

namespace {

constexpr CallSignature block_tables_signature{
    "_block_tables", nullptr, {"values", "length", "natural", "skip_adjacent", "measures"}, 5, 5};

// (codes, counts, width): two int64 GraphArrays and an int.
ref table_tuple(CountTable&& table) {
    std::vector<ref> items;
    items.push_back(wrap_array(count_block(std::move(table.codes))));
    items.push_back(wrap_array(count_block(std::move(table.counts))));
    items.push_back(from_index(table.width));
    return tuple_of(std::move(items));
}

// The values are the call's own copy, so the tables are made without the lock.
PyObject* block_tables_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_frame([&]() -> Result<ref> {
        KG_TRY(slots, parse_arguments(block_tables_signature, args, kwargs));
        KG_TRY(values, convert_argument("values", to_series, slots[0]));
        KG_TRY(length, convert_argument("length", to_index, slots[1]));
        KG_TRY(natural, to_flag("natural", slots[2]));
        KG_TRY(skip_adjacent, to_flag("skip_adjacent", slots[3]));
        KG_TRY(measures, to_flag("measures", slots[4]));
        if (length == 0 ? !values.empty() : values.size() % length != 0) {
            return CallError::message(PyExc_ValueError, "values must hold whole series of length");
        }
        if (measures && length > 0xffffffffu) {
            // Each sample's degrees are kept in 32 bits.
            return CallError::message(PyExc_ValueError, "measures need series below 2^32 samples");
        }
        if (measures && skip_adjacent) {
            return CallError::message(PyExc_ValueError, "measures need skip_adjacent=False");
        }
        KG_TRY(tables, without_interpreter([&] {
                   return block_measure_tables(values, length, natural, skip_adjacent, measures);
               }));
        std::vector<ref> items;
        items.push_back(wrap_array(count_block(std::move(tables.edge_counts))));
        items.push_back(table_tuple(std::move(tables.degree)));
        if (measures) {
            items.push_back(table_tuple(std::move(tables.joint)));
            items.push_back(wrap_array(count_block(std::move(tables.motif_codes))));
            items.push_back(table_tuple(std::move(tables.out_degree)));
            items.push_back(table_tuple(std::move(tables.in_degree)));
            items.push_back(table_tuple(std::move(tables.out_pairs)));
            items.push_back(table_tuple(std::move(tables.in_pairs)));
            items.push_back(table_tuple(std::move(tables.difference)));
        }
        return tuple_of(std::move(items));
    });
}

constexpr ModuleFunction rows[] = {
    {&block_tables_signature, block_tables_entry,
     "Count tables of the graphs of equal-length series, made without holding the\n"
     "interpreter lock: ``values`` holds the series one after another, ``length`` samples\n"
     "each, under the float rule at x_k = k.\n\n"
     "Returns:\n"
     "    ``(edge_counts, degree)`` and, with ``measures``, ``joint, motif_codes,\n"
     "    out_degree, in_degree, out_pairs, in_pairs, difference`` after them; each table\n"
     "    is ``(codes, counts, width)``, the codes ascending (see the tools' measures).\n",
     false},
};

}  // namespace

std::span<const ModuleFunction> measure_functions() { return rows; }

}  // namespace kestrel
