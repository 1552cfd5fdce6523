#include "lab/net/LabEmbedded.h"

#include "lab/net/LabDescription.h"
#include "lab/net/LabNetwork.h"

#include "platform/krzprocess.h"

#include <cstdio>
#include <fstream>
#include <mutex>

namespace krzlab {

namespace {

// The lab made inside this process, where its state is kept between programs, so that
// saveEmbeddedLab can write it back.
struct KeptLab {
    std::mutex mutex;
    std::weak_ptr<LabNetwork> network;
    LabDescription description;
    std::string path;
};

KeptLab& keptLab() {
    static KeptLab* kept = new KeptLab;  // never destroyed: saved from at any time before exit
    return *kept;
}

}  // namespace

std::shared_ptr<LabLink> embeddedLab(const std::string& file, const std::string& statePath) {
    LabDescription description =
        file.empty() ? LabDescription::defaultLab() : LabDescription::fromFile(file);
    if (!statePath.empty() && std::ifstream(statePath).good()) {
        try {
            description = LabDescription::fromFile(statePath);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "krzlab: the saved lab %s cannot be read (%s); starting afresh\n",
                         statePath.c_str(), e.what());
        }
    }
    auto network = LabNetwork::create(description);
    if (!statePath.empty()) {
        KeptLab& kept = keptLab();
        std::lock_guard<std::mutex> lock(kept.mutex);
        kept.network = network;
        kept.description = description;
        kept.path = statePath;
    }
    return network;
}

bool saveEmbeddedLab() {
    KeptLab& kept = keptLab();
    std::lock_guard<std::mutex> lock(kept.mutex);
    std::shared_ptr<LabNetwork> network = kept.network.lock();
    if (!network)
        return false;
    LabDescription now = kept.description;
    for (LabDeviceEntry& entry : now.devices)
        entry.profile = network->status(entry.profile.name).state;
    return krzprocess::writeFileAtomically(kept.path, now.toJson().dump(2) + "\n");
}

}  // namespace krzlab
