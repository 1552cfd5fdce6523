// The lab that runs inside the host process when it joins no running krzlab.
#pragma once

#include "lab/net/LabLink.h"

#include <memory>
#include <string>

namespace krzlab {

// The lab described by `file` (the default lab when empty), with its devices serving on loopback
// in this process. Throws std::runtime_error when it cannot be set up.
std::shared_ptr<LabLink> embeddedLab(const std::string& file);

}  // namespace krzlab
