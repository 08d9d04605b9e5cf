#pragma once
// The summary `tcam-agent run` prints: readable text, or one JSON document (--json).
#include <nlohmann/json.hpp>
#include <string>

#include "agent/commands/RunReport.h"

namespace VornTcamAgent {

// The text ends with failureText(report) and leftOverText(report).
std::string summaryText(RunReport const& report);
// Per failure class with any failures: the count and the first few requests with their reason;
// empty when nothing failed.
std::string failureText(RunReport const& report);
// What the run leaves damaged or stale, one line; empty when nothing.
std::string leftOverText(RunReport const& report);
nlohmann::json summaryJson(RunReport const& report);

}  // namespace VornTcamAgent
