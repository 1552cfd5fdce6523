// krzpap: finds, inspects and configures access points and routers through the library, as a host
// application does; also the tool with which module authors study a new device.
#include "Cli.h"

#include "platform/krzprocess.h"

#include <CLI/CLI.hpp>

#include <iostream>

using namespace krzpap;

namespace {

const char* const kVersion = "krzpap 1.0.0";

const std::vector<std::string> kCommands = {"scan",  "show",  "configure", "find", "defaults",
                                            "fetch", "forms", "lab",       "help"};
// Global options that take a value, so that the value is not taken for a command name.
const std::vector<std::string> kValueOptions = {"--log", "--log-level", "--network", "--lab",
                                                "--modules"};

std::string commandList() {
    std::string list;
    for (const std::string& c : kCommands)
        list += (list.empty() ? "" : ", ") + c;
    return list;
}

// Reports a failed command on stderr (and as the JSON document with --json); returns its code.
int fail(const Globals& globals, int code, const std::string& message) {
    if (globals.json) {
        printDocument(globals, code, nullptr, code == EXIT_CANCELLED, message);
    }
    std::cerr << "krzpap: " << message << "\n";
    return code;
}

// The command word: the first argument that is neither an option nor a global option's value.
std::string commandWord(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--")
            return i + 1 < args.size() ? args[i + 1] : "";
        if (a.empty() || a[0] != '-')
            return a;
        if (std::find(kValueOptions.begin(), kValueOptions.end(), a) != kValueOptions.end())
            ++i;
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    // A Ctrl-C that comes while the library is being set up waits for the command's own handling.
    krzprocess::holdStopRequests();
    std::vector<std::string> args(argv + 1, argv + argc);
    Globals globals;
    std::string word = commandWord(args);
    // --json counts wherever it stands, so that even a usage error comes as JSON.
    for (const std::string& a : args) {
        if (a == "--")
            break;
        globals.json = globals.json || a == "--json";
    }
    if (std::find(kCommands.begin(), kCommands.end(), word) != kCommands.end())
        globals.command = word;

    CLI::App app{
        "krzpap: find the access points and routers on the network, show and change their "
        "settings, find them again by MAC address.\nThe network is the built-in emulated lab "
        "unless --network system is given.",
        "krzpap"};
    app.set_version_flag("--version", kVersion);
    app.fallthrough();  // global options after the command too
    app.option_defaults()->always_capture_default();
    app.footer(
        "Exit status: 0 done, 1 failed, 2 bad usage, 3 nothing found, 4 login refused, 5 "
        "unreachable, 6 interrupted.\nFiles: the log and the built-in lab's state are kept in "
        "$XDG_STATE_HOME/krzpap (default ~/.local/state/krzpap).\n'krzpap help COMMAND' "
        "explains a command.");
    app.add_option("--log", globals.logFile,
                   "Log file (default: setting KRZ_LOG_FILE, else krzpap.log in the state folder)");
    app.add_option("--log-level", globals.logLevel, "Log level: 0 errors, 2 trace, 3 data dumps")
        ->check(CLI::Range(0, 3));
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
                 "Show wireless keys and passwords in the output (hidden otherwise)");
    const std::string globalsFooter =
        "Global options, before or after the command: --json, -q/--quiet, --show-secrets, "
        "--log FILE, --log-level N, --network lab|system, --lab ADDRESS, --modules LIST "
        "('krzpap --help' explains them).";

    ScanOptions scanOptions;
    auto* scan = app.add_subcommand("scan", "Sweep the network's adapters and list the devices");
    scan->add_option("-I,--interface", scanOptions.adapters,
                     "Sweep only this adapter (name or address; repeatable); default: every "
                     "usable adapter");
    scan->add_flag("--all", scanOptions.all,
                   "Also list hosts that answered but that no module recognizes");

    const char* kMacHelp =
        "Reach exactly the device with this MAC (one of two at the same address); without it, "
        "an address outside every adapter's network is asked for its MAC by ARP";
    DeviceOptions device;
    auto addDevice = [&device, kMacHelp](CLI::App* sub) {
        sub->add_option("address", device.address, "The device's IPv4 address")->required();
        sub->add_option("--mac", device.mac, kMacHelp);
        sub->add_option("-u,--user", device.user,
                        "Administrator user name (default: the device's factory user name)");
        sub->add_option("-p,--password", device.password,
                        "Administrator password (default: the device's factory password)");
    };
    auto* show = app.add_subcommand("show", "Log into a device and show its settings");
    addDevice(show);

    ConfigureOptions configure;
    auto* conf = app.add_subcommand("configure", "Change a device's settings and read them back");
    addDevice(conf);
    conf->add_option("--ssid", configure.ssid, "New network name (1 to 32 bytes)");
    conf->add_option("--security", configure.security, "New security mode (needs --key but none)")
        ->check(CLI::IsMember({"none", "wep", "wpa-psk", "wpa2-psk", "wpa-wpa2-psk"}));
    conf->add_option("--encryption", configure.encryption,
                     "Encryption (default: chosen from the mode and key)")
        ->check(CLI::IsMember({"none", "wep64", "wep128", "tkip", "aes", "tkip-aes"}));
    conf->add_option("--key", configure.key, "New wireless key (passphrase, or WEP key)");
    conf->add_option("--new-user", configure.newUser, "New administrator user name");
    conf->add_option("--new-password", configure.newPassword, "New administrator password");

    std::vector<std::string> macs;
    auto* find = app.add_subcommand("find", "Find devices again by MAC address");
    find->add_option("mac", macs, "MAC addresses (12 hexadecimal digits, any separators)")
        ->required();

