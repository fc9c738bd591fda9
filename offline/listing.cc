// Hop listing reader.
#include "offline/listing.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/exit_status.h"

namespace offline {

ListingReader listing;

namespace {

constexpr int kMaxLines = detect::kMaxHops;

void refill() {
  listing.pos = 0;
  listing.end = std::fread(listing.buffer, 1, kBufferSize, listing.file);
  if (listing.end == 0) {
    if (std::ferror(listing.file)) common::fatal("file read");
    listing.at_eof = true;
  }
}

// Next byte of the listing, or EOF.  peek_byte leaves it unread.
int peek_byte() {
  if (listing.pos == listing.end && !listing.at_eof) refill();
  if (listing.pos == listing.end) return EOF;
  return listing.buffer[listing.pos];
}

int next_byte() {
  const int c = peek_byte();
  if (c != EOF) ++listing.pos;
  return c;
}

__attribute__((format(printf, 2, 3))) void warn(int line, const char* format,
                                                ...) {
  std::fprintf(stderr, "kovrin-detect: %s:%d: ", listing.name, line);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

// A field as it can be shown in a warning: at most 40 bytes, other than
// printable ASCII escaped.
const char* shown(const char* text) {
  static char out[40 * 4 + 8];
  size_t o = 0;
  for (size_t i = 0; text[i] != '\0'; ++i) {
    if (i == 40) {
      std::memcpy(out + o, "...", 4);
      return out;
    }
    const unsigned char c = text[i];
    if (c >= 0x20 && c < 0x7f && c != '\'' && c != '\\') {
      out[o++] = static_cast<char>(c);
    } else {
      o += std::snprintf(out + o, 5, "\\x%02x", c);
    }
  }
  out[o] = '\0';
  return out;
}

// The rtt field as strtod reads it; complains unless the whole field is a
// number.
double parse_rtt(const char* text, int line) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0')
    warn(line, "rtt '%s' is not a number; read as %g", shown(text), value);
  return value;
}

// The gap field as atoi reads it (leading white space, an optional sign,
// the digits up to the first other character), but with a value beyond the
// 32-bit range held at the range's end rather than left undefined.
int32_t parse_gap(const char* text, int line) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  const char* digits = p;
  int64_t magnitude = 0;
  bool too_large = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > int64_t{INT32_MAX} + 1) {
      magnitude = int64_t{INT32_MAX} + 1;
      too_large = true;
    }
  }
  int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) {
    value = INT32_MAX;
    too_large = true;
  }
  if (too_large) {
    warn(line, "gap '%s' is out of range; read as %lld", shown(text),
         static_cast<long long>(value));
  } else if (p == digits || *p != '\0') {
    warn(line, "gap '%s' is not a number; read as %lld", shown(text),
         static_cast<long long>(value));
  }
  return static_cast<int32_t>(value);
}

// Copies field `f` into a HopEntry text of `size` bytes, cutting it to fit.
void copy_text(char* dst, size_t size, const FieldSlots& slots, int f,
               const char* what) {
  const char* src = slots.text[f];
  const size_t stored = std::strlen(src);
  const size_t width = size - 1;
  const size_t kept = stored < width ? stored : width;
  std::memcpy(dst, src, kept);
  dst[kept] = '\0';
  if (slots.length[f] > width) {
    warn(slots.line, "%s cut to %zu characters", what, width);
  } else if (stored < slots.length[f]) {
    warn(slots.line, "%s holds a NUL byte; the text ends there", what);
  }
}

}  // namespace

void open_listing(FILE* file, const char* name) {
  listing.file = file;
  listing.name = name;
  listing.lines_read = 0;
  listing.pos = listing.end = 0;
  listing.at_eof = false;
}

int read_fields(FieldSlots& slots) {
  int c = next_byte();
  if (c == EOF) return 0;
  slots.line = ++listing.lines_read;
  for (int f = 0; f < kFields; ++f) {
    slots.text[f][0] = '\0';
    slots.length[f] = 0;
  }

  int taken = 0;
  size_t len = 0;
  size_t line_bytes = 0;  // bytes of the line so far, its ending aside
  auto end_field = [&] {
    const size_t stored = len < kFieldSlotSize - 1 ? len : kFieldSlotSize - 1;
    slots.text[taken][stored] = '\0';
    slots.length[taken] = len;
    ++taken;
    len = 0;
  };
  for (;; c = next_byte()) {
    if (c == '\r') {
      // CR LF, or a CR at the very end, is a line ending like LF alone.
      const int after = peek_byte();
      if (after == '\n' || after == EOF) {
        next_byte();
        break;
      }
    }
    if (c == '\n' || c == EOF) break;
    if (++line_bytes > kMaxLineBytes) {
      // No real listing has such a line, and skipping to its newline could
      // take for ever.  From here on the listing counts as ended: nothing
      // more of the file is read.
      listing.pos = listing.end;
      listing.at_eof = true;
      return kLineTooLong;
    }
    if (taken == kFields) continue;
    if (c == ' ') {
      end_field();
    } else {
      if (len < kFieldSlotSize - 1) slots.text[taken][len] = static_cast<char>(c);
      ++len;
    }
  }
  if (taken < kFields) end_field();
  return taken;
}

bool load_hops(detect::DetectionState& state) {
  static FieldSlots slots;
  int count = 0;
  bool read_in_full = true;
  while (count < kMaxLines) {
    const int fields = read_fields(slots);
    if (fields == 0) break;
    if (fields == kLineTooLong) {
      warn(slots.line, "line is longer than %zu bytes; reading stops here",
           kMaxLineBytes);
      read_in_full = false;
      break;
    }
    const int line = slots.line;
    detect::HopEntry& entry = state.raw_table[count];
    entry.rtt = 0.0;
    entry.gap = 0;
    entry.step = 0;
    if (fields == 1 && slots.length[0] == 0) {
      warn(line, "empty line; read as a hop without a gap");
    } else {
      if (fields < kFields)
        warn(line, "%d field%s, expected %d; the missing ones are empty",
             fields, fields == 1 ? "" : "s", kFields);
      for (int f = 0; f < 2 && f < fields; ++f) {
        if (slots.length[f] > kFieldSlotSize - 1)
          warn(line, "%s cut to %d characters", f == 0 ? "rtt" : "gap",
               kFieldSlotSize - 1);
      }
      entry.rtt = parse_rtt(slots.text[0], line);
      if (fields >= 2) entry.gap = parse_gap(slots.text[1], line);
    }
    copy_text(entry.addr, sizeof entry.addr, slots, 2, "addr");
    copy_text(entry.extra, sizeof entry.extra, slots, 3, "extra");
    copy_text(entry.hop_key, sizeof entry.hop_key, slots, 4, "hop key");
    ++count;
  }
  if (count == kMaxLines && peek_byte() != EOF)
    warn(listing.lines_read + 1, "lines after the %dth are ignored", kMaxLines);
  state.raw_count = count;
  return read_in_full;
}

}  // namespace offline
