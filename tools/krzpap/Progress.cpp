#include "Progress.h"

#include <cstdio>
#include <fstream>
#include <iostream>

namespace krzpap {

ScanProgress::ScanProgress(const std::string& logFile, bool enabled,
                           std::function<std::string()> heard)
    : logFile_(logFile), start_(std::chrono::steady_clock::now()), heard_(std::move(heard)) {
    if (!enabled) {
        return;
    }
    // Only what the scan adds to the log is of interest.
    std::ifstream in(logFile_, std::ios::binary | std::ios::ate);
    offset_ = in ? static_cast<long>(in.tellg()) : 0;
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

ScanProgress::~ScanProgress() {
    stop();
}

void ScanProgress::stop() {
    if (running_.exchange(false)) {
        thread_.join();
        std::cerr << "\r\033[K" << std::flush;
    }
}

void ScanProgress::run() {
    while (running_) {
        readNewLines();
        draw();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

void ScanProgress::readNewLines() {
    std::ifstream in(logFile_, std::ios::binary);
    if (!in) {
        return;
    }
    in.seekg(offset_);
    std::string line;
    while (std::getline(in, line)) {
        if (in.eof()) {
            break;  // a line still being written is read again next time
        }
        offset_ += static_cast<long>(line.size()) + 1;
        size_t at = line.find("Scanning ");
        if (at != std::string::npos)
            adapter_ = line.substr(at + 9, line.find(' ', at + 9) - at - 9);
    }
}

void ScanProgress::draw() {
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::string stage = adapter_.empty() ? "starting" : "adapter " + adapter_ + ": " + heard_();
    char text[256];
    std::snprintf(text, sizeof text, "\r\033[K[%5.1fs] %s", seconds, stage.c_str());
    std::cerr << text << std::flush;
}

}  // namespace krzpap
