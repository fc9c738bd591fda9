// A reader of JSON documents (RFC 8259), for the reports that kovrin-detect
// reads back.
//
// Strings come back as bytes: escapes are decoded to UTF-8, and the escapes
// \udc80 to \udcff that stand alone (the writer's form of a byte that is not
// UTF-8, see json.h) become the bytes 0x80 to 0xff again.  Any other lone
// surrogate is an error.
#ifndef KOVRIN_COMMON_JSON_READ_H_
#define KOVRIN_COMMON_JSON_READ_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace common {

// Arrays and objects may nest this deep; a deeper document is refused
// rather than read by ever deeper recursion.
constexpr int kJsonReadMaxDepth = 64;
// A document may hold at most this many values, which bounds the memory a
// reading takes whatever the input (a real report holds a few thousand).
constexpr int kJsonReadMaxValues = 100000;

struct JsonMember;

struct JsonValue {
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = Type::kNull;
  bool boolean = false;
  double number = 0.0;
  std::string text;  // a string's bytes
  std::vector<JsonValue> items;
  std::vector<JsonMember> members;  // in the document's order

  // The first member named `key`, or nullptr (also when not an object).
  const JsonValue* member(std::string_view key) const;
  // The number, when it is a whole number from `low` to `high`.
  bool whole_number(int64_t low, int64_t high, int64_t* value) const;
};

struct JsonMember {
  std::string key;
  JsonValue value;
};

// Parses `text`, which must hold one value and nothing else but white space.
// On failure returns false and sets `error` to what is wrong and where
// ("... at byte N", counted from 1).
bool json_parse(std::string_view text, JsonValue& value, std::string& error);

}  // namespace common

#endif  // KOVRIN_COMMON_JSON_READ_H_
