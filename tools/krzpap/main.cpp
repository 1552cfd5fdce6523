// krzpap: finds, inspects and configures access points and routers through the library, as a host
// application does; also the tool with which module authors study a new device.
#include "Cli.h"
#include "UiServer.h"

#include "platform/krzprocess.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <iostream>

using namespace krzpap;

namespace {

const char* const kVersion = "krzpap 1.0.0";

const std::vector<std::string> kCommands = {"scan",  "show",   "configure", "find",  "defaults",
                                            "fetch", "record", "describe",  "forms", "ui",
                                            "lab",   "trust",  "help"};
// Global options that take a value, so that the value is not taken for a command name.
const std::vector<std::string> kValueOptions = {"--log", "--log-level", "--network", "--lab",
                                                "--modules"};
const std::vector<std::string> kGlobalFlags = {"--json", "-q", "--quiet", "--show-secrets"};

const char* const kMacHelp =
    "Reach exactly the device with this MAC (one of two at the same address); without it, "
    "an address outside every adapter's network is asked for its MAC by ARP";

const char* const kAddressHelp =
    "The device's IPv4 address, or http://ADDRESS[:PORT] (loopback included, for a router "
    "emulated on this computer)";
const char* const kPortHelp = "The port its admin pages are served on (default 80)";

std::string commandList() {
    std::string list;
    for (const std::string& c : kCommands)
        list += (list.empty() ? "" : ", ") + c;
    return list;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// Reports a failed command on stderr (and as the JSON document with --json); returns its code.
int fail(const Globals& globals, int code, const std::string& message) {
    if (globals.json) {
        printDocument(globals, code, nullptr, code == EXIT_CANCELLED, message);
    }
    std::cerr << "krzpap: " << message << "\n";
    return code;
}

// Where the command word stands: the first argument that is neither an option nor a global
// option's value; args.size() when there is none.
size_t commandIndex(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--")
            return i + 1;
        if (a.empty() || a[0] != '-')
            return i;
        if (contains(kValueOptions, a))
            ++i;
    }
    return args.size();
}

std::string commandWord(const std::vector<std::string>& args) {
    size_t at = commandIndex(args);
    return at < args.size() ? args[at] : std::string();
}

// What is known before the parser runs: the command and --json, which counts wherever it stands
// so that even a usage error comes as JSON.
Globals preliminaryGlobals(const std::vector<std::string>& args, const std::string& word) {
    Globals globals;
    for (const std::string& a : args) {
        if (a == "--")
            break;
        globals.json = globals.json || a == "--json";
    }
    if (contains(kCommands, word))
        globals.command = word;
    return globals;
}

// The parser of the whole command line and the options each subcommand fills in.
class CommandLine {
  public:
    explicit CommandLine(const Globals& preliminary);
    // Parses the arguments and runs the command; returns the exit code.
    int run(const std::vector<std::string>& args, int argc, char** argv);

    Globals globals;

  private:
    void addGlobalOptions();
    void addGlobalOptionsTo(CLI::App& app);
    int labReset(const std::vector<std::string>& args);
    std::string helpText(const std::string& topic);
    int printHelp(const std::string& text);
    void addDeviceOptions(CLI::App* sub);
    void addDeviceCommands();
    void addFindAndDefaults();
    void addFetch();
    void addTrust();
    void addRecord();
    void addDescribe();
    void addFormsLabAndHelp();
    void addUi();
    int explain(const std::vector<std::string>& args);
    int dispatch();

