// describe: a draft family description from a recording, every guess and gap marked for its
// author.
#include "Cli.h"

#include "app/KRZPApp.h"

#include "platform/krzprocess.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace krzpap {

namespace {

// Far above what `record` writes within its own bounds (32 MiB of replies, escaped as JSON).
const std::streamoff kMaxRecordingBytes = 256ll << 20;

}  // namespace

// Reads `file`, within `maxBytes`; a file it cannot read is a usage error that says what to give.
std::string readInputFile(const std::string& file, long long maxBytes, const std::string& give) {
    std::string name = "\"" + escapeText(file) + "\"";
    std::string reason;
    if (!krzprocess::isFileToRead(file, reason))
        throw CommandError(EXIT_USAGE, "cannot read " + name + " (" + reason + "); give " + give);
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw CommandError(EXIT_USAGE,
                           "cannot read " + name + " (" + std::strerror(errno) + "); give " + give);
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (static_cast<long long>(text.size()) > maxBytes)
            throw CommandError(
                EXIT_USAGE,
                name + " is larger than " + std::to_string(maxBytes >> 20) + " MiB; give " + give);
    }
    return text;
}

int runDescribeCommand(const Globals& globals, const DescribeOptions& options) {
    std::string name = "\"" + escapeText(options.recording) + "\"";
    std::string text = readInputFile(options.recording, kMaxRecordingBytes,
                                     "a recording that 'krzpap record' wrote");
    krzpapp::DescribeResult draft;
    try {
        draft = krzpapp::Application().describe(text, options.recording);
    } catch (const krzpapp::Error& e) {
        if (e.field() == "recording")
            throw CommandError(EXIT_USAGE, name + " is not a recording (" + escapeText(e.detail()) +
                                               "); give a file that 'krzpap record' wrote");
        throw CommandError(EXIT_USAGE,
                           "cannot describe the device from " + name + ": " + e.detail());
    }
    std::string document = draft.description + "\n";
    size_t guesses = draft.guesses;
    size_t gaps = draft.gaps;
    if (!options.output.empty() && options.output != "-") {
        if (!krzprocess::writeFileAtomically(options.output, document))
            throw CommandError(EXIT_ERROR, "cannot write the draft to \"" +
                                               escapeText(options.output) +
                                               "\"; give a file in a folder you can write to");
    }
    bool toFile = !options.output.empty() && options.output != "-";
    if (globals.json) {
        nlohmann::json result = {{"guesses", guesses}, {"gaps", gaps}};
        if (toFile)
            result["file"] = options.output;
        else
            result["description"] = nlohmann::json::parse(draft.description);
        printDocument(globals, EXIT_OK, result);
    } else if (!toFile) {
        std::cout << document;
    }
    if (!globals.quiet)
        std::cerr << "krzpap: drafted a description from " << escapeText(options.recording)
                  << (toFile ? " into " + escapeText(options.output) : std::string()) << ": "
                  << guesses << (guesses == 1 ? " guess" : " guesses") << " to check and " << gaps
                  << (gaps == 1 ? " gap" : " gaps") << " to fill, listed under \"draft\"\n";
    return EXIT_OK;
}

}  // namespace krzpap
