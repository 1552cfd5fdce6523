/// \file
/// Root of every exception the host libraries and the library throw.
#pragma once

#include "krzcompat/krzexport.h"

#include <exception>
#include <string>

/// The host libraries' exception, and the base of KRZPAPCException: a code, the raising unit and
/// line, a wide message (may be empty) and a Windows or Winsock error number (0 when none).
/// Thrown by value, caught by reference; a plain value type (copies are independent).
class KRZUTIL_API KRZException : public std::exception {
  public:
    /// \p file is the raising source unit's name (no extension); \p msg may be empty.
    KRZException(const char* file, int line, const std::wstring& msg, int code);
    /// Copies every field.
    KRZException(const KRZException& other);
    /// Copies every field.
    KRZException& operator=(const KRZException& other);
    virtual ~KRZException() noexcept;

    /// The code given at construction (for the library's, a KRZPAPCErrorCode).
    int getErrorCode() const;
    /// The message given at construction.
    const std::wstring& getMessage() const;
    /// The raising unit's name.
    const std::string& getSourceFile() const;
    /// The raising line.
    int getLine() const;
    /// One line describing the exception, e.g.
    /// "KRZException: code 4 at KRZPAPComm line 210, Windows error 10061: \<message\>".
    std::wstring getLogLine() const;
    /// Attaches the Windows or Winsock error that caused the failure (10060 timed out, 10061
    /// refused, 10065 unreachable, ...).
    void setMsError(unsigned int error);
    /// The attached error; 0 when none.
    unsigned int getMsError() const;
    /// The log line in UTF-8.
    const char* what() const noexcept override;

  private:
    std::string file_;
    int line_;
    std::wstring message_;
    int code_;
    unsigned int msError_;
    std::string what_;
};
