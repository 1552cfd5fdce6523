// The entry point through which the network library makes its "lab" backend.
#include "lab/net/LabBackend.h"
#include "lab/net/LabControlClient.h"
#include "lab/net/LabEmbedded.h"

#include "krzcompat/krzexport.h"
#include "krzsettings/KRZSettings.h"
#include "krzutil/KRZTextCoding.h"
#include "platform/krzprocess.h"

#include <algorithm>
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

// The built-in lab keeps its state for this user where krzpap keeps it, so that every program
// using it sees the same devices; without such a folder it starts afresh each time.
std::string builtInLabState() {
    std::string reason;
    std::string folder = krzprocess::userStateDirectory("krzpap", reason);
    return folder.empty() ? folder : folder + "lab.json";
}

// `builtIn` is set when the lab is the user's built-in one (no running lab joined, no lab file),
// the only lab open to loopback.
std::shared_ptr<krzlab::LabLink> makeLink(bool& builtIn) {
    builtIn = false;
    std::string joined = utf8(KRZSettings::strGetKrzGuardValue(L"KRZ_LAB", L"", true));
    if (!joined.empty())
        return std::make_shared<krzlab::LabControlClient>(joined);
    std::string file = utf8(KRZSettings::strGetKrzGuardValue(L"KRZ_LAB_FILE", L"", true));
    builtIn = file.empty();
    std::string state = utf8(KRZSettings::strGetKrzGuardValue(L"KRZ_LAB_STATE", L"", true));
    return krzlab::embeddedLab(file, state.empty() && file.empty() ? builtInLabState() : state);
}

}  // namespace

extern "C" KRZ_DLL_EXPORT KRZNetworkBackend* krzCreateLabBackend() {
    std::shared_ptr<krzlab::LabLink> link;
    bool builtIn = false;
    try {
        link = makeLink(builtIn);
    } catch (const std::exception& e) {
        // The host has no console of ours to report to; stderr is what a lab user watches.
        std::fprintf(stderr, "krzlab: %s; the lab network has no adapters\n", e.what());
        link = std::make_shared<krzlab::NoLink>();
    }
    return new krzlab::LabBackend(link, builtIn);
}

// Puts device `name` of the built-in lab stored at `statePath` back to its factory settings, or
// the whole lab back to its start when `name` is empty. False with the reason in `reason` (cut to
// `size` bytes, terminated) when it cannot.
extern "C" KRZ_DLL_EXPORT bool krzLabResetState(const char* statePath, const char* name,
                                                char* reason, size_t size) {
    std::string why;
    if (krzlab::resetStoredLab(statePath, name == nullptr ? "" : name, why))
        return true;
    if (size > 0) {
        size_t n = std::min(why.size(), size - 1);
        why.copy(reason, n);
        reason[n] = '\0';
    }
    return false;
}

// Keeps this process's devices from storing the built-in lab at `statePath` from now until the
// process ends, once a request storing it has finished (waiting at most `timeoutMs`).
extern "C" KRZ_DLL_EXPORT bool krzLabHoldState(const char* statePath, int timeoutMs) {
    return krzlab::holdStoredLab(statePath, timeoutMs);
}
