#include "ToolsTestSupport.h"

#include "lab/net/LabControlClient.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace krztest {

std::vector<std::string> cleanEnvironment() {
    std::vector<std::string> env;
    for (const std::string& entry : processEnvironment()) {
        if (entry.rfind("KRZ_", 0) != 0)
            env.push_back(entry);
    }
    return env;
}

LabProcess::LabProcess(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {KRZLAB_PROGRAM};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process_ = std::make_unique<BackgroundProgram>(argv, cleanEnvironment());
    const std::string prefix = "KRZ_LAB=";
    if (process_->firstLine().rfind(prefix, 0) != 0)
        throw std::runtime_error("krzlab did not start: \"" + process_->firstLine() + "\"");
    address_ = process_->firstLine().substr(prefix.size());
}

nlohmann::json LabProcess::control(const nlohmann::json& request) {
    krzlab::LabControlClient client(address_);
    return client.request(request);
}

nlohmann::json LabProcess::device(const std::string& name) {
    nlohmann::json answer = control({{"op", "device"}, {"name", name}});
    EXPECT_TRUE(answer.value("ok", false)) << answer.dump();
    return answer["device"];
}

nlohmann::json labOf(const nlohmann::json& devices) {
    return {{"adapters",
             {{{"name", "lab0"},
               {"index", 7},
               {"address", "192.168.77.2"},
               {"mask", "255.255.255.0"},
               {"mac", "02:4B:5A:00:00:02"}}}},
            {"devices", devices}};
}

}  // namespace krztest
