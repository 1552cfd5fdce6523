// record: a device's pages into a recording file, through the application layer's recorder.
#include "Cli.h"

#include "app/KRZPApp.h"
#include "platform/krzprocess.h"

#include <iostream>

namespace krzpap {

namespace {

// The recorder's progress on one line of the terminal.
class RecordProgress : public krzpapp::Observer {
  public:
    explicit RecordProgress(bool shown) : shown_(shown) {}
    void recorded(const std::string& target, int pages, long long bytes) override {
        if (!shown_)
            return;
        std::string shown = escapeText(target.substr(0, 50));
        std::cerr << "\rrecording: " << pages << " pages, " << (bytes >> 10) << " KiB; " << shown
                  << std::string(shown.size() < 50 ? 50 - shown.size() : 0, ' ') << std::flush;
    }

  private:
    bool shown_;
};

}  // namespace

// The device's exchanges in a HAR file as a recording; what the HAR lacked on standard error.
int runHarImport(const Globals& globals, const RecordOptions& options) {
    if (!options.request.tryChange.empty())
        throw CommandError(EXIT_USAGE,
                           "--try-change visits the device; leave it out with "
                           "--from-har (the HAR holds the change you made)");
    if (options.request.byModule)
        throw CommandError(EXIT_USAGE,
                           "--by-module visits the device; leave it out with --from-har");
    krzpapp::HarRequest request;
    request.har = readInputFile(options.fromHar, 100ll << 20,
                                "the HAR file your browser saved (Save all as HAR)");
    request.address = options.request.device.address;
    request.password = options.password;
    request.keepSecrets = options.request.keepSecrets;
    krzpapp::HarResult r;
    try {
        r = krzpapp::Application::importHar(request);
    } catch (const krzpapp::Error& e) {
        throw CommandError(EXIT_USAGE, "\"" + escapeText(options.fromHar) + "\" is " +
                                           escapeText(e.what()) +
                                           "; give the HAR file your browser saved");
    }
    if (!krzprocess::writeFileAtomically(options.output, r.recording))
        throw CommandError(EXIT_ERROR, "cannot write the recording to \"" +
                                           escapeText(options.output) +
                                           "\"; give a file in a folder you can write to");
    if (!globals.quiet) {
        std::cerr << "krzpap: read " << r.exchanges << " requests to " << escapeText(r.host)
                  << " (login: " << r.login << ") into " << escapeText(options.output) << "\n";
        for (const std::string& host : r.otherHosts)
            std::cerr << "krzpap: left out the requests to " << escapeText(host) << "\n";
        for (const std::string& note : r.notes)
            std::cerr << "krzpap: " << escapeText(note) << "\n";
        std::cerr << "krzpap: the HAR file holds your password in clear: delete it now\n";
    }
    if (globals.json)
        printDocument(globals, EXIT_OK,
                      {{"file", options.output},
                       {"exchanges", r.exchanges},
                       {"host", r.host},
                       {"login", r.login},
                       {"otherHosts", r.otherHosts},
                       {"notes", r.notes},
                       {"sanitized", r.sanitized}});
    return EXIT_OK;
}

int runRecordCommand(const Globals& globals, const RecordOptions& options) {
    if (options.output.empty())
        throw CommandError(EXIT_USAGE, "give the file to write with -o FILE");
    if (!options.fromHar.empty())
        return runHarImport(globals, options);
    if (options.request.device.address.empty())
        throw CommandError(EXIT_USAGE, "give the device's address, or a HAR file with --from-har");
    krzpapp::RecordRequest request = options.request;
    if (options.haveUser)
        request.device.user = options.user;
    if (options.havePassword)
        request.device.password = options.password;
    try {
        krzpapp::Application::checkDevice(request.device);
        krzpapp::Application::checkRecord(request);
    } catch (const krzpapp::Error& e) {
        if (e.field() == "tryChange" && request.byModule)
            throw CommandError(EXIT_USAGE, std::string("--try-change: ") + e.what());
        if (e.field() == "tryChange")
            throw CommandError(
                EXIT_USAGE, "--try-change is FIELD=VALUE, not \"" + escapeText(e.detail()) + "\"");
        throw commandError(e, globals);
    }
    if (options.output.empty())
        throw CommandError(EXIT_USAGE, "give the file to write with -o FILE");
    initLibrary(globals, request.byModule);
    const bool terminal = !globals.quiet && krzprocess::isTerminal(krzprocess::Stream::err);
    RecordProgress progress(terminal);
    krzpapp::Application app(&progress);
    auto write = [&](const std::string& text) {
        if (!krzprocess::writeFileAtomically(options.output, text))
            throw CommandError(EXIT_ERROR, "cannot write the recording to \"" +
                                               escapeText(options.output) +
                                               "\"; give a file in a folder you can write to");
    };
    krzpapp::RecordResult r;
    bool interrupted = runInterruptible(
        [&] { r = app.record(request); }, [&app] { app.cancel(); },
        [&] {
            krzpapp::RecordResult sofar = app.recordingSoFar("interrupted");
            write(sofar.recording);
            std::cerr << "\nkrzpap: cancelled; the " << sofar.exchanges
                      << " requests recorded so far are in " << escapeText(options.output) << "\n";
            if (globals.json)
                printDocument(globals, EXIT_CANCELLED, nullptr, true, "cancelled");
        });
    ExitCode code = r.stopped ? exitCodeOf(r.stopped->kind()) : EXIT_OK;
    std::string sentence = r.stopped ? sentenceOf(*r.stopped, Audience::CommandLine, globals) : "";
    if (interrupted || code == EXIT_CANCELLED) {
        code = EXIT_CANCELLED;
        sentence = "cancelled; what was recorded so far is in " + escapeText(options.output);
    }
    write(r.recording);
    if (terminal)
        std::cerr << "\r" << std::string(80, ' ') << "\r";
    if (!globals.quiet && code == EXIT_OK)
        std::cerr << "krzpap: recorded " << r.exchanges << " requests (" << r.pages
                  << (r.pages == 1 ? " page" : " pages") << ") from " << request.device.address
                  << " into " << escapeText(options.output) << "\n";
    if (globals.json && code == EXIT_OK)
        printDocument(globals, code,
                      {{"file", options.output},
                       {"exchanges", r.exchanges},
                       {"pages", r.pages},
                       {"complete", r.complete},
                       {"secretsKept", r.secretsKept},
                       {"anonymized", r.anonymized}});
    if (code != EXIT_OK)
        throw CommandError(
            code, sentence + (code == EXIT_CANCELLED ? std::string()
                                                     : " (what was recorded is in " +
                                                           escapeText(options.output) + ")"));
    return EXIT_OK;
}

}  // namespace krzpap
