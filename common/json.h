// A small writer of JSON documents (RFC 8259) onto a stdio stream, for the
// machine-readable reports of both programs.
//
// Texts are written byte for byte where they are valid UTF-8; `"`, `\` and
// control characters are escaped.  A byte that is not part of a valid UTF-8
// sequence is written as the escape \udcXX (XX its value, 80 to ff): a lone
// low surrogate, which no valid UTF-8 text can produce, so a reader gets
// the bytes back exactly by mapping U+DC80..U+DCFF to 0x80..0xFF (Python's
// "surrogateescape" error handler does just that).
#ifndef KOVRIN_COMMON_JSON_H_
#define KOVRIN_COMMON_JSON_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace common {

constexpr int kJsonMaxDepth = 16;

// One document being written: nesting and whether the current container
// already has a member.
struct JsonWriter {
  FILE* out;
  int depth;
  bool has_member[kJsonMaxDepth];
  bool after_key;
  bool compact;  // all on one line (JSON Lines), without indentation
};

// Starts a document on out: indented, or compact on a single line.
void json_start(JsonWriter& w, FILE* out, bool compact = false);
// Ends the document with a newline.
void json_finish(JsonWriter& w);

void json_begin_object(JsonWriter& w);
void json_end_object(JsonWriter& w);
void json_begin_array(JsonWriter& w);
void json_end_array(JsonWriter& w);
// The name of the next member of the current object.
void json_key(JsonWriter& w, const char* name);

// The first members of every document of ours: "schema" (its name),
// "schema_version" and "program_version".
void json_document_head(JsonWriter& w, const char* schema, int version);

void json_string(JsonWriter& w, const char* text);
void json_bytes(JsonWriter& w, const char* data, size_t length);
void json_int(JsonWriter& w, int64_t value);
void json_bool(JsonWriter& w, bool value);
void json_null(JsonWriter& w);
// A number printed with printf's format (e.g. "%.3f"), so that it shows the
// digits the text report shows.  Not finite: the string "inf", "-inf" or
// "nan" instead, since JSON has no such numbers.
void json_number(JsonWriter& w, double value, const char* format);

}  // namespace common

#endif  // KOVRIN_COMMON_JSON_H_
