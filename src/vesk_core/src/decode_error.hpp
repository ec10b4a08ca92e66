// vesk.DecodeError: the exception of text that does not read, a subclass of
// json.JSONDecodeError that tells where the error is as numbers (its byte
// offset, line and column, and the table cell), with its message as the
// readers have always worded it.
#pragma once

#include <cstdint>

#include "parser/error.hpp"
#include "py_ref.hpp"

namespace vesk {

// Creates the type (on json.JSONDecodeError) and adds it to `module` as
// `DecodeError`; false with the exception set.
bool add_decode_error_type(PyObject* module);

// Raises `error`, seen in the `length` bytes of `input` (the whole text, so
// that lines count from its start), as a DecodeError; always an empty PyRef.
PyRef raise_decode_error(const uint8_t* input, uint64_t length, const ParseError& error);

// Names the table cell of the pending DecodeError: its row (from 1) and
// column (the header name; null for a cell beyond the names), unless a table
// inside the cell has named its own. Any other pending exception is left as
// it is.
void name_cell(uint64_t row, PyObject* column);

}  // namespace vesk
