// A strict checker of JSON text (RFC 8259) for the fuzz targets: true when
// text is exactly one JSON value, with white space around it.
#ifndef KOVRIN_TESTS_JSON_SYNTAX_H_
#define KOVRIN_TESTS_JSON_SYNTAX_H_

#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace json_syntax {

struct Reader {
  const char* p;
  const char* end;
  int depth;
};

inline void skip_space(Reader& r) {
  while (r.p < r.end && (*r.p == ' ' || *r.p == '\t' || *r.p == '\n' || *r.p == '\r')) ++r.p;
}

inline bool literal(Reader& r, const char* word) {
  for (; *word; ++word, ++r.p) {
    if (r.p == r.end || *r.p != *word) return false;
  }
  return true;
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline bool number(Reader& r) {
  if (r.p < r.end && *r.p == '-') ++r.p;
  if (r.p == r.end) return false;
  if (*r.p == '0') {
    ++r.p;
  } else if (is_digit(*r.p)) {
    while (r.p < r.end && is_digit(*r.p)) ++r.p;
  } else {
    return false;
  }
  if (r.p < r.end && *r.p == '.') {
    ++r.p;
    if (r.p == r.end || !is_digit(*r.p)) return false;
    while (r.p < r.end && is_digit(*r.p)) ++r.p;
  }
  if (r.p < r.end && (*r.p == 'e' || *r.p == 'E')) {
    ++r.p;
    if (r.p < r.end && (*r.p == '+' || *r.p == '-')) ++r.p;
    if (r.p == r.end || !is_digit(*r.p)) return false;
    while (r.p < r.end && is_digit(*r.p)) ++r.p;
  }
  return true;
}

// A string; the bytes inside must be valid UTF-8 (the writer escapes the rest).
inline bool string(Reader& r) {
  if (r.p == r.end || *r.p != '"') return false;
  ++r.p;
  while (r.p < r.end) {
    const unsigned char c = static_cast<unsigned char>(*r.p);
    if (c == '"') {
      ++r.p;
      return true;
    }
    if (c < 0x20) return false;
    if (c == '\\') {
      ++r.p;
      if (r.p == r.end) return false;
      const char e = *r.p++;
      if (e == 'u') {
        for (int i = 0; i < 4; ++i, ++r.p) {
          if (r.p == r.end) return false;
          const char h = *r.p;
          if (!is_digit(h) && !(h >= 'a' && h <= 'f') && !(h >= 'A' && h <= 'F')) return false;
        }
      } else if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' &&
                 e != 'r' && e != 't') {
        return false;
      }
      continue;
    }
    int extra = c < 0x80 ? 0 : c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2
              : c >= 0xF0 && c <= 0xF4 ? 3 : -1;
    if (extra < 0) return false;
    ++r.p;
    for (; extra > 0; --extra, ++r.p) {
      if (r.p == r.end || (static_cast<unsigned char>(*r.p) & 0xC0) != 0x80) return false;
    }
  }
  return false;
}

inline bool value(Reader& r);

inline bool container(Reader& r, char close, bool members) {
  ++r.p;
  if (++r.depth > 64) return false;
  skip_space(r);
  if (r.p < r.end && *r.p == close) {
    ++r.p;
    --r.depth;
    return true;
  }
  for (;;) {
    skip_space(r);
    if (members) {
      if (!string(r)) return false;
      skip_space(r);
      if (r.p == r.end || *r.p != ':') return false;
      ++r.p;
      skip_space(r);
    }
    if (!value(r)) return false;
    skip_space(r);
    if (r.p == r.end) return false;
    if (*r.p == close) {
      ++r.p;
      --r.depth;
      return true;
    }
    if (*r.p != ',') return false;
    ++r.p;
  }
}

inline bool value(Reader& r) {
  if (r.p == r.end) return false;
  switch (*r.p) {
    case '{': return container(r, '}', true);
    case '[': return container(r, ']', false);
    case '"': return string(r);
    case 't': return literal(r, "true");
    case 'f': return literal(r, "false");
    case 'n': return literal(r, "null");
    default: return number(r);
  }
}

inline bool valid(const char* text, size_t length) {
  Reader r{text, text + length, 0};
  skip_space(r);
  if (!value(r)) return false;
  skip_space(r);
  return r.p == r.end;
}

// Runs write(FILE*) into memory and aborts, showing the text, unless it
// wrote one valid JSON document: how the fuzz targets check their reports.
template <typename Write>
void require_valid(Write write) {
  char* text = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&text, &length);
  if (out == nullptr) std::abort();
  write(out);
  std::fclose(out);
  if (!valid(text, length)) {
    std::fwrite(text, 1, length, stderr);
    std::abort();
  }
  std::free(text);
}

}  // namespace json_syntax

#endif  // KOVRIN_TESTS_JSON_SYNTAX_H_
