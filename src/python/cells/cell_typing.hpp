// The typing of one cell, shared by every reader: a column stays numeric
// while its cells convert to float64, turns to text for good at the first that
// does not, and from then on takes each cell's str() as UTF-8, read from the
// str's own code units. Which cells are plain (readable without running Python
// code) is decided here alone. Where a cell goes is up to a sink.
#pragma once

#include <Python.h>

#include <cassert>
#include <charconv>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <source_location>
#include <string>
#include <string_view>

#include "core/hashing/recent_texts.hpp"
#include "python/runtime/errors.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {

// Throws InternalError "cant convert to str: {error}" for the set Python
// exception, or PythonError for a non-Exception error.
[[noreturn]] void fail_str_conversion();

// A sink is where one column's cells go: whether it has turned to text; the
// next row as a number; the turn, after which the numbers so far are texts;
// the next row as a UTF-8 text whose bytes may be read up to `readable`; the
// next row as the UTF-8 form of `count` code units of `unit_bytes` bytes each
// (see append_utf8).
template <class Sink>
concept CellSink = requires(Sink& sink, const Sink& held, double value, std::string_view text,
                            const char* readable, const void* units, std::size_t count,
                            unsigned unit_bytes) {
  { held.is_text() } -> std::convertible_to<bool>;
  sink.push_number(value);
  sink.turn_to_text();
  sink.push_text(text, readable);
  sink.push_units(units, count, unit_bytes);
};

// Adds the UTF-8 form of `text`, a str object (borrowed), read from its own
// code units: nothing is cached on the object. Lone surrogates, which UTF-8
// cannot hold, become three U+FFFD each.
// REQUIRES: PyUnicode_Check(text).
template <CellSink Sink>
void push_str(PyObject* text, Sink& sink) {
  assert(PyUnicode_Check(text));
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
  const void* data = PyUnicode_DATA(text);
  if (PyUnicode_IS_COMPACT_ASCII(text)) {
    // Its bytes end the object's header, so the 8 bytes that end with them
    // lie in the object whatever their number.
    const char* bytes = static_cast<const char*>(data);
    sink.push_text(std::string_view(bytes, length), RecentTexts::eight_readable_before());
  } else if (PyUnicode_IS_ASCII(text)) {
    // Followed by its terminating NUL, which may be read too.
    const char* bytes = static_cast<const char*>(data);
    sink.push_text(std::string_view(bytes, length), bytes + length + 1);
  } else {
    sink.push_units(data, length, PyUnicode_KIND(text));
  }
}

// Adds the literal `text`, whose terminating NUL may be read too.
template <CellSink Sink, std::size_t N>
void push_literal(Sink& sink, const char (&text)[N]) {
  sink.push_text(std::string_view(text, N - 1), text + N);
}

// Adds the text form of `cell` (borrowed): its str(). Throws InternalError
// "cant convert to str: ..." when str() fails.
// REQUIRES: the calling thread holds the interpreter lock (str() runs code).
template <CellSink Sink>
void push_text_form(PyObject* cell, Sink& sink) {
  if (PyUnicode_CheckExact(cell)) {
    push_str(cell, sink);  // str() of an exact str is the object itself
    return;
  }
  PyRef text = PyRef::steal(PyObject_Str(cell));
  if (!text) fail_str_conversion();
  push_str(text.get(), sink);
}

// Returns true when `cell` (borrowed) is plain: adding it to a column that
// is text (`is_text`) or still numeric reads the object alone, with no call
// into the interpreter, so it runs no Python code and cannot fail. Plain are
// an exact str; True, False and None; an exact int of one digit (below
// 2**30); an exact float while the column is numeric, and NaN or an infinity
// once it is text. Any other cell needs the interpreter: a worker must not
// add it, and the calling thread holds a reference to it while it is added,
// since its conversion may run code that drops the table's own. The one test
// of that for every reader.
inline bool is_plain_cell(PyObject* cell, bool is_text) {
  PyTypeObject* const type = Py_TYPE(cell);
  if (type == &PyUnicode_Type || type == &PyBool_Type || cell == Py_None) return true;
  if (type == &PyLong_Type) {
    return PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(cell)) != 0;
  }
  if (type != &PyFloat_Type) return false;
  const double value = PyFloat_AS_DOUBLE(cell);
  // str() of these is the only float text that needs no formatting.
  return !is_text || value != value || value == HUGE_VAL || value == -HUGE_VAL;
}

