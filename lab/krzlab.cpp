// krzlab: runs a lab network as its own process, or controls a running one.
#include "lab/net/LabControl.h"
#include "lab/net/LabControlClient.h"
#include "lab/net/LabControlServer.h"
#include "lab/net/LabDescription.h"
#include "lab/net/LabNetwork.h"
#include "platform/krzprocess.h"

#include <iostream>
#include <string>
#include <vector>

namespace {

const char* const kHelp =
    "krzlab: an emulated network of access points and routers for krzpap and the library's\n"
    "tests. Nothing it does leaves this computer.\n"
    "\n"
    "Usage:\n"
    "  krzlab [--lab FILE | --generated N]\n"
    "      Run a lab in the foreground: prints KRZ_LAB=ADDRESS (give it to krzpap with --lab\n"
    "      or the KRZ_LAB setting) and serves until Ctrl-C or a shutdown request.\n"
    "      Without options the default lab runs (six devices on 192.168.77.0/24).\n"
    "  krzlab ctl ADDRESS OP [NAME [FAULT [PARAM]]] [--show-secrets]\n"
    "  krzlab ctl ADDRESS '{\"op\": ...}' [--show-secrets]\n"
    "      Send one control request to a running lab and print its answer as JSON.\n"
    "  krzlab dump [default | generated N]\n"
    "      Print a lab description (the form --lab FILE reads).\n"
    "  krzlab --help | --version\n"
    "\n"
    "Options:\n"
    "  --lab FILE        run the lab described in FILE (see 'krzlab dump')\n"
    "  --generated N     run N healthy devices of every family (1 to 250)\n"
    "  --show-secrets    show passwords and keys in ctl answers (hidden otherwise)\n"
    "\n"
    "Control operations: adapters, devices, device NAME, stop NAME, start NAME, reset NAME\n"
    "(factory reset), fault NAME FAULT [PARAM], driver-table, host-table, shutdown.\n"
    "Faults: none, down, refusing, silent, slow, close-early, malformed.\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 bad usage.\n";

// A usage error: the sentence, and where the help is.
class UsageError : public std::runtime_error {
  public:
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

int wholeNumber(const std::string& text, const std::string& what) {
    size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size())
        throw UsageError(what + " is a whole number, not \"" + text + "\"");
    return value;
}

int generatedCount(const std::string& text) {
    int count = wholeNumber(text, "--generated");
    if (count < 1 || count > 250)
        throw UsageError("--generated takes 1 to 250 devices");
    return count;
}

// Passwords and keys, wherever they stand in an answer, unless the user asked for them.
void hideSecrets(nlohmann::json& value) {
    if (value.is_object()) {
        for (auto& [name, item] : value.items()) {
            if ((name == "password" || name == "key") && item.is_string())
                item = nullptr;
            else
                hideSecrets(item);
        }
    } else if (value.is_array()) {
        for (auto& item : value)
            hideSecrets(item);
    }
}

int control(std::vector<std::string> args) {
    bool showSecrets = false;
    for (auto it = args.begin(); it != args.end();) {
        if (*it == "--show-secrets") {
            showSecrets = true;
            it = args.erase(it);
        } else {
            ++it;
        }
    }
    if (args.size() < 2)
        throw UsageError("ctl needs the lab's address and an operation: krzlab ctl ADDRESS OP");
    nlohmann::json request;
    if (!args[1].empty() && args[1][0] == '{') {
        request = nlohmann::json::parse(args[1], nullptr, false);
        if (request.is_discarded())
            throw UsageError("the request is not JSON");
    } else {
        const std::string& op = args[1];
        request["op"] = op;
        bool named =
            op == "device" || op == "stop" || op == "start" || op == "reset" || op == "fault";
        if (named && args.size() < 3)
            throw UsageError("'" + op + "' needs a device name: krzlab ctl ADDRESS " + op +
                             " NAME" + (op == "fault" ? " FAULT [PARAM]" : ""));
        if (op == "fault" && args.size() < 4)
            throw UsageError(
                "'fault' needs a fault: none, down, refusing, silent, slow, "
                "close-early or malformed");
        if (args.size() > 2)
            request["name"] = args[2];
        if (args.size() > 3)
            request["fault"] = args[3];
        if (args.size() > 4)
            request["param"] = wholeNumber(args[4], "the fault's parameter");
        if (args.size() > 5)
            throw UsageError("too many arguments for ctl");
    }
    nlohmann::json answer;
    try {
        krzlab::LabControlClient client(args[0]);
        answer = client.request(request);
    } catch (const std::exception& e) {
        std::cerr << "krzlab: no lab answers at " << args[0] << " (" << e.what()
                  << "); start one with 'krzlab' or 'krzpap lab'\n";
        return 1;
    }
    if (!answer.value("ok", false)) {
        std::cerr << "krzlab: the lab refused the request: " << answer.value("error", "") << "\n";
        return 1;
    }
    if (!showSecrets)
        hideSecrets(answer);
    std::cout << answer.dump(2) << "\n";
    return 0;
}

int dump(const std::vector<std::string>& args) {
    krzlab::LabDescription lab;
    if (args.empty() || (args.size() == 1 && args[0] == "default"))
        lab = krzlab::LabDescription::defaultLab();
    else if (args[0] == "generated" && args.size() == 2)
        lab = krzlab::LabDescription::generated(generatedCount(args[1]));
    else
        throw UsageError("dump takes 'default' or 'generated N'");
    std::cout << lab.toJson().dump(2) << "\n";
    return 0;
}

int run(const std::vector<std::string>& args) {
    krzlab::LabDescription description = krzlab::LabDescription::defaultLab();
    if (args.size() == 2 && args[0] == "--lab") {
        try {
            description = krzlab::LabDescription::fromFile(args[1]);
        } catch (const std::exception& e) {
            throw UsageError("cannot use the lab description " + args[1] + ": " + e.what());
        }
    } else if (args.size() == 2 && args[0] == "--generated") {
        description = krzlab::LabDescription::generated(generatedCount(args[1]));
    } else if (!args.empty()) {
        throw UsageError("unknown arguments" + std::string(args[0][0] == '-' ? " " : " \"") +
                         args[0] + (args[0][0] == '-' ? "" : "\""));
    }

    krzprocess::holdStopRequests();
    auto lab = krzlab::LabNetwork::create(description);
    krzlab::LabControlServer server(lab, [] { krzprocess::requestStop(); });
    std::cout << "KRZ_LAB=" << server.address() << std::endl;
    krzprocess::waitForStopRequest();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (!args.empty() && (args[0] == "-h" || args[0] == "--help" || args[0] == "help")) {
            std::cout << kHelp;
            return 0;
        }
        if (!args.empty() && args[0] == "--version") {
            std::cout << "krzlab 1.0.0\n";
            return 0;
        }
        if (!args.empty() && args[0] == "ctl")
            return control({args.begin() + 1, args.end()});
        if (!args.empty() && args[0] == "dump")
            return dump({args.begin() + 1, args.end()});
        return run(args);
    } catch (const UsageError& e) {
        std::cerr << "krzlab: " << e.what() << " ('krzlab --help' explains the usage)\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "krzlab: " << e.what() << "\n";
        return 1;
    }
}
