#include "common/json_read.h"

#include <cmath>
#include <cstdlib>
#include <utility>

namespace common {

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  bool document(JsonValue& value, std::string& error) {
    skip_space();
    if (!parse_value(value, 0)) {
      error = error_;
      return false;
    }
    skip_space();
    if (pos_ != text_.size()) {
      fail("text after the document");
      error = error_;
      return false;
    }
    return true;
  }

 private:
  bool fail(const char* what) {
    if (error_.empty()) error_ = std::string(what) + " at byte " + std::to_string(pos_ + 1);
    return false;
  }

  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return at_end() ? '\0' : text_[pos_]; }

  void skip_space() {
    while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++pos_;
  }

  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return fail("not a JSON value");
    pos_ += word.size();
    return true;
  }

  bool parse_value(JsonValue& v, int depth) {
    if (at_end()) return fail("the document ends where a value should be");
    if (++values_ > kJsonReadMaxValues) return fail("more values than a report holds");
    switch (peek()) {
      case '{': return parse_object(v, depth + 1);
      case '[': return parse_array(v, depth + 1);
      case '"': v.type = JsonValue::Type::kString; return parse_string(v.text);
      case 't': v.type = JsonValue::Type::kBool; v.boolean = true; return literal("true");
      case 'f': v.type = JsonValue::Type::kBool; v.boolean = false; return literal("false");
      case 'n': v.type = JsonValue::Type::kNull; return literal("null");
      default: return parse_number(v);
    }
  }

  // After '{' or '[': true (and past it) when `close` follows at once.
  bool closes_at_once(char close) {
    ++pos_;
    skip_space();
    if (peek() != close) return false;
    ++pos_;
    return true;
  }

  // After a member or an item: *more tells a ',' from the `close` that ends
  // the container; false for anything else.
  bool next_item(char close, bool* more) {
    skip_space();
    *more = peek() == ',';
    if (*more || peek() == close) {
      ++pos_;
      return true;
    }
    return fail(close == '}' ? "',' or '}' should be here" : "',' or ']' should be here");
  }

  bool parse_object(JsonValue& v, int depth) {
    if (depth > kJsonReadMaxDepth) return fail("nested too deep");
    v.type = JsonValue::Type::kObject;
    if (closes_at_once('}')) return true;
    for (bool more = true; more;) {
      skip_space();
      if (peek() != '"') return fail("a member name should be here");
      std::string key;
      if (!parse_string(key)) return false;
      skip_space();
      if (peek() != ':') return fail("':' should follow the member name");
      ++pos_;
      skip_space();
      v.members.push_back(JsonMember{std::move(key), JsonValue{}});
      if (!parse_value(v.members.back().value, depth) || !next_item('}', &more)) return false;
    }
    return true;
  }

  bool parse_array(JsonValue& v, int depth) {
    if (depth > kJsonReadMaxDepth) return fail("nested too deep");
    v.type = JsonValue::Type::kArray;
    if (closes_at_once(']')) return true;
    for (bool more = true; more;) {
      skip_space();
      v.items.emplace_back();
      if (!parse_value(v.items.back(), depth) || !next_item(']', &more)) return false;
    }
    return true;
  }

  // Four hex digits after "\u".
  bool hex4(uint32_t* unit) {
    if (text_.size() - pos_ < 4) return fail("\\u needs four hex digits");
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_ + i];
      u <<= 4;
      if (c >= '0' && c <= '9') u |= c - '0';
      else if (c >= 'a' && c <= 'f') u |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') u |= c - 'A' + 10;
      else return fail("\\u needs four hex digits");
    }
    pos_ += 4;
    *unit = u;
    return true;
  }

  static void put_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool parse_escape(std::string& out) {
    const char c = peek();
    ++pos_;
    switch (c) {
      case '"': out += '"'; return true;
      case '\\': out += '\\'; return true;
      case '/': out += '/'; return true;
      case 'b': out += '\b'; return true;
      case 'f': out += '\f'; return true;
      case 'n': out += '\n'; return true;
      case 'r': out += '\r'; return true;
      case 't': out += '\t'; return true;
      case 'u': break;
      default: --pos_; return fail("unknown escape");
    }
    uint32_t unit = 0;
    if (!hex4(&unit)) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      uint32_t low = 0;
      if (text_.substr(pos_, 2) != "\\u") return fail("a high surrogate without its low one");
      pos_ += 2;
      if (!hex4(&low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return fail("a high surrogate without its low one");
      put_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      return true;
    }
    if (unit >= 0xDC80 && unit <= 0xDCFF) {
      out += static_cast<char>(unit - 0xDC00);  // a byte that was not UTF-8
      return true;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail("a lone low surrogate");
    put_utf8(out, unit);
    return true;
  }

  bool parse_string(std::string& out) {
    ++pos_;  // the opening quote
    for (;;) {
      if (at_end()) return fail("the document ends inside a string");
      const unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return fail("a control character inside a string");
      ++pos_;
      if (c == '\\') {
        if (!parse_escape(out)) return false;
      } else {
        out += static_cast<char>(c);
      }
    }
  }

  static bool digit(char c) { return c >= '0' && c <= '9'; }

  bool parse_number(JsonValue& v) {
    const size_t start = pos_;
    if (peek() == '-') ++pos_;
    if (peek() == '0') {
      ++pos_;
    } else if (digit(peek())) {
      while (digit(peek())) ++pos_;
    } else {
      pos_ = start;
      return fail("not a JSON value");
    }
    if (peek() == '.') {
      ++pos_;
      if (!digit(peek())) return fail("a digit should follow the decimal point");
      while (digit(peek())) ++pos_;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++pos_;
      if (peek() == '+' || peek() == '-') ++pos_;
      if (!digit(peek())) return fail("a digit should follow the exponent mark");
      while (digit(peek())) ++pos_;
    }
    // The grammar above leaves nothing that strtod reads otherwise; the
    // copy ends the number for it.
    const std::string number(text_.substr(start, pos_ - start));
    v.type = JsonValue::Type::kNumber;
    v.number = std::strtod(number.c_str(), nullptr);
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
  int values_ = 0;
  std::string error_;
};

}  // namespace

const JsonValue* JsonValue::member(std::string_view key) const {
  if (type != Type::kObject) return nullptr;
  for (const auto& m : members) {
    if (m.key == key) return &m.value;
  }
  return nullptr;
}

bool JsonValue::whole_number(int64_t low, int64_t high, int64_t* value) const {
  if (type != Type::kNumber || !std::isfinite(number) || number != std::floor(number)) return false;
  if (number < static_cast<double>(low) || number > static_cast<double>(high)) return false;
  *value = static_cast<int64_t>(number);
  return true;
}

bool json_parse(std::string_view text, JsonValue& value, std::string& error) {
  value = JsonValue{};
  return Parser(text).document(value, error);
}

}  // namespace common
