#include "Progress.h"

#include <cstdio>
#include <fstream>
#include <iostream>

namespace krzpap {

ScanProgress::ScanProgress(const std::string& logFile, bool enabled, std::function<int()> replies)
    : logFile_(logFile), start_(std::chrono::steady_clock::now()), replies_(std::move(replies)) {
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
        size_t at;
        if ((at = line.find("Scanning ")) != std::string::npos) {
            adapter_ = line.substr(at + 9, line.find(' ', at + 9) - at - 9);
            probing_ = -1;
        } else if ((at = line.find("Probing ")) != std::string::npos) {
            probing_ = std::atoi(line.c_str() + at + 8);
        }
    }
}

void ScanProgress::draw() {
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::string stage;
    if (adapter_.empty()) {
        stage = "starting";
    } else if (probing_ < 0) {
        stage = "adapter " + adapter_ + ": ARP sweep";
    } else {
        stage = "adapter " + adapter_ + ": probing " + std::to_string(probing_) + " addresses, " +
                std::to_string(replies_()) + " replies";
    }
    char text[256];
    std::snprintf(text, sizeof text, "\r\033[K[%5.1fs] %s", seconds, stage.c_str());
    std::cerr << text << std::flush;
}

}  // namespace krzpap
