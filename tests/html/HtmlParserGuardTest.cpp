// Runs the scanner with every heap block ending right before an inaccessible page: the parser
// keeps its own copies of the text, so the guard has to sit behind those copies, i.e. in the
// allocator. A text of 16n - 1 bytes fills its block (with the terminating zero) exactly.
#include "HtmlTestSupport.h"

#include "http/KRZPFormParams.h"

#include "testsupport/krzguardpage.h"

#include <new>

using krztest::guardedAlloc;
using krztest::guardedFree;

void* operator new(size_t size) {
    return guardedAlloc(size);
}
void* operator new[](size_t size) {
    return guardedAlloc(size);
}
void operator delete(void* block) noexcept {
    guardedFree(block);
}
void operator delete[](void* block) noexcept {
    guardedFree(block);
}
void operator delete(void* block, size_t) noexcept {
    guardedFree(block);
}
void operator delete[](void* block, size_t) noexcept {
    guardedFree(block);
}

namespace {

// Prefixes of 15 mod 16 bytes, so that each copy of the text ends exactly at the guard; the
// cursor starts at every position.
TEST(HtmlGuard, EveryOperationStopsAtTheEndOfTheText) {
    const std::string tails[] = {
        "<input name=a value='x&amp;y' checked><select name=s><option selected>t",
        "<a href=\"x\"><!-- c --><script>var s = 'a\\'b\\",
        "<  body  x=1 y = 2 z='3' w=\"4\" v",
        "&#65&lt&#x41;&amp;&frac12%4",
        "<textarea name=t>&eacute</textarea><script><!--<script><select name=s><option>v&#x4",
    };
    for (const std::string& tail : tails) {
        for (size_t n = 15; n <= tail.size() + 15; n += 16) {
            const std::string text = tail.substr(0, n);
            ci_string tag;
            const std::function<void(KRZPHtmlParser&)> ops[] = {
                [](KRZPHtmlParser& p) { p.skipTo("ab"); },
                [](KRZPHtmlParser& p) { p.skipPast(">"); },
                [](KRZPHtmlParser& p) { p.caselessSkipPast("BODY"); },
                [](KRZPHtmlParser& p) { p.grabTo("\""); },
                [](KRZPHtmlParser& p) { p.skipPastWhitespace(); },
                [](KRZPHtmlParser& p) { p.grabToWhitespace(); },
                [](KRZPHtmlParser& p) { p.grabJs('\''); },
                [](KRZPHtmlParser& p) { p.skipToTag("option"); },
                [](KRZPHtmlParser& p) { p.skipPastTag("body"); },
                [&tag](KRZPHtmlParser& p) { p.skipToNextTag(tag); },
                [](KRZPHtmlParser& p) { p.parseAttributes(); },
                [](KRZPHtmlParser& p) { p.parseAttributeValue(); },
                [](KRZPHtmlParser& p) { p.parseFormParams(true); },
                [](KRZPHtmlParser& p) { p.parseBrowserForm("s"); },
                [](KRZPHtmlParser& p) { KRZPHtmlParser::entityDecode(p.getData()); },
            };
            KRZPHtmlParser(text).browserForms("s");  // the whole text, wherever the cursor is
            for (size_t start = 0; start <= text.size(); ++start) {
                for (const auto& op : ops) {
                    KRZPHtmlParser p(text);
                    try {
                        if (start > 0) {
                            p.skipTo(text.substr(start - 1, 1));  // cursor somewhere inside
                        }
                        op(p);
                        op(p);
                    } catch (const KRZPAPCException&) {
                    }
                }
            }
        }
    }
    // Reaching here means no access fault.
    SUCCEED();
}

}  // namespace
