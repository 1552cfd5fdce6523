// What describe learns from a recording made from a browser's HAR file, which a crawl cannot
// see: the login as the browser performed it (the values it carried from one reply into the next
// request, the token it kept), the change as the browser posted it and the page that read it
// back. Written in description format 2, every guess and gap marked as the describer marks them.
#pragma once

#include "recording/Recording.h"

#include <nlohmann/json.hpp>

namespace krzpap {

// Turns the crawl's draft of `recording` (whose source is "har") into a format-2 draft: its
// login and changes are replaced by the steps the browser made; the settings the browser read
// back fill the gaps the crawl left. The "draft" object's guesses and gaps are kept in step.
void learnFromBrowser(const krzlab::Recording& recording, nlohmann::ordered_json& draft);

}  // namespace krzpap
