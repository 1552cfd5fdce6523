// The guesser behind `krzpap describe`: a draft family description from a recording of the
// device's pages. The draft has the shape of a description plus a top-level "draft" object that
// lists, by JSON pointer, each guess (with why it was made) and each gap (with what is needed), so
// that its author knows what to check; the description module refuses a file that still has it.
#pragma once

#include "recording/Recording.h"

#include <nlohmann/json.hpp>

#include <string>

namespace krzpap {

// What it needs: a complete recording with at least one page. Throws std::invalid_argument with a
// sentence otherwise. `source` is named in the draft, for its author.
nlohmann::ordered_json draftDescription(const krzlab::Recording& recording,
                                        const std::string& source);

// The first word of `title` written as model names are: one to six letters, maybe a '-', two or
// more digits, then letters, digits and '-' (not ending in one), standing as a word of its own;
// "" when there is none.
std::string modelWord(const std::string& title);

// What the pattern patternEscape(prefix) + "([^\\s\"<&;,]+)" takes as its group from `text`, as
// the description module applies it: at the first place where the prefix is followed by one of
// the group's characters, the run of them; "" when it takes nothing. (A plain scan: no device
// text goes into a regular expression.)
std::string modelAfter(const std::string& prefix, const std::string& text);

// The text spelled as an ECMAScript pattern that matches exactly it.
std::string patternEscape(const std::string& text);

}  // namespace krzpap
