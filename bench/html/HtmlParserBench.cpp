// Caseless against case-sensitive search on the same 1 MiB page, and form reading (by the rules and
// as a browser submits) on a page dense with fields.
#include "html/KRZPHtmlParser.h"
#include "http/KRZPFormParams.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

const size_t kPageSize = 1 << 20;

// An administration page of mixed-case markup with the searched marker only at its end.
const std::string& statusPage() {
    static const std::string page = [] {
        std::string p = "<HTML><HEAD><TITLE>Borealis BX-240</TITLE></HEAD>\n<BODY class=main>\n";
        const std::string row =
            "<TR><td class=\"label\">Lease 00:1a:2b:3c:4d:5e</td><TD>192.168.1.100</TD>"
            "<Td><A HREF=\"/release.cgi?id=7\">Release</A></td></TR>\n";
        while (p.size() + row.size() < kPageSize - 64) {
            p += row;
        }
        p += "<Marquee>Done</marquee></BODY></HTML>\n";
        return p;
    }();
    return page;
}

const std::string& formPage() {
    static const std::string page = [] {
        std::string p = "<form name=big method=post action=\"/save.cgi\">\n";
        unsigned n = 0;
        while (p.size() < kPageSize) {
            const std::string i = std::to_string(n++);
            p += "<input type=\"text\" name=\"field" + i + "\" value=\"v&amp;" + i + "\">\n";
            p += "<INPUT TYPE=checkbox NAME=flag" + i + " VALUE=1 CHECKED>\n";
            p += "<input type=hidden name=h" + i + " value=" + i + ">\n";
            p += "<select name=\"s" + i + "\"><option value=1>One<option value=2 selected>Two";
            p += "</select>\n";
        }
        p += "</form>\n";
        return p;
    }();
    return page;
}

void BM_SkipTo_CaseSensitive(benchmark::State& state) {
    KRZPHtmlParser parser(statusPage());
    for (auto _ : state) {
        parser.reset();
        parser.skipTo("<Marquee>");
        benchmark::DoNotOptimize(parser.getPosition());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * statusPage().size()));
}
BENCHMARK(BM_SkipTo_CaseSensitive);

void BM_CaselessSkipPast(benchmark::State& state) {
    KRZPHtmlParser parser(statusPage());
    for (auto _ : state) {
        parser.reset();
        parser.caselessSkipPast("<MARQUEE>");
        benchmark::DoNotOptimize(parser.getPosition());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * statusPage().size()));
}
BENCHMARK(BM_CaselessSkipPast);

void BM_SkipToTag(benchmark::State& state) {
    KRZPHtmlParser parser(statusPage());
    for (auto _ : state) {
        parser.reset();
        parser.skipToTag("MARQUEE");
        benchmark::DoNotOptimize(parser.getPosition());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * statusPage().size()));
}
BENCHMARK(BM_SkipToTag);

void BM_ParseFormParams(benchmark::State& state) {
    KRZPHtmlParser parser(formPage());
    size_t fields = 0;
    for (auto _ : state) {
        parser.reset();
        fields = parser.parseFormParams(false)->size();
        benchmark::DoNotOptimize(fields);
    }
    state.counters["fields"] = static_cast<double>(fields);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * formPage().size()));
}
BENCHMARK(BM_ParseFormParams)->Unit(benchmark::kMillisecond);

// The same page read as a browser submits it.
void BM_ParseBrowserForm(benchmark::State& state) {
    KRZPHtmlParser parser(formPage());
    size_t fields = 0;
    for (auto _ : state) {
        parser.reset();
        fields = parser.parseBrowserForm().size();
        benchmark::DoNotOptimize(fields);
    }
    state.counters["fields"] = static_cast<double>(fields);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * formPage().size()));
}
BENCHMARK(BM_ParseBrowserForm)->Unit(benchmark::kMillisecond);

void BM_SetData(benchmark::State& state) {
    KRZPHtmlParser parser;
    for (auto _ : state) {
        parser.setData(statusPage());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * statusPage().size()));
}
BENCHMARK(BM_SetData);

}  // namespace

BENCHMARK_MAIN();
