// The probe report as one JSON document (--json): the same run as the text
// report, in fields instead of columns.  Its schema is
// schema/kovrin-report.schema.json.
#ifndef KOVRIN_PROBER_JSON_REPORT_H_
#define KOVRIN_PROBER_JSON_REPORT_H_

#include <cstdint>
#include <cstdio>

#include "common/json.h"

namespace kovrin {

// Writes the report of the run to out, from the results and, with -o, the
// detection state as run_detection left it.
void write_json_report(FILE* out);

// The member `key`: an address (network byte order) in dotted form, or null
// for 0.
void json_address(common::JsonWriter& w, const char* key, uint32_t addr);

// The same report as one value of a document being written (a survey's
// trains).
void write_json_report_value(common::JsonWriter& w);

}  // namespace kovrin

#endif  // KOVRIN_PROBER_JSON_REPORT_H_
