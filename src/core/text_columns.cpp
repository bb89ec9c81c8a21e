#include "core/text_columns.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>

#include "core/cancel.hpp"
#include "core/memory.hpp"

namespace kestrel {

namespace {

// Powers of ten that are exact doubles (10^22 is the last one).
constexpr std::array<double, 23> kExactPowers{
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t kExactInteger = std::uint64_t{1} << 53;
// Cells with a decimal comma up to this length are rewritten on the stack.
constexpr std::size_t kLocalCell = 128;

// The same quiet NaN as Python's float("nan") and math.nan.
const double kMissing = std::numeric_limits<double>::quiet_NaN();

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Whether a line of several cells is blank: spaces and tabs only, no delimiter among them.
bool is_blank_line(const char* begin, const char* end, char delimiter) {
    for (; begin != end; ++begin) {
        if (!is_blank(*begin) || *begin == delimiter) return false;
    }
    return true;
}

bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Whether the cell equals `word` (lower-case letters and '/') with letters in any case.
bool equals_folded(const char* cell, std::size_t size, std::string_view word) {
    if (size != word.size()) return false;
    for (std::size_t k = 0; k < size; ++k) {
        const char expected = word[k];
        const char got = cell[k];
        // Only 'X' and 'x' give 'x' when bit 5 is set.
        if (expected == '/' ? got != '/' : static_cast<char>(got | 0x20) != expected) return false;
    }
    return true;
}

bool is_missing_marker(const char* cell, std::size_t size) {
    return equals_folded(cell, size, "na") || equals_folded(cell, size, "n/a") ||
           equals_folded(cell, size, "nan") || equals_folded(cell, size, "null");
}

// Exponents count towards the places up to this value, as the tools count them: beyond
// it every answer means "too many places" anyway.
constexpr std::int64_t kExponentCap = std::int64_t{1} << 20;
// Exponents are read for the value's scale up to this value: far past the double range.
constexpr std::int64_t kScaleCap = std::int64_t{1} << 40;

// The correctly rounded double of a decimal in [begin, end) (an optional '-', digits,
// one '.' at most, maybe an exponent), by the general conversion; false when it stops
// early. Out of the double range it answers result_out_of_range and leaves `value`.
std::errc convert_general(const char* begin, const char* end, double& value) {
    const auto [stop, error] = std::from_chars(begin, end, value, std::chars_format::general);
    return stop == end || error != std::errc{} ? error : std::errc::invalid_argument;
}

// One run of digits, maybe split by single underscores between digits (as float() takes
// them): the position after it, counting its digits into `digits` and adding them to
// `mantissa` (which wraps past 19 digits, where the caller no longer uses it). A '_' not
// between two digits ends the run there, and the caller then meets it as a byte it refuses.
const char* scan_digits(const char* p, const char* end, std::size_t& digits, bool& underscores,
                        std::uint64_t& mantissa) {
    while (p != end) {
        if (is_digit(*p)) {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
            ++digits;
            ++p;
        } else if (*p == '_' && digits != 0 && is_digit(p[-1]) && p + 1 != end && is_digit(p[1])) {
            underscores = true;
            ++p;
        } else {
            break;
        }
    }
    return p;
}

// The infinities and the signed NaN float() reads (an unsigned NaN is a missing marker).
bool read_word(const char* p, std::size_t size, bool negative, double& value) {
    if (equals_folded(p, size, "inf") || equals_folded(p, size, "infinity")) {
        value = std::numeric_limits<double>::infinity();
    } else if (equals_folded(p, size, "nan")) {
        value = std::numeric_limits<double>::quiet_NaN();
    } else {
        return false;
    }
    value = negative ? -value : value;
    return true;
}

// Reads one trimmed, non-empty cell: what float() reads in it, and the places the tools
// count: the digits after the mark, less the exponent when there is one (1.5e-3: 4,
// 2.5e1: -1, counted as none in a column). False: not sure, the precise parser decides.
bool read_number(const char* cell, std::size_t size, char mark, double& value, std::int64_t& places) {
    const char* p = cell;
    const char* const end = cell + size;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    places = 0;
    if (p != end && !is_digit(*p) && *p != mark) {
        return read_word(p, static_cast<std::size_t>(end - p), negative, value);
    }
    const char* const body = p;
    std::size_t whole = 0;
    std::size_t fraction = 0;
    bool underscores = false;
    std::uint64_t mantissa = 0;
    p = scan_digits(p, end, whole, underscores, mantissa);
    const char* point = nullptr;
    if (p != end && *p == mark) {
        point = p;
        p = scan_digits(p + 1, end, fraction, underscores, mantissa);
    }
    if (whole + fraction == 0) return false;
    const char* const digits_end = p;
    bool has_exponent = false;
    bool exponent_negative = false;
    std::int64_t exponent = 0;  // capped at kScaleCap
    if (p != end && (*p == 'e' || *p == 'E')) {
        has_exponent = true;
        ++p;
        if (p != end && (*p == '+' || *p == '-')) {
            exponent_negative = *p == '-';
            ++p;
        }
        std::size_t count = 0;
        const char* const first = p;
        std::uint64_t unused = 0;
        p = scan_digits(p, end, count, underscores, unused);
        if (count == 0) return false;
        for (const char* q = first; q != p; ++q) {
            if (*q != '_') exponent = std::min(exponent * 10 + (*q - '0'), kScaleCap);
        }
    }
    if (p != end) return false;
    const auto written = static_cast<std::int64_t>(fraction);
    const std::int64_t shift = std::min(exponent, kExponentCap);
    places = !has_exponent ? written : exponent_negative ? written + shift : written - shift;

    if (!underscores && whole + fraction <= 19) {
        // The value is mantissa * 10^scale. With the mantissa below 2^53 and the power
        // of ten at most 10^22 both operands are exact doubles, so the one rounding of
        // the product or quotient gives the correctly rounded value of the decimal.
        const std::int64_t scale = (exponent_negative ? -exponent : exponent) - static_cast<std::int64_t>(fraction);
        const std::int64_t last = static_cast<std::int64_t>(kExactPowers.size()) - 1;
        if (mantissa < kExactInteger && scale >= -last && scale <= last) {
            const double m = static_cast<double>(mantissa);
            const double magnitude = scale < 0 ? m / kExactPowers[static_cast<std::size_t>(-scale)]
                                               : m * kExactPowers[static_cast<std::size_t>(scale)];
            value = negative ? -magnitude : magnitude;
            return true;
        }
    }
    // The general conversion, on the text with its sign as '-' only, its mark as '.'
    // and no underscores.
    const std::size_t length = static_cast<std::size_t>(end - body) + 1;
    std::array<char, kLocalCell> local;
    std::string heap;
    char* copy = local.data();
    if (length > local.size()) {
        heap.resize(length);
        copy = heap.data();
    }
    char* out = copy;
    *out++ = '-';
    for (const char* q = body; q != end; ++q) {
        if (*q == '_') continue;
        *out++ = q == point ? '.' : *q;
    }
    char* const begin = negative ? copy : copy + 1;
    const std::errc error = convert_general(begin, out, value);
    if (error == std::errc{}) return true;
    if (error != std::errc::result_out_of_range) return false;
    // Out of the double range: float() gives an infinity past the largest double and a
    // zero below the least. The scale of the leading digit tells which (|x| < 10^scale).
    std::int64_t scale = 0;
    const char* q = body;
    std::size_t leading = 0;  // zeros before the first other digit
    for (; q != digits_end && (*q == '0' || *q == '_' || q == point); ++q) {
        if (*q == '0') ++leading;
    }
    if (q == digits_end) {  // all zeros: no range to leave (from_chars gives 0 here)
        value = negative ? -0.0 : 0.0;
        return true;
    }
    scale = static_cast<std::int64_t>(whole) - static_cast<std::int64_t>(leading);
    scale += exponent_negative ? -exponent : exponent;
    const double magnitude = scale > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    value = negative ? -magnitude : magnitude;
    return true;
}

// Reads one cell of a line into `value` and raises `places` to its places.
bool read_cell(const char* begin, const char* end, char mark, double& value, std::size_t& places) {
    while (begin != end && is_blank(*begin)) ++begin;
    while (end != begin && is_blank(end[-1])) --end;
    const std::size_t size = static_cast<std::size_t>(end - begin);
    if (size == 0 || is_missing_marker(begin, size)) {
        value = kMissing;  // a missing sample: no digits after a mark
        return true;
    }
    std::int64_t written = 0;
    if (!read_number(begin, size, mark, value, written)) return false;
    if (written > 0) places = std::max(places, static_cast<std::size_t>(written));
    return true;
}

// The common line of one plain decimal and its line break, read in one pass: the
// position after the break, or nullptr when the line needs the general path (blanks,
// markers, long mantissas, many places, no break, anything else).
const char* read_plain_line(const char* p, const char* stop, char mark, double& value,
                            std::size_t& places) {
    bool negative = false;
    if (p != stop && (*p == '-' || *p == '+')) {
        negative = *p == '-';
        ++p;
    }
    std::uint64_t mantissa = 0;
    std::size_t digits = 0;
    const char* point = nullptr;
    for (; p != stop; ++p) {
        const unsigned digit = static_cast<unsigned char>(*p) - unsigned{'0'};
        if (digit < 10) {
            mantissa = mantissa * 10 + digit;  // wraps only past 19 digits, refused below
            ++digits;
        } else if (*p == mark && point == nullptr) {
            point = p;
        } else {
            break;
        }
    }
    const char* const end = p;
    if (p != stop && *p == '\r') ++p;  // "\r\n" ends a line as "\n" does
    if (p == stop || *p != '\n' || digits == 0 || digits > 19 || mantissa >= kExactInteger) {
        return nullptr;
    }
    places = point == nullptr ? 0 : static_cast<std::size_t>(end - point - 1);
    if (places >= kExactPowers.size()) return nullptr;
    // Exact operands, one rounding: the correctly rounded value (see read_number).
    const double magnitude = static_cast<double>(mantissa) / kExactPowers[places];
    value = negative ? -magnitude : magnitude;
    return p + 1;
}

}  // namespace

std::optional<std::vector<TextColumn>> read_text_columns(std::string_view text,
                                                         const TextLayout& layout) {
    const std::size_t width = layout.width;
    if (width == 0 || (width > 1 && layout.delimiter == layout.mark)) return std::nullopt;
    for (std::size_t column : layout.columns) {
        if (column >= width) return std::nullopt;
    }

    // Where each cell goes: the output column, or none for a column only checked. A
    // column asked for twice is read into its first output and copied at the end.
    constexpr std::size_t kUnused = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> target(width, kUnused);
    for (std::size_t k = 0; k < layout.columns.size(); ++k) {
        if (target[layout.columns[k]] == kUnused) target[layout.columns[k]] = k;
    }

    std::vector<TextColumn> columns(layout.columns.size());
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) +
                              (text.empty() || text.back() == '\n' ? 0 : 1);
    for (std::size_t k = 0; k < columns.size(); ++k) {
        if (target[layout.columns[k]] == k) reserve_large(columns[k].values, lines);
    }

