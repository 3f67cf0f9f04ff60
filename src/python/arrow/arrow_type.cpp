// Reading an ArrowSchema's format string into an ArrowType. The format
// grammar is the C data interface's: one letter for a primitive, "t.." for
// times, "d:P,S[,bits]" for decimals, "+.." for nested types, "v." for views.
#include "python/arrow/arrow_type.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "python/arrow/arrow_invalid.hpp"

namespace colenc::py {
namespace {

constexpr int kMaxNesting = 64;

const char* unit_name(int digits) {
  switch (digits) {
    case 0:
      return "s";
    case 3:
      return "ms";
    case 6:
      return "us";
    default:
      return "ns";
  }
}

// Returns the value of `key` in the schema's metadata, or nothing. The
// metadata is the producer's own description of its schema: int32 pair count,
// then per pair an int32 length and the key's bytes, the same for the value.
std::string_view metadata_value(const char* metadata, std::string_view key) {
  if (metadata == nullptr) return {};
  const auto read_int = [&](const char*& at) {
    std::int32_t value;
    std::memcpy(&value, at, sizeof value);
    at += sizeof value;
    return value;
  };
  const char* at = metadata;
  const std::int32_t pairs = read_int(at);
  for (std::int32_t k = 0; k < pairs; ++k) {
    const std::int32_t key_size = read_int(at);
    if (key_size < 0) return {};
    const std::string_view found(at, static_cast<std::size_t>(key_size));
    at += key_size;
    const std::int32_t value_size = read_int(at);
    if (value_size < 0) return {};
    if (found == key) return std::string_view(at, static_cast<std::size_t>(value_size));
    at += value_size;
  }
  return {};
}

std::string child_name(const ArrowSchema& schema, std::int64_t k, int depth);

// The pyarrow-style name of a type that colenc does not read.
std::string nested_name(const ArrowSchema& schema, std::string_view format, int depth) {
  const auto children = [&](bool with_names) {
    std::string out;
    for (std::int64_t k = 0; k < schema.n_children; ++k) {
      if (k != 0) out += ", ";
      const ArrowSchema* child = schema.children ? schema.children[k] : nullptr;
      if (with_names && child != nullptr && child->name != nullptr) {
        out += child->name;
        out += ": ";
      }
      out += child_name(schema, k, depth);
    }
    return out;
  };
  if (format == "+l") return "list<" + children(false) + ">";
  if (format == "+L") return "large_list<" + children(false) + ">";
  if (format == "+vl") return "list_view<" + children(false) + ">";
  if (format == "+vL") return "large_list_view<" + children(false) + ">";
  if (format.starts_with("+w:")) {
    return "fixed_size_list<" + children(false) + ">[" + std::string(format.substr(3)) + "]";
  }
  if (format == "+s") return "struct<" + children(true) + ">";
  if (format == "+m") return "map<" + children(false) + ">";
  if (format.starts_with("+ud")) return "dense_union<" + children(true) + ">";
  if (format.starts_with("+us")) return "sparse_union<" + children(true) + ">";
  if (format == "+r") return "run_end_encoded<" + children(true) + ">";
  return "format '" + std::string(format) + "'";
}

std::string child_name(const ArrowSchema& schema, std::int64_t k, int depth) {
  const ArrowSchema* child = schema.children ? schema.children[k] : nullptr;
  if (child == nullptr || depth >= kMaxNesting) return "?";
  ArrowType type;
  try {
    type = read_arrow_type(*child);
  } catch (const ArrowInvalid&) {
    return "?";
  }
  return type.name;
}

ArrowType read_type(const ArrowSchema& schema, int depth) {
  if (schema.format == nullptr) throw ArrowInvalid("a schema without a format");
  if (depth > kMaxNesting) throw ArrowInvalid("a schema nested too deep");
  const std::string_view format(schema.format);
  ArrowType type;

  const std::string_view extension = metadata_value(schema.metadata, "ARROW:extension:name");
  if (!extension.empty()) {
    type.name = "extension<" + std::string(extension) + ">";
    return type;
  }
  if (schema.dictionary != nullptr) {
    ArrowType index = read_type(
        ArrowSchema{schema.format, nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr},
        depth + 1);
    auto value = std::make_shared<ArrowType>(read_type(*schema.dictionary, depth + 1));
    type.name = "dictionary<values=" + value->name + ", indices=" + index.name + ">";
    if (index.kind != ArrowKind::kInt && index.kind != ArrowKind::kUInt) {
      throw ArrowInvalid("a dictionary whose indices are " + index.name);
    }
    type.kind = ArrowKind::kDictionary;
    type.byte_width = index.byte_width;
    type.index_signed = index.kind == ArrowKind::kInt;
    type.value = std::move(value);
    return type;
  }

  struct Primitive {
    std::string_view format;
    ArrowKind kind;
    int width;
    const char* name;
  };
  static constexpr Primitive kPrimitives[] = {
      {"n", ArrowKind::kNull, 0, "null"},
      {"b", ArrowKind::kBool, 0, "bool"},
      {"c", ArrowKind::kInt, 1, "int8"},
      {"C", ArrowKind::kUInt, 1, "uint8"},
      {"s", ArrowKind::kInt, 2, "int16"},
      {"S", ArrowKind::kUInt, 2, "uint16"},
      {"i", ArrowKind::kInt, 4, "int32"},
      {"I", ArrowKind::kUInt, 4, "uint32"},
      {"l", ArrowKind::kInt, 8, "int64"},
      {"L", ArrowKind::kUInt, 8, "uint64"},
      {"e", ArrowKind::kFloat16, 2, "halffloat"},
      {"f", ArrowKind::kFloat32, 4, "float"},
      {"g", ArrowKind::kFloat64, 8, "double"},
      {"u", ArrowKind::kUtf8, 0, "string"},
      {"U", ArrowKind::kLargeUtf8, 0, "large_string"},
      {"vu", ArrowKind::kUtf8View, 0, "string_view"},
      {"tdD", ArrowKind::kDate32, 4, "date32[day]"},
      {"tdm", ArrowKind::kDate64, 8, "date64[ms]"},
      {"z", ArrowKind::kUnsupported, 0, "binary"},
      {"Z", ArrowKind::kUnsupported, 0, "large_binary"},
      {"vz", ArrowKind::kUnsupported, 0, "binary_view"},
      {"tiM", ArrowKind::kUnsupported, 0, "month_interval"},
      {"tiD", ArrowKind::kUnsupported, 0, "day_time_interval"},
      {"tin", ArrowKind::kUnsupported, 0, "month_day_nano_interval"},
  };
  for (const Primitive& primitive : kPrimitives) {
    if (format == primitive.format) {
      type.kind = primitive.kind;
      type.byte_width = primitive.width;
      type.name = primitive.name;
      return type;
    }
  }
  if (format.size() == 3 && format[0] == 't' && (format[1] == 't' || format[1] == 'D')) {
    type.digits = unit_digits(format[2]);
    if (type.digits < 0) throw ArrowInvalid("an unknown time format '" + std::string(format) + "'");
    if (format[1] == 'D') {
      type.kind = ArrowKind::kDuration;
      type.byte_width = 8;
      type.name = std::string("duration[") + unit_name(type.digits) + "]";
    } else {
      const bool narrow = type.digits <= 3;
      type.kind = narrow ? ArrowKind::kTime32 : ArrowKind::kTime64;
      type.byte_width = narrow ? 4 : 8;
      type.name = std::string(narrow ? "time32[" : "time64[") + unit_name(type.digits) + "]";
    }
    return type;
  }
  if (format.size() >= 4 && format.starts_with("ts") && format[3] == ':') {
    type.digits = unit_digits(format[2]);
    if (type.digits < 0) throw ArrowInvalid("an unknown time format '" + std::string(format) + "'");
    type.kind = ArrowKind::kTimestamp;
    type.byte_width = 8;
    type.zone = std::string(format.substr(4));
    type.zoned = !type.zone.empty();
    type.name = std::string("timestamp[") + unit_name(type.digits) +
                (type.zoned ? ", tz=" + type.zone : std::string()) + "]";
    return type;
  }
  if (format.starts_with("d:")) {
    // d:precision,scale[,bits]
    int numbers[3] = {0, 0, 128};
    int count = 0;
    const char* at = format.data() + 2;
    const char* end = format.data() + format.size();
    while (count < 3) {
      const auto [next, error] = std::from_chars(at, end, numbers[count]);
      if (error != std::errc()) break;
      ++count;
      at = next;
      if (at == end || *at != ',') break;
      ++at;
    }
    const int bits = numbers[2];
    if (count < 2 || at != end || (bits != 32 && bits != 64 && bits != 128 && bits != 256)) {
      throw ArrowInvalid("an unknown decimal format '" + std::string(format) + "'");
    }
    type.kind = ArrowKind::kDecimal;
    type.scale = numbers[1];
    type.decimal_bits = bits;
    type.byte_width = bits / 8;
    type.name = "decimal" + std::to_string(bits) + "(" + std::to_string(numbers[0]) + ", " +
                std::to_string(numbers[1]) + ")";
    return type;
  }
  if (format.starts_with("w:")) {
    type.name = "fixed_size_binary[" + std::string(format.substr(2)) + "]";
    return type;
  }
  type.name = nested_name(schema, format, depth + 1);
  return type;
}

}  // namespace

int unit_digits(char unit) {
  switch (unit) {
    case 's':
      return 0;
    case 'm':
      return 3;
    case 'u':
      return 6;
    case 'n':
      return 9;
    default:
      return -1;
  }
}

ArrowRole ArrowType::role() const {
  switch (kind) {
    case ArrowKind::kNull:
    case ArrowKind::kBool:
    case ArrowKind::kInt:
    case ArrowKind::kUInt:
    case ArrowKind::kFloat16:
    case ArrowKind::kFloat32:
    case ArrowKind::kFloat64:
    case ArrowKind::kDecimal:
      return ArrowRole::kNumber;
    case ArrowKind::kUtf8:
    case ArrowKind::kLargeUtf8:
    case ArrowKind::kUtf8View:
      return ArrowRole::kText;
    case ArrowKind::kDate32:
    case ArrowKind::kDate64:
    case ArrowKind::kTime32:
    case ArrowKind::kTime64:
    case ArrowKind::kTimestamp:
    case ArrowKind::kDuration:
      return ArrowRole::kTime;
    case ArrowKind::kDictionary: {
      const ArrowRole values = value->role();
      // Dictionaries of numbers and of texts only; of times, nulls or other
      // dictionaries, none.
      if (value->kind == ArrowKind::kNull || value->kind == ArrowKind::kDictionary) {
        return ArrowRole::kUnsupported;
      }
      return values == ArrowRole::kTime ? ArrowRole::kUnsupported : values;
    }
    case ArrowKind::kUnsupported:
      break;
  }
  return ArrowRole::kUnsupported;
}

ArrowType read_arrow_type(const ArrowSchema& schema) { return read_type(schema, 0); }

}  // namespace colenc::py
