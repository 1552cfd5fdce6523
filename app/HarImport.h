// The HAR reader behind `record --from-har`: what a person's browser exchanged with their device
// (HTTP Archive 1.2, as any browser saves it) turned into a recording. A HAR is untrusted input:
// it is bounded, and every place where it lost something (a body, a cookie) is reported with
// what that costs, since a browser saves a "sanitized" file unless asked otherwise.
#pragma once

#include "recording/Recording.h"

#include <cstddef>
#include <string>
#include <vector>

namespace krzpap {

struct HarLimits {
    size_t bytes = 100u << 20;  // the file
    size_t entries = 10000;
    size_t body = 16u << 20;  // one body, decoded
};

// What the HAR lost at one entry (counted from 1, as a person reads the list).
struct HarNote {
    size_t entry = 0;
    std::string what;
};

struct HarImport {
    krzlab::Recording recording;
    std::string host;                     // the device's host (and port), as the HAR named it
    std::vector<std::string> otherHosts;  // left out, each once, in the order first seen
    std::vector<HarNote> notes;
    bool sanitized = false;  // no cookie and no Authorization anywhere
};

// `host`: the device's, "" for the host most entries went to. `password`: the administrator's,
// when known, besides those found in what the browser posted. Throws std::invalid_argument with a
// sentence for text that is no HAR or passes a bound.
HarImport importHar(const std::string& text, const std::string& host, const std::string& password,
                    bool keepSecrets, const HarLimits& limits = HarLimits());

// The notes with the same sentence together: "entries 3, 5: ...".
std::vector<std::string> groupedNotes(const std::vector<HarNote>& notes);

// The strings a request carries, as a script may have computed them: its form's values, its
// query's (decoded), and every string of a JSON body.
std::vector<std::string> sentValues(const krzlab::RecordedRequest& request);

}  // namespace krzpap
