#pragma once
// The machine-readable report of verified files, as one JSON document; its
// shape is docs/verify-report.schema.json.

#include <string>
#include <vector>

#include "operations/VerifyReport.h"

namespace quilvane {

// The report on `files`, in order, ending in a line feed.
std::string ReportJson(const std::vector<FileReport>& files);

}  // namespace quilvane
