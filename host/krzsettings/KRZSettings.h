/// \file
/// Host settings.
#pragma once

#include "krzcompat/krzexport.h"

#include <string>

/// Host settings: the environment first, then the settings file, then the default.
///
/// The settings file is named by the environment variable KRZ_SETTINGS_FILE (default: none). It
/// holds lines "NAME=value" in UTF-8; blank lines and lines starting with '#' are ignored. The
/// file is read once and kept; both operations may be called from any thread; nothing is thrown.
class KRZSETTINGS_API KRZSettings {
  public:
    /// The value of the setting \p name, or \p defaultValue when neither the environment nor the
    /// file has it. \p flag is accepted for interface compatibility (the host's "guarded" read).
    static std::wstring strGetKrzGuardValue(const std::wstring& name,
                                            const std::wstring& defaultValue, bool flag);
    /// Forgets the cached settings file so that it is read again on the next call.
    static void reload();
};
