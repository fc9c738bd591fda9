// The hop listing reader of kovrin-detect.
//
// A hop listing has one hop per line, in path order, with up to five fields
// separated by single spaces: rtt, gap (microseconds), addr, extra, hop key.
// At most 50 lines are loaded, and a line may hold at most kMaxLineBytes
// bytes before its line ending.
#ifndef KOVRIN_OFFLINE_LISTING_H_
#define KOVRIN_OFFLINE_LISTING_H_

#include <cstddef>
#include <cstdio>

#include "detect/detection.h"

namespace offline {

constexpr int kFields = 5;
// A field slot keeps at most kFieldSlotSize - 1 bytes of its field.
constexpr int kFieldSlotSize = 1024;
constexpr size_t kBufferSize = 1 << 20;
// The most bytes one line may hold, not counting its line ending.  A real
// hop line is a few hundred bytes at most; the cap is there so that an
// endless line (/dev/zero, a pipe that never sends a newline) ends the
// reading instead of keeping it busy for ever.
constexpr size_t kMaxLineBytes = 64 * 1024;
// What read_fields returns for a line longer than kMaxLineBytes.
constexpr int kLineTooLong = -1;

// The fields of one line.  A field that the line lacks is empty.
struct FieldSlots {
  char text[kFields][kFieldSlotSize];
  size_t length[kFields];  // bytes the field had in the line, before any cut
  int line;                // line number in the listing, from 1
};

// The open listing and its read buffer.  Process-wide: the program reads one
// listing in one pass.
struct ListingReader {
  FILE* file;
  const char* name;  // shown in warnings
  int lines_read;
  size_t pos, end;
  bool at_eof;
  unsigned char buffer[kBufferSize];
};
extern ListingReader listing;

// Starts reading `file`; `name` is used in warnings.
void open_listing(FILE* file, const char* name);

// Reads the next line into `slots` and returns the number of fields it had
// (1 to 5), or 0 at the end of the listing.  A carriage return right before
// the line's end belongs to the line ending; anything after the fifth field is
// ignored.  A line that goes on past kMaxLineBytes bytes gives kLineTooLong
// (with slots.line set) as soon as its byte kMaxLineBytes + 1 is read, and
// reading stops there: the rest of the file is never read, and every later
// call returns 0.  A read error is fatal ("file read", exit 1).
int read_fields(FieldSlots& slots);

// Loads up to 50 lines into raw_table and sets raw_count.  What it has to
// bend (missing fields, fields that are not numbers, texts cut to their
// width, lines past the 50th) is reported on standard error, one line each,
// as "kovrin-detect: FILE:LINE: ...".  Returns false if reading stopped at a
// line longer than kMaxLineBytes (reported the same way): that line is not
// loaded, the lines before it are, and the listing was not read in full
// (kovrin-detect then exits with kExitPartial).
bool load_hops(detect::DetectionState& state);

}  // namespace offline

#endif  // KOVRIN_OFFLINE_LISTING_H_
