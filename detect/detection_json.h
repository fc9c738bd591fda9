// The detection's result for one hop as a JSON object, the same in the
// reports of both programs: its cleaned gap, its label's rank and form, its
// bound and the bound's kind.
#ifndef KOVRIN_DETECT_DETECTION_JSON_H_
#define KOVRIN_DETECT_DETECTION_JSON_H_

#include <cstdint>

#include "common/json.h"
#include "detect/detection.h"

namespace detect {

// Writes the member "detection" of the current object.
inline void write_detection_json(common::JsonWriter& w, int32_t step, const ChokeLabel& label,
                                 double bound, const char* kind) {
  common::json_key(w, "detection");
  common::json_begin_object(w);
  common::json_key(w, "cleaned_gap_us");
  common::json_int(w, step);
  common::json_key(w, "rank");
  if (label.rank == 0) {
    common::json_null(w);
  } else {
    common::json_int(w, label.rank);
  }
  common::json_key(w, "bracket");
  if (label.rank == 0) {
    common::json_null(w);
  } else {
    common::json_string(w, label.paired ? "round" : "square");
  }
  common::json_key(w, "bound_mbit");
  common::json_number(w, bound, "%.3f");
  common::json_key(w, "kind");
  common::json_string(w, kind);
  common::json_end_object(w);
}

}  // namespace detect

#endif  // KOVRIN_DETECT_DETECTION_JSON_H_
