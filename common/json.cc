#include "common/json.h"

#include "common/version.h"

#include <cmath>
#include <cstring>

namespace common {

namespace {

// Separator and indentation before a value or a key.
void before_value(JsonWriter& w) {
  if (w.after_key) {
    w.after_key = false;
    return;
  }
  if (w.depth == 0) return;
  if (w.has_member[w.depth]) std::fputc(',', w.out);
  w.has_member[w.depth] = true;
  if (w.compact) return;
  std::fputc('\n', w.out);
  for (int i = 0; i < w.depth; ++i) std::fputs("  ", w.out);
}

void open(JsonWriter& w, char bracket) {
  before_value(w);
  std::fputc(bracket, w.out);
  if (w.depth + 1 < kJsonMaxDepth) ++w.depth;
  w.has_member[w.depth] = false;
}

void close(JsonWriter& w, char bracket) {
  const bool had = w.has_member[w.depth];
  if (w.depth > 0) --w.depth;
  if (had && !w.compact) {
    std::fputc('\n', w.out);
    for (int i = 0; i < w.depth; ++i) std::fputs("  ", w.out);
  }
  std::fputc(bracket, w.out);
}

// Length of the valid UTF-8 sequence at p (at most n bytes), or 0.
size_t utf8_length(const unsigned char* p, size_t n) {
  const unsigned char c = p[0];
  size_t len;
  uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (n < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (p[i] & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not valid.
  if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return len;
}

}  // namespace

void json_start(JsonWriter& w, FILE* out, bool compact) {
  std::memset(&w, 0, sizeof w);
  w.out = out;
  w.compact = compact;
}

void json_finish(JsonWriter& w) { std::fputc('\n', w.out); }

void json_begin_object(JsonWriter& w) { open(w, '{'); }
void json_end_object(JsonWriter& w) { close(w, '}'); }
void json_begin_array(JsonWriter& w) { open(w, '['); }
void json_end_array(JsonWriter& w) { close(w, ']'); }

namespace {

void write_string(JsonWriter& w, const char* data, size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  std::fputc('"', w.out);
  for (size_t i = 0; i < length;) {
    const unsigned char c = p[i];
    if (c == '"' || c == '\\') {
      std::fputc('\\', w.out);
      std::fputc(c, w.out);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      std::fprintf(w.out, "\\u%04x", c);
      ++i;
    } else if (const size_t len = utf8_length(p + i, length - i); len > 0) {
      std::fwrite(p + i, 1, len, w.out);
      i += len;
    } else {
      std::fprintf(w.out, "\\udc%02x", c);
      ++i;
    }
  }
  std::fputc('"', w.out);
}

}  // namespace

void json_key(JsonWriter& w, const char* name) {
  before_value(w);
  write_string(w, name, std::strlen(name));
  std::fputs(w.compact ? ":" : ": ", w.out);
  w.after_key = true;
}

void json_document_head(JsonWriter& w, const char* schema, int version) {
  json_key(w, "schema");
  json_string(w, schema);
  json_key(w, "schema_version");
  json_int(w, version);
  json_key(w, "program_version");
  json_string(w, KOVRIN_VERSION);
}

void json_string(JsonWriter& w, const char* text) { json_bytes(w, text, std::strlen(text)); }

void json_bytes(JsonWriter& w, const char* data, size_t length) {
  before_value(w);
  write_string(w, data, length);
}

void json_int(JsonWriter& w, int64_t value) {
  before_value(w);
  std::fprintf(w.out, "%lld", static_cast<long long>(value));
}

void json_bool(JsonWriter& w, bool value) {
  before_value(w);
  std::fputs(value ? "true" : "false", w.out);
}

void json_null(JsonWriter& w) {
  before_value(w);
  std::fputs("null", w.out);
}

void json_number(JsonWriter& w, double value, const char* format) {
  if (std::isnan(value)) return json_string(w, "nan");
  if (std::isinf(value)) return json_string(w, value > 0 ? "inf" : "-inf");
  before_value(w);
  // Room for any finite double in fixed notation (up to 309 digits before
  // the point) with the decimals the formats ask for.
  char text[400];
  // The formats are the callers' literals ("%.3f", "%.6f").
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(text, sizeof text, format, value);
#pragma GCC diagnostic pop
  // "-0.000" is a valid number, but keep the text report's form anyway.
  std::fputs(text, w.out);
}

}  // namespace common
