#include "common/json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace common {
namespace {

// Writes what `body` writes into one document and returns the text.
template <typename F>
std::string written(F body) {
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  JsonWriter w;
  json_start(w, out);
  body(w);
  std::fclose(out);
  std::string result(text, size);
  std::free(text);
  return result;
}

TEST(Json, StringsAreEscapedAndBytesThatAreNotUtf8Reversible) {
  struct Case {
    std::string bytes;
    const char* json;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {"\n\t\x01\x7f", "\"\\u000a\\u0009\\u0001\\u007f\""},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},  // kept
      {"\xff", "\"\\udcff\""},
      {"a\xc3", "\"a\\udcc3\""},                      // cut sequence
      {"\xc0\xaf", "\"\\udcc0\\udcaf\""},             // overlong
      {"\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""},  // an encoded surrogate
      {"\xf4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},  // past U+10FFFF
  };
  for (const Case& c : cases) {
    EXPECT_EQ(written([&](JsonWriter& w) { json_bytes(w, c.bytes.data(), c.bytes.size()); }),
              c.json);
  }
}

TEST(Json, NumbersAndNesting) {
  EXPECT_EQ(written([](JsonWriter& w) {
              json_begin_object(w);
              json_key(w, "a");
              json_begin_array(w);
              json_number(w, 1.5, "%.3f");
              json_number(w, 1.0 / 0.0, "%.3f");
              json_number(w, -1.0 / 0.0, "%.3f");
              json_number(w, 0.0 / 0.0, "%.3f");
              json_end_array(w);
              json_key(w, "b");
              json_begin_object(w);
              json_end_object(w);
              json_key(w, "c");
              json_null(w);
              json_end_object(w);
            }),
            "{\n  \"a\": [\n    1.500,\n    \"inf\",\n    \"-inf\",\n    \"nan\"\n  ],\n"
            "  \"b\": {},\n  \"c\": null\n}");
  const std::string big = written([](JsonWriter& w) { json_number(w, 1e300, "%.3f"); });
  EXPECT_EQ(big.size(), 301u + 4u);  // every digit, no cut
  EXPECT_EQ(big.substr(big.size() - 4), ".000");
}

}  // namespace
}  // namespace common
