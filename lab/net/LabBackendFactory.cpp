// The entry point through which the network library makes its "lab" backend.
#include "lab/net/LabBackend.h"
#include "lab/net/LabControlClient.h"
#include "lab/net/LabEmbedded.h"

#include "krzcompat/krzexport.h"
#include "krzsettings/KRZSettings.h"
#include "krzutil/KRZTextCoding.h"

#include <cstdio>
#include <string>

namespace {

std::string utf8(const std::wstring& text) {
    std::string out;
    for (wchar_t wc : text) {
        krzAppendUtf8(static_cast<uint32_t>(wc), out);
    }
    return out;
}

std::shared_ptr<krzlab::LabLink> makeLink() {
    std::string joined = utf8(KRZSettings::strGetKrzGuardValue(L"KRZ_LAB", L"", true));
    if (!joined.empty())
        return std::make_shared<krzlab::LabControlClient>(joined);
    std::string file = utf8(KRZSettings::strGetKrzGuardValue(L"KRZ_LAB_FILE", L"", true));
    std::string state = utf8(KRZSettings::strGetKrzGuardValue(L"KRZ_LAB_STATE", L"", true));
    return krzlab::embeddedLab(file, state);
}

}  // namespace

extern "C" KRZ_DLL_EXPORT KRZNetworkBackend* krzCreateLabBackend() {
    std::shared_ptr<krzlab::LabLink> link;
    try {
        link = makeLink();
    } catch (const std::exception& e) {
        // The host has no console of ours to report to; stderr is what a lab user watches.
        std::fprintf(stderr, "krzlab: %s; the lab network has no adapters\n", e.what());
        link = std::make_shared<krzlab::NoLink>();
    }
    return new krzlab::LabBackend(link);
}

// Writes the in-process lab's devices as they are now to the state file named by KRZ_LAB_STATE.
// Returns false when there is no such lab or the file cannot be written.
extern "C" KRZ_DLL_EXPORT bool krzLabSaveState() {
    return krzlab::saveEmbeddedLab();
}
