// Columns of plain decimal text read into doubles: the values Python's float() gives for
// the same cells, bit for bit, and the decimal places each column is written with. A
// reader that meets anything outside the plain grammar answers "not sure" instead of
// guessing, so that its caller can read the text again with a slower, complete parser.
// No interpreter here.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrel {

// How the text is laid out.
struct TextLayout {
    std::size_t width = 1;         // cells per line
    char delimiter = ',';          // between cells; unused for one cell per line
    char mark = '.';               // the decimal mark, '.' or ','
    std::vector<std::size_t> columns;  // the columns to return, each below width
};

// One column read: its values (NaN for a missing sample) and the most digits written
// after the decimal mark in any of its cells.
struct TextColumn {
    std::vector<double> values;
    std::size_t places = 0;
};

// Reads whole lines of `text` (the last may lack its line break; "\r\n" ends a line as
// "\n" does). Every line must hold `width` cells, each one of:
//   - an optional sign, digits and at most one decimal mark, with at least one digit,
//     possibly between spaces and tabs;
//   - a missing-sample marker: nothing (spaces and tabs only), or NA, N/A, NaN or null
//     in any case.
// With one cell per line a blank line is an empty cell, hence a missing sample; with
// several, a blank line (spaces and tabs only, and no delimiter) is no row and is skipped.
// Anything else anywhere in the text (exponents, infinities, quotes, '#', other bytes,
// a line with another number of cells, a value out of the double range) gives nullopt:
// not sure, the text needs a complete parser.
std::optional<std::vector<TextColumn>> read_text_columns(std::string_view text,
                                                         const TextLayout& layout);

}  // namespace kestrel
