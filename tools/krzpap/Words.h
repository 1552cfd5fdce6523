// The application layer's failures and findings in krzpap's words. The command line names its
// options, the page its fields; everything else reads the same on both.
#pragma once

#include "CliErrors.h"
#include "CliHost.h"

#include "app/KRZPApp.h"

#include <string>
#include <vector>

namespace krzpap {

enum class Audience { CommandLine, Page };

// The exit code a kind of failure ends a command with.
ExitCode exitCodeOf(krzpapp::ErrorKind kind);
// The failure as one sentence for the audience.
std::string sentenceOf(const krzpapp::Error& e, Audience audience, const Globals& globals);
// The failure as the command's: exit code and the command line's sentence.
CommandError commandError(const krzpapp::Error& e, const Globals& globals);

// One clause per module whose recognizer threw: which module, on how many replies, what it
// threw, and what to do; empty when none did.
std::string recognizerFailuresText(const std::vector<krzpapp::RecognizerFailure>& failures,
                                   Audience audience);
// Why a scan that ended without a result found nothing: a recognizer failed on the hosts that
// answered, or nothing answered; empty when the scan ended with a result.
std::string scanShortfall(const krzpapp::ScanResult& result, Audience audience);
// What a cancelled configure adds to "cancelled".
extern const char* const kMayHoldChanges;
// The failure when the device did not keep some change; empty when it kept them all.
std::string changesNotKept(const krzpapp::ConfigureResult& result);
// The sentence for MACs not found.
std::string findShortfall(size_t located, size_t wanted);

}  // namespace krzpap
