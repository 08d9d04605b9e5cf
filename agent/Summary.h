#pragma once
// The summary `tcam-agent run` prints: readable text, or one JSON document (--json).
#include <nlohmann/json.hpp>
#include <string>

#include "agent/RunReport.h"

namespace VornTcamAgent {

std::string summaryText(RunReport const& report);
nlohmann::json summaryJson(RunReport const& report);

}  // namespace VornTcamAgent
