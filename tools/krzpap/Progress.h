// Progress of a scan on stderr, read from the library's own log lines while the scan runs: the
// adapter being swept and the addresses probed; the replies so far come from the caller.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace krzpap {

class ScanProgress {
  public:
    ScanProgress(const std::string& logFile, bool enabled, std::function<int()> replies);
    ~ScanProgress();
    void stop();

  private:
    void run();
    void readNewLines();
    void draw();

    std::string logFile_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::chrono::steady_clock::time_point start_;
    long offset_ = 0;
    std::string adapter_;
    int probing_ = -1;  // -1 while the adapter's ARP sweep runs
    std::function<int()> replies_;
};

}  // namespace krzpap
