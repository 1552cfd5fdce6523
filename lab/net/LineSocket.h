// A connected stream socket read and written one line ("\n"-terminated) at a time.
#pragma once

#include <string>

namespace krzlab {

class LineSocket {
  public:
    // A descriptor or socket handle; -1 for none.
    explicit LineSocket(long long fd = -1) : fd_(fd) {}
    ~LineSocket() { close(); }
    LineSocket(const LineSocket&) = delete;
    LineSocket& operator=(const LineSocket&) = delete;

    // Connects to 127.0.0.1:port; false when nothing answers there.
    bool connectLoopback(unsigned short port);
    bool isOpen() const { return fd_ >= 0; }
    // The next line without its "\n"; false at the end of the stream or on an error.
    bool readLine(std::string& line);
    // Sends the text and a "\n".
    bool writeLine(const std::string& text);
    void close();

  private:
    long long fd_;
    std::string buffered_;
};

}  // namespace krzlab
