// The style sheet and the script of the report's pages, taken at build time
// from programs/compare-pairs/report.css and report.js, which say what they do.
#pragma once

namespace comparepairs {

extern const char* const kReportStyle;
extern const char* const kReportScript;

} // namespace comparepairs
