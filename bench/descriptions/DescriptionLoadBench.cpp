// Loading 100 descriptions from a folder, as the description module does while it loads: 100
// generated families (the three shipped ones, each renamed 33 or 34 times), read, parsed, checked
// and their patterns compiled. The aim is under 50 ms for the whole folder.
#include "KRZPDescription.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A folder of `count` descriptions, made once.
fs::path generatedFolder(int count) {
    static const fs::path folder = [count] {
        fs::path dir = fs::temp_directory_path() / "krz_bench_descriptions";
        fs::remove_all(dir);
        fs::create_directories(dir);
        const char* families[] = {"acme", "borealis", "corvid"};
        const char* vendors[] = {"\"Acme\"", "\"Borealis\"", "\"Corvid\""};
        for (int i = 0; i < count; ++i) {
            std::string text = readFile(fs::path(KRZ_DESCRIPTIONS_SOURCE) /
                                        (std::string(families[i % 3]) + ".json"));
            std::string vendor = vendors[i % 3];
            text.replace(text.find(vendor), vendor.size(), "\"Family" + std::to_string(i) + "\"");
            std::ofstream(dir / ("family" + std::to_string(i) + ".json"), std::ios::binary) << text;
        }
        return dir;
    }();
    return folder;
}

void LoadHundredDescriptions(benchmark::State& state) {
    const fs::path folder = generatedFolder(100);
    size_t loaded = 0;
    for (auto _ : state) {
        auto all = krzdesc::loadDescriptions({folder.string()}, [](const std::string&) {});
        loaded = all.size();
        benchmark::DoNotOptimize(all);
    }
    if (loaded != 100)
        state.SkipWithError("not every generated description loaded");
    state.counters["descriptions"] = static_cast<double>(loaded);
}
BENCHMARK(LoadHundredDescriptions)->Unit(benchmark::kMillisecond);

// The same for format 2: 100 renamed copies of Sorrelby's description, each checked against the
// published schema (compiled once, on the first load) and its templates and transforms checked.
void LoadHundredFormat2Descriptions(benchmark::State& state) {
    static const fs::path folder = [] {
        fs::path dir = fs::temp_directory_path() / "krz_bench_descriptions2";
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::string text = readFile(fs::path(KRZ_DESCRIPTIONS_SOURCE) / "sorrelby.json");
        for (int i = 0; i < 100; ++i) {
            std::string copy = text;
            copy.replace(copy.find("\"Sorrelby\""), 10, "\"Family" + std::to_string(i) + "\"");
            std::ofstream(dir / ("family" + std::to_string(i) + ".json"), std::ios::binary) << copy;
        }
        return dir;
    }();
    size_t loaded = 0;
    for (auto _ : state) {
        auto all = krzdesc::loadDescriptions({folder.string()}, [](const std::string&) {});
        loaded = all.size();
        benchmark::DoNotOptimize(all);
    }
    if (loaded != 100)
        state.SkipWithError("not every generated description loaded");
    state.counters["descriptions"] = static_cast<double>(loaded);
}
BENCHMARK(LoadHundredFormat2Descriptions)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
