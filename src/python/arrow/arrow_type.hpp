// ArrowType: what colenc makes of an Arrow column's type, read from its
// ArrowSchema (format string, dictionary, extension metadata): the storage
// to read, the unit and zone of a time, and the type's name for messages.
#pragma once

#include <memory>
#include <string>

#include "python/input/arrow_c_abi.hpp"

namespace colenc::py {

enum class ArrowKind {
  kNull,       // n: nulls only
  kBool,       // b: bit-packed
  kInt,        // c s i l
  kUInt,       // C S I L
  kFloat16,    // e
  kFloat32,    // f
  kFloat64,    // g
  kDecimal,    // d:P,S[,bits]
  kUtf8,       // u: int32 offsets
  kLargeUtf8,  // U: int64 offsets
  kUtf8View,   // vu: 16-byte views
  kDate32,     // tdD: days
  kDate64,     // tdm: milliseconds
  kTime32,     // tts ttm
  kTime64,     // ttu ttn
  kTimestamp,  // ts?:zone
  kDuration,   // tD?
  kDictionary,
  kUnsupported,
};

// How a column of a type is encoded: numbers pass as float64, texts and
// times are label-encoded.
enum class ArrowRole { kNumber, kText, kTime, kUnsupported };

struct ArrowType {
  ArrowKind kind = ArrowKind::kUnsupported;
  int byte_width = 0;                      // integers and dictionary indices: 1, 2, 4 or 8
  bool index_signed = false;               // dictionaries: signed indices
  int digits = 0;                          // times: ticks of 10^-digits seconds (0, 3, 6, 9)
  bool zoned = false;                      // timestamps: has a time zone
  std::string zone;                        // timestamps: the zone's name or offset
  int scale = 0;                           // decimals
  int decimal_bits = 0;                    // decimals: 32, 64, 128 or 256
  std::shared_ptr<const ArrowType> value;  // dictionaries: the type of the values
  std::string name;                        // e.g. "timestamp[ns, tz=UTC]", "list<int64>"

  // Number, text, time or unsupported; a dictionary takes its values' role.
  ArrowRole role() const;
};

// The digits of a second in an Arrow time unit letter ('s', 'm', 'u', 'n'):
// 0, 3, 6 or 9; -1 for any other letter.
int unit_digits(char unit);

// Reads the type of `schema` (borrowed). Never fails: a type colenc cannot
// read is kUnsupported, with its name. Throws ArrowInvalid (see
// arrow_array_view.hpp) for a format string it cannot parse.
ArrowType read_arrow_type(const ArrowSchema& schema);

}  // namespace colenc::py
