// krzpap ui: the page's HAR import (read a HAR into a draft, write the draft once confirmed).
#pragma once

#include <string>

namespace krzpap {

class UiHttp;

// Adds /api/har (the HAR file in, up to the HAR reader's own bound; the summary and the draft
// out) and /api/har/save (the reviewed draft written into descriptionsFolder()).
void addHarRoutes(UiHttp& http);

// Where the description module loads descriptions from: the first folder KRZ_APDESCRIPTION_DIRS
// names, else "descriptions" in krzpap's own folder for this user (then that variable must name
// it); empty with `reason` when it cannot be made.
std::string descriptionsFolder(std::string& reason);

}  // namespace krzpap
