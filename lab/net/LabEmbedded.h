// The lab that runs inside the host process when it joins no running krzlab.
#pragma once

#include "lab/net/LabLink.h"

#include <memory>
#include <string>

namespace krzlab {

// The lab described by `file` (the default lab when empty), with its devices serving on loopback
// in this process. With `statePath`, every process running the lab with that file shares its
// devices' settings: each request a device serves runs on the settings as stored, under a lock
// across processes, and a change is stored at once (atomically, beside a lock file
// `statePath`.lock); the link takes over other processes' changes before it carries anything.
// Throws std::runtime_error when it cannot be set up.
std::shared_ptr<LabLink> embeddedLab(const std::string& file, const std::string& statePath);

// Puts device `name` of the lab stored at `statePath` back to its factory settings, or, with an
// empty name, the whole lab back to its start (the file is removed). False with `reason` set
// when the device is unknown or the store cannot be locked or written.
bool resetStoredLab(const std::string& statePath, const std::string& name, std::string& reason);

// For a host that ends in the middle of its work (krzpap after Ctrl-C): waits at most `timeoutMs`
// for a device request of this process that is storing the lab at `statePath` to finish, then
// keeps every other from storing until the process ends (the lock is never let go; the system
// drops it with the process). So what is stored is whole, and is what the devices answered. False
// when the lock was not had in time: another process holds it, and none of ours is storing.
bool holdStoredLab(const std::string& statePath, int timeoutMs);

}  // namespace krzlab