// Adds `cell` (borrowed) and returns true when it is plain (is_plain_cell);
// returns false, having done nothing, for any other cell. Only reads the
// object, so it may run on any thread while the caller holds the interpreter
// lock and runs no Python code. Adds exactly as add_cell does.
// REQUIRES: cell != nullptr, and the table it comes from stays unchanged
//           while it is read.
template <CellSink Sink>
bool add_plain_cell(PyObject* cell, Sink& sink) {
  if (!is_plain_cell(cell, sink.is_text())) return false;
  PyTypeObject* const type = Py_TYPE(cell);
  if (type == &PyUnicode_Type || cell == Py_None) {
    // Neither converts to float: the column is text from here on.
    if (!sink.is_text()) sink.turn_to_text();
    if (cell == Py_None) {
      push_literal(sink, "None");
    } else {
      push_str(cell, sink);
    }
    return true;
  }
  if (type == &PyFloat_Type) {
    const double value = PyFloat_AS_DOUBLE(cell);
    if (!sink.is_text()) {
      sink.push_number(value);
    } else if (value != value) {
      push_literal(sink, "nan");
    } else if (value == HUGE_VAL) {
      push_literal(sink, "inf");
    } else {
      push_literal(sink, "-inf");
    }
    return true;
  }
  if (type == &PyBool_Type) {
    const bool value = cell == Py_True;
    if (!sink.is_text()) {
      sink.push_number(value ? 1.0 : 0.0);
    } else if (value) {
      push_literal(sink, "True");
    } else {
      push_literal(sink, "False");
    }
    return true;
  }
  const Py_ssize_t value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(cell));
  if (!sink.is_text()) {
    sink.push_number(static_cast<double>(value));
  } else {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    sink.push_text(std::string_view(digits, static_cast<std::size_t>(end - digits)), end);
  }
  return true;
}

// True when float(cell) is sure to fail without running any code: `cell`
// is no float and its type has neither __float__ nor __index__ (a datetime,
// a Timestamp), which PyFloat_AsDouble would report with a TypeError, an
// exception that costs more than the rest of the cell's typing.
inline bool has_no_float_form(PyObject* cell) {
  const PyNumberMethods* number = Py_TYPE(cell)->tp_as_number;
  return !PyFloat_Check(cell) &&
         (number == nullptr || (number->nb_float == nullptr && number->nb_index == nullptr));
}

// Adds one cell (borrowed): its float64 value while the column is numeric;
// at the first cell whose float conversion fails the column turns to text,
// and from then on each cell's str() text is added.
// REQUIRES: cell != nullptr, and the calling thread holds the interpreter
//           lock (a conversion runs Python code).
template <CellSink Sink>
void add_cell(PyObject* cell, Sink& sink) {
  assert(cell != nullptr);
  if (add_plain_cell(cell, sink)) return;
  if (!sink.is_text()) {
    double value;
    if (PyFloat_CheckExact(cell)) {
      value = PyFloat_AS_DOUBLE(cell);
    } else if (has_no_float_form(cell)) {
      sink.turn_to_text();
      push_text_form(cell, sink);
      return;
    } else {
      value = PyFloat_AsDouble(cell);
      if (value == -1.0 && PyErr_Occurred()) {
        clear_ordinary_error();
        sink.turn_to_text();
        push_text_form(cell, sink);
        return;
      }
    }
    sink.push_number(value);
    return;
  }
  push_text_form(cell, sink);
}

// Adds `cell`, borrowed from a table that the calling thread reads, as
// add_cell does; a cell that is not plain is held while it is added, since
// its conversion may run code that drops the table's reference to it.
// REQUIRES: cell != nullptr, and the calling thread holds the interpreter lock.
template <CellSink Sink>
void add_table_cell(PyObject* cell, Sink& sink) {
  if (is_plain_cell(cell, sink.is_text())) {
    add_cell(cell, sink);
  } else {
    PyRef held = PyRef::borrow(cell);
    add_cell(held.get(), sink);
  }
}

}  // namespace colenc::py
