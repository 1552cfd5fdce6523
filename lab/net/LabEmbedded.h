// The lab that runs inside the host process when it joins no running krzlab.
#pragma once

#include "lab/net/LabLink.h"

#include <memory>
#include <string>

namespace krzlab {

// The lab described by `file` (the default lab when empty), with its devices serving on loopback
// in this process. With `statePath`, the devices start as that file saved them (when it exists)
// and saveEmbeddedLab writes them back there. Throws std::runtime_error when it cannot be set up.
std::shared_ptr<LabLink> embeddedLab(const std::string& file, const std::string& statePath);

// Writes the in-process lab's devices as they are now to its state file. False when there is no
// such lab or the file cannot be written.
bool saveEmbeddedLab();

}  // namespace krzlab