    WorkPoll poll;
    std::size_t unused_places = 0;
    const char* p = text.data();
    const char* const stop = p + text.size();
    while (p != stop) {
        if (width == 1) {
            double value = 0.0;
            std::size_t written = 0;
            if (const char* after = read_plain_line(p, stop, layout.mark, value, written)) {
                const std::size_t k = target[0];
                if (k != kUnused) {
                    columns[k].values.push_back(value);
                    columns[k].places = std::max(columns[k].places, written);
                }
                p = after;
                poll.tick();
                continue;
            }
        }
        const void* found = std::memchr(p, '\n', static_cast<std::size_t>(stop - p));
        const char* line_end = found == nullptr ? stop : static_cast<const char*>(found);
        const char* next = found == nullptr ? stop : line_end + 1;
        if (line_end != p && line_end[-1] == '\r') --line_end;
        if (width > 1 && is_blank_line(p, line_end, layout.delimiter)) {
            p = next;  // no row, as to the precise parser
            poll.tick();
            continue;
        }
        // Every other byte of the line belongs to a cell or is a delimiter, and a cell
        // takes none but the plain grammar's: quotes, comment marks and other carriage
        // returns make the reader unsure without a separate look.
        const char* cell = p;
        for (std::size_t index = 0; index < width; ++index) {
            const char* cell_end = line_end;
            if (width > 1) {
                const void* gap = std::memchr(cell, layout.delimiter, static_cast<std::size_t>(line_end - cell));
                if (index + 1 < width) {
                    if (gap == nullptr) return std::nullopt;  // too few cells
                    cell_end = static_cast<const char*>(gap);
                } else if (gap != nullptr) {
                    return std::nullopt;  // too many cells
                }
            }
            double value = 0.0;
            const std::size_t k = target[index];
            std::size_t& places = k == kUnused ? unused_places : columns[k].places;
            if (!read_cell(cell, cell_end, layout.mark, value, places)) return std::nullopt;
            if (k != kUnused) columns[k].values.push_back(value);
            cell = cell_end + 1;
        }
        p = next;
        poll.tick();
    }
    for (std::size_t k = 0; k < columns.size(); ++k) {
        const std::size_t first = target[layout.columns[k]];
        if (first != k) columns[k] = columns[first];
    }
    return columns;
}

}  // namespace kestrel
