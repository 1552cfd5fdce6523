// Arbitrary bytes through the browser's reading of forms: the whole page's forms, the form read
// from a cursor that the first byte places, and what a person sees of the forms. Nothing may
// throw once the reading starts, the cursor ends behind a "</form>" inside the text or at end, the
// view of a form submits what browserForms() says and its labels stay bounded.
#include "html/KRZPHtmlParser.h"
#include "http/KRZPFormParams.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

static size_t tagsIn(const std::string& page) {
    return static_cast<size_t>(std::count(page.begin(), page.end(), '<'));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // The first byte places the cursor; the second names the pressed button (a one-letter name).
    const size_t start = data[0];
    const std::string submitter(1, static_cast<char>(data[1]));
    const std::string page(reinterpret_cast<const char*>(data) + 2, size - 2);
    KRZPHtmlParser parser(page);
    size_t fields = 0;
    for (const KRZPBrowserForm& form : parser.browserForms(submitter)) {
        fields += form.fields.size();
    }
    if (start < page.size()) {
        parser.skipTo(page.substr(start, 1));
        const size_t before = parser.getPosition();
        const size_t read = parser.parseBrowserFormParams(submitter)->size();
        const size_t after = parser.getPosition();
        if (after != std::string::npos && (after <= before || after > page.size())) {
            __builtin_trap();  // the cursor moves forward and stays inside the text
        }
        fields = std::max(fields, read);
    }
    const std::vector<KRZPBrowserForm> plain = parser.browserForms();
    const std::vector<KRZPPageForm> shown = parser.pageForms();
    if (shown.size() != plain.size()) {
        __builtin_trap();
    }
    for (size_t i = 0; i < shown.size(); ++i) {
        if (shown[i].fields.size() != plain[i].fields.size() ||
            shown[i].controls.size() + shown[i].buttons.size() > tagsIn(page)) {
            __builtin_trap();
        }
        for (const auto* list : {&shown[i].controls, &shown[i].buttons}) {
            for (const KRZPPageControl& control : *list) {
                if (control.label.size() > 256) {
                    __builtin_trap();
                }
            }
        }
    }
    // Each pair comes from a tag: two pairs at most (an image button's x and y) per '<'.
    if (fields > 2 * tagsIn(page)) {
        __builtin_trap();
    }
    return 0;
}
