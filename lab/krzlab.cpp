// krzlab: runs a lab network as its own process, or controls a running one.
//
//   krzlab [--lab FILE | --generated N]   run; prints "KRZ_LAB=127.0.0.1:<port>" and serves until
//                                         SIGINT, SIGTERM or a shutdown request
//   krzlab ctl ADDR OP [NAME [FAULT [PARAM]]]   one control request, its answer on stdout
//   krzlab ctl ADDR '{"op":...}'          a raw control request
//   krzlab dump [default | generated N]   prints a lab description
#include "lab/net/LabControl.h"
#include "lab/net/LabControlClient.h"
#include "lab/net/LabControlServer.h"
#include "lab/net/LabDescription.h"
#include "lab/net/LabNetwork.h"
#include "platform/krzprocess.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

int usage() {
    std::cerr << "usage: krzlab [--lab FILE | --generated N]\n"
                 "       krzlab ctl 127.0.0.1:PORT OP [NAME [FAULT [PARAM]]]\n"
                 "       krzlab ctl 127.0.0.1:PORT '{\"op\":...}'\n"
                 "       krzlab dump [default | generated N]\n"
                 "ops: adapters devices device stop start reset fault driver-table host-table "
                 "shutdown\n";
    return 2;
}

int control(const std::vector<std::string>& args) {
    if (args.size() < 2)
        return usage();
    nlohmann::json request;
    if (!args[1].empty() && args[1][0] == '{') {
        request = nlohmann::json::parse(args[1], nullptr, false);
        if (request.is_discarded()) {
            std::cerr << "krzlab: the request is not JSON\n";
            return 2;
        }
    } else {
        request["op"] = args[1];
        if (args.size() > 2)
            request["name"] = args[2];
        if (args.size() > 3)
            request["fault"] = args[3];
        if (args.size() > 4)
            request["param"] = std::stoi(args[4]);
    }
    try {
        krzlab::LabControlClient client(args[0]);
        nlohmann::json answer = client.request(request);
        std::cout << answer.dump(2) << "\n";
        return answer.value("ok", false) ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "krzlab: " << e.what() << "\n";
        return 1;
    }
}

int dump(const std::vector<std::string>& args) {
    krzlab::LabDescription lab;
    if (args.empty() || args[0] == "default")
        lab = krzlab::LabDescription::defaultLab();
    else if (args[0] == "generated" && args.size() == 2)
        lab = krzlab::LabDescription::generated(std::stoi(args[1]));
    else
        return usage();
    std::cout << lab.toJson().dump(2) << "\n";
    return 0;
}

int run(const std::vector<std::string>& args) {
    krzlab::LabDescription description = krzlab::LabDescription::defaultLab();
    if (args.size() == 2 && args[0] == "--lab")
        description = krzlab::LabDescription::fromFile(args[1]);
    else if (args.size() == 2 && args[0] == "--generated")
        description = krzlab::LabDescription::generated(std::stoi(args[1]));
    else if (!args.empty())
        return usage();

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
        if (!args.empty() && args[0] == "ctl")
            return control({args.begin() + 1, args.end()});
        if (!args.empty() && args[0] == "dump")
            return dump({args.begin() + 1, args.end()});
        if (!args.empty() && (args[0] == "-h" || args[0] == "--help"))
            return usage();
        return run(args);
    } catch (const std::exception& e) {
        std::cerr << "krzlab: " << e.what() << "\n";
        return 1;
    }
}
