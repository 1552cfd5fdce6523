// Answers a browser's HAR lost (a page that moved on as soon as its login answered keeps no body
// of that answer), filled in for a check of a description against the recording: the answer the
// description's step expects and captures from, holding the tokens the HAR reader found the
// later requests carrying. What the description says of that answer is then taken on trust.
#pragma once

#include "recording/Recording.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace krzlab {

// Fills each reply marked `rebuilt` whose request a step of `description` (format 2: the login's,
// the changes', the logout's) sends to the same path: its `expect` JSON members as expected, its
// JSON captures with the rebuilt tokens (by the capture's name, else in order). Returns each
// filled request ("POST /api/login"), for the check to name.
std::vector<std::string> fillLostAnswers(Recording& recording, const nlohmann::json& description);

}  // namespace krzlab
