// Root of every exception the host libraries and the library throw.
#pragma once

#include "krzcompat/krzexport.h"

#include <exception>
#include <string>

class KRZUTIL_API KRZException : public std::exception {
  public:
    // `file` is the raising source unit's name (no extension); `msg` may be empty.
    KRZException(const char* file, int line, const std::wstring& msg, int code);
    KRZException(const KRZException& other);
    KRZException& operator=(const KRZException& other);
    virtual ~KRZException() noexcept;

    int getErrorCode() const;
    const std::wstring& getMessage() const;
    const std::string& getSourceFile() const;
    int getLine() const;
    // One line describing the exception, e.g.
    // "KRZException: code 4 at KRZPAPComm line 210, Windows error 10061: <message>".
    std::wstring getLogLine() const;
    void setMsError(unsigned int error);
    unsigned int getMsError() const;
    // The log line in UTF-8.
    const char* what() const noexcept override;

  private:
    std::string file_;
    int line_;
    std::wstring message_;
    int code_;
    unsigned int msError_;
    std::string what_;
};
