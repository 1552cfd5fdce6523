// Which module library is registering, for the registries that remember who registered what, so
// that a failure can name the module. Not exported: only the library's own units ask.
#pragma once

#include <string>

namespace krzpmoduleorigin {

// The module list's name of the library whose load (and so whose registrations) loadModuleDlls is
// running; empty outside such a load.
const std::wstring& loading();

}  // namespace krzpmoduleorigin
