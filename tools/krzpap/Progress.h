// Progress of a scan on stderr, read from the library's own log lines while the scan runs: the
// adapter being swept, the addresses probed, the replies and devices so far, the time elapsed.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace krzpap {

class ScanProgress {
  public:
    ScanProgress(const std::string& logFile, bool enabled);
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
    int replies_ = 0;
};

}  // namespace krzpap