    CLI::App app_{
        "krzpap: find the access points and routers on the network, show and change their "
        "settings, find them again by MAC address.\nThe network is the built-in emulated lab "
        "unless --network system is given.",
        "krzpap"};
    ScanOptions scanOptions_;
    DeviceOptions device_;
    ConfigureOptions configure_;
    std::vector<std::string> macs_;
    DefaultsOptions defaults_;
    FetchOptions fetch_;
    TrustOptions trust_;
    CLI::App* trustCmd_ = nullptr;
    RecordOptions record_;
    DescribeOptions describe_;
    FormsOptions forms_;
    UiOptions ui_;
    bool noOpen_ = false;
    CLI::App* uiCmd_ = nullptr;
    CLI::App* scanCmd_ = nullptr;
    CLI::App* showCmd_ = nullptr;
    CLI::App* configureCmd_ = nullptr;
    CLI::App* findCmd_ = nullptr;
    CLI::App* defaultsCmd_ = nullptr;
    CLI::App* fetchCmd_ = nullptr;
    CLI::App* recordCmd_ = nullptr;
    CLI::App* describeCmd_ = nullptr;
    CLI::App* formsCmd_ = nullptr;
    CLI::App* labCmd_ = nullptr;
    CLI::App* helpCmd_ = nullptr;
    std::string helpTopic_;
};

CommandLine::CommandLine(const Globals& preliminary) : globals(preliminary) {
    addGlobalOptions();
    addDeviceCommands();
    addFindAndDefaults();
    addFetch();
    addTrust();
    addRecord();
    addDescribe();
    addFormsLabAndHelp();
    addUi();
    const std::string globalsFooter =
        "Global options, before or after the command: --json, -q/--quiet, --show-secrets, "
        "--log FILE, --log-level N, --network lab|system, --lab ADDRESS, --modules LIST "
        "('krzpap --help' explains them).";
    for (CLI::App* sub : {scanCmd_, showCmd_, configureCmd_, findCmd_, defaultsCmd_, fetchCmd_,
                          trustCmd_, recordCmd_, describeCmd_, formsCmd_, uiCmd_, helpCmd_})
        sub->footer(globalsFooter);
}

void CommandLine::addGlobalOptions() {
    app_.set_version_flag("--version", kVersion);
    app_.fallthrough();  // global options after the command too
    app_.option_defaults()->always_capture_default();
    app_.footer(
        "Exit status: 0 done, 1 failed (also: output not written), 2 bad usage, 3 nothing found "
        "(find: a MAC not found), 4 login refused, 5 unreachable, 6 interrupted.\nFiles: the log "
        "and the built-in lab's state are kept in "
        "$XDG_STATE_HOME/krzpap (default ~/.local/state/krzpap).\n'krzpap help COMMAND' "
        "explains a command.");
    addGlobalOptionsTo(app_);
}

void CommandLine::addGlobalOptionsTo(CLI::App& app) {
    app.add_option("--log", globals.logFile,
                   "Log file (default: setting KRZ_LOG_FILE, else krzpap.log in the state folder)");
    app.add_option("--log-level", globals.logLevel, "Log level: 0 errors, 2 trace, 3 data dumps")
        ->check(CLI::Validator(
            [](std::string& value) {
                return value.size() == 1 && value[0] >= '0' && value[0] <= '3'
                           ? std::string()
                           : "takes 0 (errors only), 1, 2 (trace) or 3 (data dumps), not \"" +
                                 escapeText(value) + "\"";
            },
            "0-3"));
    app.add_option("--network", globals.network,
                   "Network backend: lab (default, emulated) or system (this machine's adapters)")
        ->check(CLI::IsMember({"lab", "system"}));
    app.add_option("--lab", globals.lab,
                   "Control address of a running lab (krzpap lab prints it); default: setting "
                   "KRZ_LAB, else a built-in lab that keeps its state for this user");
    app.add_option("--modules", globals.modules,
                   "Module libraries, ';'-separated (default: setting KRZ_VORTAN_APMODULE_DLLS, "
                   "else krzpapmodulesu.dll)");
    app.add_flag("--json", globals.json, "Print one JSON document on stdout, errors included");
    app.add_flag("-q,--quiet", globals.quiet, "No progress or summary on stderr");
    app.add_flag("--show-secrets", globals.showSecrets,
                 "Show wireless keys, passwords and cookies in the output (hidden otherwise)");
}

void CommandLine::addDeviceOptions(CLI::App* sub) {
    sub->add_option("address", device_.address, kAddressHelp)->required();
    sub->add_option("--port", device_.port, kPortHelp)->check(CLI::Range(1, 65535));
    sub->add_option("--mac", device_.mac, kMacHelp);
    sub->add_option("-u,--user", device_.user,
                    "Administrator user name (default: the device's factory user name)");
    sub->add_option("-p,--password", device_.password,
                    "Administrator password (default: the device's factory password)");
}

void CommandLine::addDeviceCommands() {
    scanCmd_ = app_.add_subcommand("scan", "Sweep the network's adapters and list the devices");
    scanCmd_->add_option("-I,--interface", scanOptions_.adapters,
                         "Sweep only this adapter (name or address; repeatable); default: every "
                         "usable adapter");
    scanCmd_->add_flag("--all", scanOptions_.all,
                       "Also list hosts that answered but that no module recognizes");

    showCmd_ = app_.add_subcommand("show", "Log into a device and show its settings");
    addDeviceOptions(showCmd_);

    configureCmd_ =
        app_.add_subcommand("configure", "Change a device's settings and read them back");
    addDeviceOptions(configureCmd_);
    configureCmd_->add_option("--ssid", configure_.ssid, "New network name (1 to 32 bytes)");
    configureCmd_
        ->add_option("--security", configure_.security, "New security mode (needs --key but none)")
        ->check(CLI::IsMember({"none", "wep", "wpa-psk", "wpa2-psk", "wpa-wpa2-psk"}));
    configureCmd_
        ->add_option("--encryption", configure_.encryption,
                     "Encryption (default: chosen from the mode and key)")
        ->check(CLI::IsMember({"none", "wep64", "wep128", "tkip", "aes", "tkip-aes"}));
    configureCmd_->add_option("--key", configure_.key, "New wireless key (passphrase, or WEP key)");
    configureCmd_->add_option("--new-user", configure_.newUser, "New administrator user name");
    configureCmd_->add_option("--new-password", configure_.newPassword,
                              "New administrator password");
}

void CommandLine::addFindAndDefaults() {
    findCmd_ = app_.add_subcommand(
        "find", "Find devices again by MAC address; exit 3 when any of them is not found");
    findCmd_->add_option("mac", macs_, "MAC addresses (12 hexadecimal digits, any separators)")
        ->required();

    defaultsCmd_ = app_.add_subcommand(
        "defaults", "Ask the factory-defaults recognizers about a network from a wireless scan");
    defaultsCmd_->add_option("--ssid", defaults_.ssid, "The network's name")->required();
    defaultsCmd_->add_option("--bssid", defaults_.bssid, "The access point's MAC address")
        ->required();
    defaultsCmd_->add_option("--channel", defaults_.channel, "Channel (0: unknown)");
    defaultsCmd_->add_flag("--privacy", defaults_.privacy, "The network asks for encryption");
    defaultsCmd_->add_option("--rsn", defaults_.rsn, "Security the scan reported: WEP, WPA, WPA2")
        ->check(CLI::IsMember({"WEP", "WPA", "WPA2"}, CLI::ignore_case));
}

void CommandLine::addFetch() {
    fetchCmd_ = app_.add_subcommand(
        "fetch", "Send one request exactly as the library sends it and print the reply");
    fetchCmd_
        ->add_option("address", fetch_.address,
                     "Device address or host name, or a URL http://HOST[:PORT]/PATH")
        ->required();
    fetchCmd_->add_option("path", fetch_.path, "Path and query (default /)");
    fetchCmd_->add_option("--mac", fetch_.mac, kMacHelp);
    fetchCmd_->add_option("--port", fetch_.port, "TCP port")->check(CLI::Range(1, 65535));
    fetchCmd_->add_option("--timeout", fetch_.timeout, "Reply time-out in seconds")
        ->check(CLI::Range(1, 3600));
    fetchCmd_->add_option("-u,--user", fetch_.user, "User name for Basic authentication");
    fetchCmd_->add_option("-p,--password", fetch_.password, "Password for Basic authentication");
    fetchCmd_->add_option("--form", fetch_.form,
                          "Form field name=value (repeatable): sends a POST");
    fetchCmd_->add_flag("--multipart", fetch_.multipart, "Send the form as multipart/form-data");
    fetchCmd_->add_flag("--post", fetch_.post, "POST even without form fields");
    fetchCmd_->add_option("--cookie", fetch_.cookie, "Value of the Cookie header");
}

void CommandLine::addTrust() {
    trustCmd_ = app_.add_subcommand(
        "trust",
        "Accept the certificate a device shows over HTTPS now (after it was reset or "
        "replaced): later connections take this one and refuse any other");
    trustCmd_
        ->add_option("address", trust_.address,
                     "https://ADDRESS[:PORT], or the device's IPv4 address")
        ->required();
    trustCmd_->add_option("--port", trust_.port, "The HTTPS port (default 443)")
        ->check(CLI::Range(1, 65535));
}

void CommandLine::addRecord() {
    recordCmd_ = app_.add_subcommand(
        "record",
        "Visit a device's admin pages and write what it answered as a recording, which the lab "
        "plays back as a device");
    recordCmd_->add_option("address", record_.request.device.address, kAddressHelp);
    recordCmd_->add_option("--from-har", record_.fromHar,
                           "Read the HAR file a browser saved while you logged in and changed "
                           "settings, instead of visiting the device (the address, when given, "
                           "picks the device among the hosts in it)");
    recordCmd_->add_option("--port", record_.request.device.port, kPortHelp)
        ->check(CLI::Range(1, 65535));
    recordCmd_->add_option("-o,--output", record_.output, "The recording file to write")
        ->required();
    recordCmd_->add_option("--mac", record_.request.device.mac, kMacHelp);
    recordCmd_->add_option("-u,--user", record_.user, "Administrator user name");
    recordCmd_->add_option("-p,--password", record_.password, "Administrator password");
    recordCmd_->add_option(
        "--try-change", record_.request.tryChange,
        "FIELD=VALUE: submit the form holding FIELD once with this value, read the page back "
        "and put the original value back (repeatable: fields of the same form)");
    recordCmd_->add_flag("--by-module", record_.request.byModule,
                         "Record what the loaded module that recognizes the device sends (a "
                         "description's own login, reads and changes) instead of visiting its "
                         "pages; --try-change then takes ssid=, security=, encryption= or key=");
    recordCmd_->add_flag("--keep-secrets", record_.request.keepSecrets,
                         "Keep passwords, keys, cookies and Authorization in the recording "
                         "(replaced by placeholders otherwise)");
    recordCmd_->add_flag("--anonymize", record_.request.anonymize,
                         "Also replace MAC addresses and serial numbers");
    recordCmd_->add_option("--max-pages", record_.request.maxPages, "Pages to visit at most")
        ->check(CLI::Range(1, 10000));
    recordCmd_
        ->add_option("--max-depth", record_.request.maxDepth, "Links to follow from the start page")
        ->check(CLI::Range(0, 100));
    recordCmd_->add_option("--max-size", record_.request.maxKiB, "KiB of replies to record at most")
        ->check(CLI::Range(1, 1 << 20));
    recordCmd_->add_option("--max-time", record_.request.maxSeconds, "Seconds to record at most")
        ->check(CLI::Range(1, 86400));
    recordCmd_->add_option("--timeout", record_.request.timeout, "Reply time-out in seconds")
        ->check(CLI::Range(1, 3600));
}

void CommandLine::addDescribe() {
    describeCmd_ = app_.add_subcommand(
        "describe",
        "Write a draft description of the device family from a recording, each guess and each "
        "gap marked for its author");
    describeCmd_->add_option("recording", describe_.recording, "The recording 'record' wrote")
        ->required();
    describeCmd_->add_option("-o,--output", describe_.output,
                             "The draft file to write (default: standard output)");
}

void CommandLine::addFormsLabAndHelp() {
    formsCmd_ = app_.add_subcommand(
        "forms",
        "List the form fields the library reads from a page (--as-browser: the fields a "
        "browser submits, --submit NAME: with that button pressed)");
    formsCmd_->add_option("file", forms_.file, "HTML file, or - for standard input");
    formsCmd_->add_flag("--scripts", forms_.scripts, "Also look for fields inside scripts");
    CLI::Option* asBrowser = formsCmd_->add_flag(
        "--as-browser", forms_.asBrowser,
        "Read the forms as a browser submits them: each field with its control's type, no "
        "disabled or unchecked controls, no submit button unless --submit names it, nothing "
        "from scripts");
    formsCmd_
        ->add_option("--submit", forms_.submit,
                     "With --as-browser: the name of the submit button pressed")
        ->needs(asBrowser);
    formsCmd_->get_option("--scripts")->excludes(asBrowser);

    labCmd_ = app_.add_subcommand(
        "lab",
        "Run an emulated network in the foreground (krzlab; 'krzpap lab --help' lists its "
        "options), or 'krzpap lab reset' to put the built-in lab back to its start");
    labCmd_->prefix_command();
    labCmd_->allow_extras();
    labCmd_->set_help_flag();  // --help goes to krzlab, which knows its options
    labCmd_->fallthrough(false);

    helpCmd_ = app_.add_subcommand("help", "Explain krzpap or one of its commands");
    helpCmd_->add_option("command", helpTopic_, "The command to explain");
}

void CommandLine::addUi() {
    uiCmd_ = app_.add_subcommand(
        "ui", "Do the same work in a page of your browser, served on this computer only");
    uiCmd_->add_option("--port", ui_.port, "Port on 127.0.0.1 to listen on (default: a free one)")
        ->check(CLI::Range(0, 65535));
    uiCmd_->add_flag("--no-open", noOpen_,
                     "Only print the page's address (it opens once); do not start a browser");
}

// The help of the program (empty topic) or of one command; empty for an unknown command.
std::string CommandLine::helpText(const std::string& topic) {
    if (topic.empty())
        return app_.help();
    for (CLI::App* sub : app_.get_subcommands({}))
        if (sub->get_name() == topic)
            return sub->help("krzpap");
    return std::string();
}

int CommandLine::printHelp(const std::string& text) {
    Globals help = globals;
    help.command = "help";  // whatever it explains, the document is help's
    if (globals.json)
        printDocument(help, EXIT_OK, {{"text", text}});
    else
        std::cout << text;
    return EXIT_OK;
}

// 'krzpap help [COMMAND]'. The topic is read here rather than by the parser, which would take it
// for a command to run.
int CommandLine::explain(const std::vector<std::string>& args) {
    auto at = std::find(args.begin(), args.end(), "help");
    std::string topic;
    for (++at; at != args.end() && topic.empty(); ++at)
        if (!at->empty() && (*at)[0] != '-')
            topic = *at;
    if (topic == "lab" && !globals.json)
        return runLabCommand(globals, {"--help"});
    std::string text = helpText(topic);
    if (text.empty())
        return fail(
            globals, EXIT_USAGE,
            "unknown command \"" + escapeText(topic) + "\"; the commands are: " + commandList());
    return printHelp(text);
}

// 'krzpap lab reset [DEVICE]', with the global options anywhere: the lab command hands the rest
// of its line to krzlab, which knows none of them.
int CommandLine::labReset(const std::vector<std::string>& args) {
    size_t at = commandIndex(args);
    std::vector<std::string> rest(args.begin(), args.begin() + static_cast<long>(at));
    rest.insert(rest.end(), args.begin() + static_cast<long>(at) + 2, args.end());
    CLI::App reset{"Put the built-in lab, or one of its devices, back to its start", "krzpap"};
    std::vector<std::string> device;
    reset.add_option("device", device, "The device to put back to its factory settings");
    addGlobalOptionsTo(reset);
    std::reverse(rest.begin(), rest.end());  // CLI11 takes a vector last argument first
    try {
        reset.parse(rest);
    } catch (const CLI::ParseError& e) {
        return fail(globals, EXIT_USAGE,
                    std::string(e.what()) + " (usage: krzpap lab reset [DEVICE])");
    }
    std::vector<std::string> arguments = {"reset"};
    arguments.insert(arguments.end(), device.begin(), device.end());
    try {
        return runLabCommand(globals, arguments);
    } catch (const CommandError& e) {
        return fail(globals, e.code(), e.what());
    }
}

// Runs the parsed command other than lab.
int CommandLine::dispatch() {
    device_.haveUser = showCmd_->count("--user") + configureCmd_->count("--user") > 0;
    device_.havePassword = showCmd_->count("--password") + configureCmd_->count("--password") > 0;
    configure_.haveSsid = configureCmd_->count("--ssid") > 0;
    configure_.haveKey = configureCmd_->count("--key") > 0;
    configure_.haveNewUser = configureCmd_->count("--new-user") > 0;
    configure_.haveNewPassword = configureCmd_->count("--new-password") > 0;
    int code = EXIT_USAGE;
    if (*formsCmd_)
        code = runFormsCommand(globals, forms_);
    else if (*scanCmd_)
        code = runScanCommand(globals, scanOptions_);
    else if (*showCmd_)
        code = runShowCommand(globals, device_);
    else if (*configureCmd_)
        code = runConfigureCommand(globals, device_, configure_);
    else if (*findCmd_)
        code = runFindCommand(globals, macs_);
    else if (*defaultsCmd_)
        code = runDefaultsCommand(globals, defaults_);
    else if (*fetchCmd_)
        code = runFetchCommand(globals, fetch_);
    else if (*trustCmd_)
        code = runTrustCommand(globals, trust_);
    else if (*uiCmd_) {
        if (globals.json) {
            throw CommandError(EXIT_USAGE,
                               "--json does not apply to 'krzpap ui', which serves a page until "
                               "Ctrl-C and prints its address; leave out --json");
        }
        ui_.open = !noOpen_;
        code = runUiCommand(globals, ui_);
    } else if (*recordCmd_) {
        record_.haveUser = recordCmd_->count("--user") > 0;
        record_.havePassword = recordCmd_->count("--password") > 0;
        code = runRecordCommand(globals, record_);
    } else if (*describeCmd_) {
        code = runDescribeCommand(globals, describe_);
    }
    return code;
}

int CommandLine::run(const std::vector<std::string>& args, int argc, char** argv) {
    if (globals.command == "help")
        return explain(args);
    size_t at = commandIndex(args);
    if (globals.command == "lab" && at + 1 < args.size() && args[at + 1] == "reset")
        return labReset(args);
    try {
        app_.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return printHelp(helpText(globals.command));
    } catch (const CLI::CallForAllHelp&) {
        return printHelp(helpText(globals.command));
    } catch (const CLI::CallForVersion&) {
        return printHelp(std::string(kVersion) + "\n");
    } catch (const CLI::ParseError& e) {
        return fail(
            globals, EXIT_USAGE,
            std::string(e.what()) + " ('krzpap help " + globals.command + "' lists the options)");
    }
    int code = EXIT_USAGE;
    try {
        if (*labCmd_)
            return runLabCommand(globals, labCmd_->remaining());
        code = dispatch();
    } catch (const CommandError& e) {
        code = fail(globals, e.code(), e.what());
    } catch (const krzpapp::Error& e) {
        code = fail(globals, exitCodeOf(e.kind()), sentenceOf(e, Audience::CommandLine, globals));
    } catch (const std::exception& e) {
        code = fail(globals, EXIT_ERROR,
                    std::string("unexpected failure: ") + escapeText(e.what()) +
                        " (a module library may have failed; the log has the steps before it)");
    }
    return code;
}

// A missing or unknown command word, found before any parsing; EXIT_OK when the word is fine.
int checkCommandWord(const Globals& globals, const std::vector<std::string>& args,
                     const std::string& word) {
    if (word.empty() && !contains(args, "--help") && !contains(args, "-h") &&
        !contains(args, "--version")) {
        for (size_t i = 0; i < args.size(); ++i) {
            std::string name = args[i].substr(0, args[i].find('='));
            if (contains(kValueOptions, args[i])) {
                ++i;
            } else if (!contains(kGlobalFlags, name) && !contains(kValueOptions, name)) {
                return fail(globals, EXIT_USAGE,
                            "\"" + escapeText(args[i]) +
                                "\" is not an option of krzpap ('krzpap --help' lists them); "
                                "then give a command: " +
                                commandList());
            }
        }
        return fail(globals, EXIT_USAGE,
                    "give a command: " + commandList() + " ('krzpap help' explains them)");
    }
    if (!word.empty() && globals.command.empty()) {
        return fail(globals, EXIT_USAGE,
                    "unknown command \"" + escapeText(word) + "\"; the commands are: " +
                        commandList() + " ('krzpap help' explains them)");
    }
    return EXIT_OK;
}

// What a command printed must have arrived: a failed write (a full disk) fails the command, but a
// reader that stopped reading (krzpap scan | head -1) got what it wanted.
int finishOutput(int code) {
    errno = 0;
    std::cout.flush();
    if (std::cout.good() || errno == EPIPE)
        return code;
    std::string reason =
        errno != 0 ? std::strerror(errno) : "the disk may be full, or the output was closed";
    std::cerr << "krzpap: cannot write the output (" << reason
              << "); what the command found is lost, run it again with its output sent "
                 "elsewhere\n";
    return EXIT_ERROR;
}

}  // namespace

int main(int argc, char** argv) {
    // A Ctrl-C that comes while the library is being set up waits for the command's own handling.
    krzprocess::holdStopRequests();
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string word = commandWord(args);
    CommandLine line(preliminaryGlobals(args, word));
    int wordProblem = checkCommandWord(line.globals, args, word);
    if (wordProblem != EXIT_OK)
        return wordProblem;
    return finishOutput(line.run(args, argc, argv));
}
