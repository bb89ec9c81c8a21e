// Texts that callers rely on verbatim: messages that user code and the tests match exactly,
// and names that pickles, reprs and isinstance checks by name see. Change none of them;
// a new fixed text goes here too. Format texts take PyUnicode_FromFormat arguments.
#pragma once

namespace kestrel::texts {

// Pairwise tests, stretches and window scores.
inline constexpr const char* index_out_of_bounds = "index out of bounds";
inline constexpr const char* vertex_index_out_of_bounds = "vertex index out of bounds";
inline constexpr const char* zero_window = "window size must be greater than zero";
inline constexpr const char* window_too_large =
    "window size must be less than or equal to len(time_series)";

// Conversions of arguments.
inline constexpr const char* str_as_sequence = "Can't extract `str` to `Vec`";
inline constexpr const char* cannot_convert = "'%U' object cannot be converted to '%s'";
inline constexpr const char* tuple_length = "expected tuple of length 2, but got tuple of length %zd";

// Options of the variant builders (the tools package repeats these wordings).
inline constexpr const char* kind_choices = "kind must be 'natural' or 'horizontal', not %R";
inline constexpr const char* missing_choices = "missing must be 'raise', 'omit' or 'keep', not %R";
inline constexpr const char* decimals_type = "decimals must be None or an int, not %U";
inline constexpr const char* decimals_range = "decimals must be from 0 to 15, not %S";
inline constexpr const char* penetrable_type = "penetrable must be an int, not %U";
inline constexpr const char* penetrable_range = "penetrable must be >= 0, not %S";

// The graph classes' borrow checks.
inline constexpr const char* already_borrowed = "Already borrowed";
inline constexpr const char* already_mutably_borrowed = "Already mutably borrowed";

// Start-up and internal faults.
inline constexpr const char* second_start_up =
    "Quorvex modules compiled for CPython 3.8 or older may only be initialized once per "
    "interpreter process";
inline constexpr const char* panic_type_name = "quorvex_runtime.PanicException";
inline constexpr const char* default_panic = "panic from Vantrel code";
inline constexpr const char* resuming_panic =
    "--- Quorvex is resuming a panic after fetching a PanicException from Python. ---\n";
inline constexpr const char* uncaught_panic = "uncaught panic at ffi boundary\n";

}  // namespace kestrel::texts