    DefaultsOptions defaults;
    auto* defs = app.add_subcommand(
        "defaults", "Ask the factory-defaults recognizers about a network from a wireless scan");
    defs->add_option("--ssid", defaults.ssid, "The network's name")->required();
    defs->add_option("--bssid", defaults.bssid, "The access point's MAC address")->required();
    defs->add_option("--channel", defaults.channel, "Channel (0: unknown)");
    defs->add_flag("--privacy", defaults.privacy, "The network asks for encryption");
    defs->add_option("--rsn", defaults.rsn, "Security the scan reported: WEP, WPA, WPA2")
        ->check(CLI::IsMember({"WEP", "WPA", "WPA2"}, CLI::ignore_case));

    FetchOptions fetch;
    auto* fet = app.add_subcommand(
        "fetch", "Send one request exactly as the library sends it and print the reply");
    fet->add_option("address", fetch.address,
                    "Device address or host name, or a URL http://HOST[:PORT]/PATH")
        ->required();
    fet->add_option("path", fetch.path, "Path and query (default /)");
    fet->add_option("--mac", fetch.mac, kMacHelp);
    fet->add_option("--port", fetch.port, "TCP port")->check(CLI::Range(1, 65535));
    fet->add_option("--timeout", fetch.timeout, "Reply time-out in seconds")
        ->check(CLI::Range(1, 3600));
    fet->add_option("-u,--user", fetch.user, "User name for Basic authentication");
    fet->add_option("-p,--password", fetch.password, "Password for Basic authentication");
    fet->add_option("--form", fetch.form, "Form field name=value (repeatable): sends a POST");
    fet->add_flag("--multipart", fetch.multipart, "Send the form as multipart/form-data");
    fet->add_flag("--post", fetch.post, "POST even without form fields");
    fet->add_option("--cookie", fetch.cookie, "Value of the Cookie header");

    FormsOptions forms;
    auto* frm = app.add_subcommand("forms", "List the form fields the library reads from a page");
    frm->add_option("file", forms.file, "HTML file, or - for standard input");
    frm->add_flag("--scripts", forms.scripts, "Also look for fields inside scripts");

    auto* lab = app.add_subcommand(
        "lab",
        "Run an emulated network in the foreground (krzlab; 'krzpap lab --help' lists its "
        "options), or 'krzpap lab reset' to put the built-in lab back to its start");
    lab->prefix_command();
    lab->allow_extras();
    lab->set_help_flag();  // --help goes to krzlab, which knows its options
    lab->fallthrough(false);

    std::string helpTopic;
    auto* help = app.add_subcommand("help", "Explain krzpap or one of its commands");
    help->add_option("command", helpTopic, "The command to explain");

    for (CLI::App* sub : {scan, show, conf, find, defs, fet, frm, help})
        sub->footer(globalsFooter);

    if (word.empty() && std::find(args.begin(), args.end(), "--help") == args.end() &&
        std::find(args.begin(), args.end(), "-h") == args.end() &&
        std::find(args.begin(), args.end(), "--version") == args.end()) {
        return fail(globals, EXIT_USAGE,
                    "give a command: " + commandList() + " ('krzpap help' explains them)");
    }
    if (!word.empty() && globals.command.empty()) {
        return fail(globals, EXIT_USAGE,
                    "unknown command \"" + word + "\"; the commands are: " + commandList());
    }
    if (globals.command == "help") {
        // Read here rather than by the parser, which would take the topic for a command to run.
        auto at = std::find(args.begin(), args.end(), "help");
        std::string topic;
        for (++at; at != args.end() && topic.empty(); ++at)
            if (!at->empty() && (*at)[0] != '-')
                topic = *at;
        if (topic.empty()) {
            std::cout << app.help();
            return EXIT_OK;
        }
        if (topic == "lab")
            return runLabCommand(globals, {"--help"});
        for (CLI::App* sub : app.get_subcommands({})) {
            if (sub->get_name() == topic) {
                std::cout << sub->help("krzpap");
                return EXIT_OK;
            }
        }
        return fail(globals, EXIT_USAGE,
                    "unknown command \"" + topic + "\"; the commands are: " + commandList());
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return fail(
            globals, EXIT_USAGE,
            std::string(e.what()) + " ('krzpap help " + globals.command + "' lists the options)");
    }

    int code = EXIT_USAGE;
    try {
        if (*lab) {
            return runLabCommand(globals, lab->remaining());
        }
        device.haveUser = show->count("--user") + conf->count("--user") > 0;
        device.havePassword = show->count("--password") + conf->count("--password") > 0;
        configure.haveSsid = conf->count("--ssid") > 0;
        configure.haveKey = conf->count("--key") > 0;
        configure.haveNewUser = conf->count("--new-user") > 0;
        configure.haveNewPassword = conf->count("--new-password") > 0;
        if (*frm)
            code = runFormsCommand(globals, forms);
        else if (*scan)
            code = runScanCommand(globals, scanOptions);
        else if (*show)
            code = runShowCommand(globals, device);
        else if (*conf)
            code = runConfigureCommand(globals, device, configure);
        else if (*find)
            code = runFindCommand(globals, macs);
        else if (*defs)
            code = runDefaultsCommand(globals, defaults);
        else if (*fet)
            code = runFetchCommand(globals, fetch);
    } catch (const CommandError& e) {
        code = fail(globals, e.code(), e.what());
    } catch (const std::exception& e) {
        code = fail(globals, EXIT_ERROR, std::string("unexpected failure: ") + e.what());
    }
    saveEmbeddedLab();
    return code;
}
