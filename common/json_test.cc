#include "common/json.h"
#include "common/json_read.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace common {
namespace {

// Writes what `body` writes into one document and returns the text.
template <typename F>
std::string written(F body, bool compact = false) {
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  JsonWriter w;
  json_start(w, out, compact);
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
    // The reader gives the very bytes back.
    JsonValue v;
    std::string error;
    ASSERT_TRUE(json_parse(c.json, v, error)) << c.json << ": " << error;
    EXPECT_EQ(v.type, JsonValue::Type::kString);
    EXPECT_EQ(v.text, c.bytes) << c.json;
  }
}

TEST(JsonRead, Values) {
  JsonValue v;
  std::string error;
  ASSERT_TRUE(json_parse(" {\"a\": [1, -2.5e1, true, false, null, {}], \"b\": \"\\u00e9\\ud83d\\ude00\\n\"}\n",
                         v, error))
      << error;
  const JsonValue* a = v.member("a");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->items.size(), 6u);
  int64_t n = 0;
  EXPECT_TRUE(a->items[0].whole_number(0, 10, &n));
  EXPECT_EQ(n, 1);
  EXPECT_TRUE(a->items[1].whole_number(-100, 100, &n));  // -2.5e1 is the whole -25
  EXPECT_EQ(n, -25);
  EXPECT_FALSE(a->items[1].whole_number(0, 100, &n));     // out of the range asked for
  EXPECT_TRUE(a->items[2].boolean);
  EXPECT_EQ(a->items[4].type, JsonValue::Type::kNull);
  EXPECT_EQ(a->items[5].type, JsonValue::Type::kObject);
  EXPECT_EQ(v.member("b")->text, "\xc3\xa9\xf0\x9f\x98\x80\n");
  EXPECT_EQ(v.member("c"), nullptr);
  EXPECT_FALSE(v.member("b")->whole_number(0, 1, &n));
}

TEST(JsonRead, WhatIsNotJsonIsRefusedWithItsPlace) {
  struct Case {
    std::string text;
    const char* error;
  };
  const Case cases[] = {
      {"", "the document ends where a value should be at byte 1"},
      {"{\"a\" 1}", "':' should follow the member name at byte 6"},
      {"[1 2]", "',' or ']' should be here at byte 4"},
      {"{\"a\":1,}", "a member name should be here at byte 8"},
      {"[1,]", "not a JSON value at byte 4"},
      {"01", "text after the document at byte 2"},
      {"-", "not a JSON value at byte 1"},
      {"1.", "a digit should follow the decimal point at byte 3"},
      {"1e", "a digit should follow the exponent mark at byte 3"},
      {"nul", "not a JSON value at byte 1"},
      {"NaN", "not a JSON value at byte 1"},
      {"\"a", "the document ends inside a string at byte 3"},
      {"\"a\nb\"", "a control character inside a string at byte 3"},
      {"\"\\x\"", "unknown escape at byte 3"},
      {"\"\\u12\"", "\\u needs four hex digits at byte 4"},
      {"\"\\ud800\"", "a high surrogate without its low one at byte 8"},
      {"\"\\ud800\\u0041\"", "a high surrogate without its low one at byte 14"},
      {"\"\\udc00\"", "a lone low surrogate at byte 8"},
      {std::string(kJsonReadMaxDepth + 1, '['), "nested too deep at byte 65"},
  };
  for (const Case& c : cases) {
    JsonValue v;
    std::string error;
    EXPECT_FALSE(json_parse(c.text, v, error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
  // Nesting up to the limit is fine; so many values are not.
  JsonValue v;
  std::string error;
  const std::string deep = std::string(kJsonReadMaxDepth, '[') + std::string(kJsonReadMaxDepth, ']');
  EXPECT_TRUE(json_parse(deep, v, error)) << error;
  std::string many = "[0";
  for (int i = 0; i < kJsonReadMaxValues; ++i) many += ",0";
  EXPECT_FALSE(json_parse(many + "]", v, error));
  EXPECT_NE(error.find("more values than a report holds"), std::string::npos) << error;
}

TEST(Json, NumbersAndNesting) {
  const auto body = [](JsonWriter& w) {
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
            };
  EXPECT_EQ(written(body),
            "{\n  \"a\": [\n    1.500,\n    \"inf\",\n    \"-inf\",\n    \"nan\"\n  ],\n"
            "  \"b\": {},\n  \"c\": null\n}");
  // The same on one line, for JSON Lines.
  EXPECT_EQ(written(body, true), "{\"a\":[1.500,\"inf\",\"-inf\",\"nan\"],\"b\":{},\"c\":null}");
  const std::string big = written([](JsonWriter& w) { json_number(w, 1e300, "%.3f"); });
  EXPECT_EQ(big.size(), 301u + 4u);  // every digit, no cut
  EXPECT_EQ(big.substr(big.size() - 4), ".000");
}

}  // namespace
}  // namespace common
