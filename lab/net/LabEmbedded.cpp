#include "lab/net/LabEmbedded.h"

#include "lab/net/LabDescription.h"
#include "lab/net/LabNetwork.h"

namespace krzlab {

std::shared_ptr<LabLink> embeddedLab(const std::string& file) {
    LabDescription description =
        file.empty() ? LabDescription::defaultLab() : LabDescription::fromFile(file);
    return LabNetwork::create(description);
}

}  // namespace krzlab
