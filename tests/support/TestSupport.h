// Small helpers shared by the test folders: catching the library's exception, IPv4 and wide
// text, files and log files; with the loopback socket helpers of ScriptedPeer.h.
#pragma once

#include "ScriptedPeer.h"
#include "core/KRZPAPCException.h"

#include "platform/krzplatform.h"

#include <functional>
#include <string>
#include <vector>

namespace krztest {

// The KRZPAPCException `body` throws; fails the test when it throws none.
KRZPAPCException thrownBy(const std::function<void()>& body);

in_addr inAddr(const std::string& dotted);
std::string dotted(const in_addr& address);
// UTF-8 to wide text and back (undecodable input replaced).
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& text);

// The whole content of the file at `path` ("" when it cannot be read).
std::string fileText(const std::string& path);
// How many times `needle` occurs in `text`, without overlaps.
size_t occurrences(const std::string& text, const std::string& needle);
// A fresh name in the temporary folder (nothing is created).
std::string scratchPath(const std::string& stem);

// One entry of a log file: "YYYY-MM-DD HH:MM:SS.mmm [L] text", the text running (line ends
// included) to the next line that starts with such a header.
struct LogEntry {
    char level;
    std::string text;
};
std::vector<LogEntry> logEntries(const std::string& path);

}  // namespace krztest
