// Columns of decimal text read into doubles: the values Python's float() gives for the
// same cells, bit for bit, and the decimal places each column is written with, counted as
// the tools count them. A reader that meets anything outside its grammar answers "not
// sure" instead of guessing, so that its caller can read the text again with a slower,
// complete parser that also locates the fault. No interpreter here.
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
// "\n" does). Every line must hold `width` cells, each one of, possibly between spaces
// and tabs:
//   - a number as float() reads it in ASCII: an optional sign, digits with at most one
//     decimal mark and at least one digit, an optional exponent (e or E, a sign, digits),
//     single underscores between digits; or inf, infinity or a signed nan in any case;
//   - a missing-sample marker: nothing (spaces and tabs only), or NA, N/A, NaN or null
//     in any case.
// Values past the double range are infinities or zeros, as float() gives them. A column's
// places are the most digits after the mark in any cell, less the exponent (capped at
// 2^20) where there is one, never below zero.
// With one cell per line a blank line is an empty cell, hence a missing sample; with
// several, a blank line (spaces and tabs only, and no delimiter) is no row and is skipped.
// Anything else anywhere in the text (quotes, '#', other bytes, a line with another
// number of cells) gives nullopt: not sure, the text needs a complete parser.
std::optional<std::vector<TextColumn>> read_text_columns(std::string_view text,
                                                         const TextLayout& layout);

}  // namespace kestrel
