// krzpap: finds, inspects and configures access points and routers through the library, as a host
// application does; also the tool with which module authors study a new device.
#include "Cli.h"

#include <CLI/CLI.hpp>

#include <iostream>

using namespace krzpap;

namespace {

// Reports a failed command on stderr (and as JSON with --json) and returns its exit code.
int fail(const Globals& globals, ExitCode code, const std::string& message) {
    if (globals.json) {
        printJson({{"error", message}, {"exitCode", static_cast<int>(code)}});
    }
    std::cerr << "krzpap: " << message << "\n";
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    Globals globals;
    CLI::App app{
        "krzpap: find the access points and routers on the network, show and change their "
        "settings, find them again by MAC address.\nThe network is the built-in emulated lab "
        "unless --network system is given."};
    app.require_subcommand(1);
    app.option_defaults()->always_capture_default();
    app.add_option("--log", globals.logFile,
                   "Log file (default: setting KRZ_LOG_FILE, else krzpap.log)");
    app.add_option("--log-level", globals.logLevel, "Log level: 0 errors, 2 trace, 3 data dumps")
        ->check(CLI::Range(0, 3));
    app.add_option("--network", globals.network,
                   "Network backend: lab (default, emulated) or system (this machine's adapters)")
        ->check(CLI::IsMember({"lab", "system"}));
    app.add_option("--lab", globals.lab,
                   "Control address of a running lab (krzpap lab prints it); default: setting "
                   "KRZ_LAB, else a built-in lab inside this process");
    app.add_option("--modules", globals.modules,
                   "Module libraries, ';'-separated (default: setting KRZ_VORTAN_APMODULE_DLLS, "
                   "else krzpapmodulesu.dll)");
    app.add_flag("--json", globals.json, "Print results as JSON on stdout");
    app.add_flag("-q,--quiet", globals.quiet, "No progress on stderr");

    ScanOptions scanOptions;
    auto* scan = app.add_subcommand("scan", "Sweep every usable adapter and list the devices");

    const char* kMacHelp =
        "Reach exactly the device with this MAC (one of two at the same address); without it, "
        "an address outside every adapter's network is asked for its MAC by ARP";
    DeviceOptions device;
    auto addDevice = [&device, kMacHelp](CLI::App* sub) {
        sub->add_option("address", device.address, "The device's IPv4 address")->required();
        sub->add_option("--mac", device.mac, kMacHelp);
        sub->add_option("-u,--user", device.user,
                        "Administrator user name (default: the "
                        "device's factory user name)");
        sub->add_option("-p,--password", device.password,
                        "Administrator password (default: the device's factory password)");
    };
    auto* show = app.add_subcommand("show", "Log into a device and show its settings");
    addDevice(show);

    ConfigureOptions configure;
    auto* conf = app.add_subcommand("configure", "Change a device's settings and read them back");
    addDevice(conf);
    conf->add_option("--ssid", configure.ssid, "New network name (1 to 32 bytes)");
    conf->add_option("--security", configure.security, "New security mode")
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
    defs->add_option("--rsn", defaults.rsn, "Security the scan reported: WPA, WPA2, WEP");

    FetchOptions fetch;
    auto* fet = app.add_subcommand(
        "fetch", "Send one request exactly as the library sends it and print the reply");
    fet->add_option("address", fetch.address, "Device address or host name")->required();
    fet->add_option("path", fetch.path, "Path and query, e.g. /")->required();
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

    std::vector<std::string> labArgs;
    auto* lab = app.add_subcommand("lab", "Run the emulated network (krzlab) in the foreground");
    lab->prefix_command();
    lab->allow_extras();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? EXIT_OK : EXIT_USAGE;
    }

    try {
        if (*lab) {
            return runLabCommand(lab->remaining());
        }
        device.haveUser = show->count("--user") + conf->count("--user") > 0;
        device.havePassword = show->count("--password") + conf->count("--password") > 0;
        configure.haveSsid = conf->count("--ssid") > 0;
        configure.haveKey = conf->count("--key") > 0;
        configure.haveNewUser = conf->count("--new-user") > 0;
        configure.haveNewPassword = conf->count("--new-password") > 0;
        if (*frm)
            return runFormsCommand(globals, forms);
        if (*scan)
            return runScanCommand(globals, scanOptions);
        if (*show)
            return runShowCommand(globals, device);
        if (*conf)
            return runConfigureCommand(globals, device, configure);
        if (*find)
            return runFindCommand(globals, macs);
        if (*defs)
            return runDefaultsCommand(globals, defaults);
        if (*fet)
            return runFetchCommand(globals, fetch);
    } catch (const CommandError& e) {
        return fail(globals, e.code(), e.what());
    } catch (const std::exception& e) {
        return fail(globals, EXIT_ERROR, e.what());
    }
    return EXIT_USAGE;
}
