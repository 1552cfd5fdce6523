// Progress of a scan on stderr: the adapter being swept, read from the library's own log lines
// while the scan runs, and what the scan heard so far (hosts that answered, devices recognized),
// told by the caller as the scan's observer hears it.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace krzpap {

class ScanProgress {
  public:
    ScanProgress(const std::string& logFile, bool enabled, std::function<std::string()> heard);
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
    std::function<std::string()> heard_;
};

}  // namespace krzpap
