#include "Words.h"

namespace krzpap {

using krzpapp::Advice;
using krzpapp::ErrorKind;

ExitCode exitCodeOf(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::BadRequest:
        case ErrorKind::DeviceRule:
            return EXIT_USAGE;
        case ErrorKind::NotRecognized:
        case ErrorKind::NothingFound:
        case ErrorKind::RecognizerFailed:
            return EXIT_NOTHING_FOUND;
        case ErrorKind::LoginRefused:
        case ErrorKind::LoginLocked:
            return EXIT_LOGIN_FAILED;
        case ErrorKind::NoAdapter:
        case ErrorKind::Unreachable:
            return EXIT_UNREACHABLE;
        case ErrorKind::Cancelled:
            return EXIT_CANCELLED;
        default:
            return EXIT_ERROR;
    }
}

namespace {

std::string modulesOption(Audience audience) {
    return audience == Audience::CommandLine ? "--modules" : "'krzpap ui --modules LIST'";
}

// What the user can do, in the audience's terms, after the failure's own sentence.
std::string advised(const krzpapp::Error& e, Audience audience, const Globals& globals) {
    const bool cli = audience == Audience::CommandLine;
    const std::string said = e.what();
    switch (e.advice()) {
        case Advice::GiveCredentials:
            return said + (cli ? "; give the right ones with --user and --password"
                               : "; give the right ones in User name and Password");
        case Advice::GiveMac:
            return said +
                   (cli ? "; give the one you mean with --mac" : "; give the one you mean in MAC");
        case Advice::LeaveOutNewUser:
            return said + (cli ? "; leave out --new-user"
                               : "; leave the new administrator user name empty");
        case Advice::TryLonger:
            return said + (cli ? "; try again, or give a longer --timeout where the command has one"
                               : "; try again");
        case Advice::SeeLog:
            return said + "; see the log " + logFilePath(globals);
        case Advice::ChooseAdapter:
            return said + (cli ? "; give -I with one of: " : "; choose one of: ") + e.detail();
        case Advice::ChooseModules:
            if (!e.recognizerFailures.empty())
                return said + ": " + recognizerFailuresText(e.recognizerFailures, audience);
            return said + "; 'krzpap fetch " + e.detail() + " /' shows its page, and " +
                   modulesOption(audience) + " loads other modules";
        case Advice::KeyNeedsSecurity:
            return cli ? "--key needs --security: say which mode the key is for, e.g. --security "
                         "wpa2-psk --key PASSPHRASE"
                       : "a wireless key needs a security mode: choose the mode the key is for";
        case Advice::EncryptionNeedsSecurity:
            return cli ? "--encryption needs --security" : "an encryption needs a security mode";
        case Advice::NothingToChange:
            return cli ? "nothing to change: give --ssid, --security with --key, or "
                         "--new-user/--new-password"
                       : "nothing to change: fill in the network name, a security mode with its "
                         "key, or a new administrator user name or password";
        case Advice::SecurityNeedsKey:
            return cli ? "--security " + e.detail() + " needs --key (the new passphrase or WEP key)"
                       : "security " + e.detail() +
                             " needs a wireless key (the new passphrase or WEP key)";
        case Advice::None:
            break;
    }
    return said;
}

}  // namespace

std::string sentenceOf(const krzpapp::Error& e, Audience audience, const Globals& globals) {
    return advised(e, audience, globals);
}

CommandError commandError(const krzpapp::Error& e, const Globals& globals) {
    return CommandError(exitCodeOf(e.kind()), sentenceOf(e, Audience::CommandLine, globals));
}

std::string recognizerFailuresText(const std::vector<krzpapp::RecognizerFailure>& failures,
                                   Audience audience) {
    std::string text;
    for (const krzpapp::RecognizerFailure& failure : failures) {
        const std::string module = failure.module.empty()
                                       ? std::string("a recognizer outside the module list")
                                       : "the module " + escapeText(failure.module);
        text += (text.empty() ? "" : "; ") + module + " failed on " +
                std::to_string(failure.replies) + " repl" + (failure.replies == 1 ? "y" : "ies") +
                " it was asked to recognize (it threw: " + escapeText(failure.reason) +
                ") and was skipped; leave it out of the module list (" + modulesOption(audience) +
                ", or the setting KRZ_VORTAN_APMODULE_DLLS), or tell its authors";
    }
    return text;
}

std::string scanShortfall(const krzpapp::ScanResult& result, Audience audience) {
    if (!result.nothingAnswered || result.cancelled)
        return "";
    // Hosts answered, yet the sweep ended without a result: a recognizer failed on them.
    if (result.answered > 0)
        return std::to_string(result.answered) +
               " host(s) answered, but the scan ended without a result: a module's recognizer "
               "failed (the log names it); leave that module out with " +
               modulesOption(audience) + ", or tell its authors";
    std::string list;
    for (const std::string& name : result.adapters)
        list += (list.empty() ? "" : ", ") + name;
    return "nothing answered on the network (adapters swept: " + list + ")";
}

const char* const kMayHoldChanges =
    "; the device may hold some of the changes ('krzpap show' tells)";

std::string changesNotKept(const krzpapp::ConfigureResult& result) {
    const std::string list = result.notKept();
    return list.empty()
               ? std::string()
               : "the device did not keep: " + list + "; 'krzpap show' tells what it holds now";
}

std::string findShortfall(size_t located, size_t wanted) {
    return std::to_string(located) + " of " + std::to_string(wanted) +
           " found; a device not found may be switched off, or on a network no adapter reaches "
           "('krzpap scan' lists what answers)";
}

}  // namespace krzpap
