// One HTTP/1.1 client connection to a device: a fresh TCP connection per request ("Connection:
// Close"), plain or carried by the packet driver to a MAC address; non-blocking buffered reads;
// request writers; a resumable reply reader and a synchronous one with time-out and cancellation.
#pragma once

#include "core/KRZPAPCException.h"
#include "krzcompat/krzexport.h"
#include "krzcompat/krznettypes.h"
#include "krzutil/KRZMacAddress.h"

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

class KRZVirtualSocket;
class KRZPFormParams;
class KRZPLineCursor;
class KRZPReplyParser;
class KRZPMultipartParams;
class KRZWakeHandle;

class KRZPAP_API KRZPAPComm {
  public:
    // Upper bounds on what a device may send in one reply. Crossing one ends the read with a
    // KRZPAPCException (KRZPAPC_IO_ERROR, message naming the bound) and a level-0 log line, and
    // closes the connection. The largest real admin pages (single-page interfaces with their
    // scripts, configuration backups) stay below a few MiB; their header blocks below 8 KiB.
    static constexpr size_t MAX_HEADER_LINE = 64 * 1024;
    static constexpr size_t MAX_HEADER_BLOCK = 256 * 1024;
    static constexpr size_t MAX_CHUNK_SIZE_LINE = 4 * 1024;
    static constexpr size_t MAX_REPLY = 16 * 1024 * 1024;  // headers and body together

    KRZPAPComm();
    explicit KRZPAPComm(in_addr address);
    // Dotted text or a host name; an unresolvable name leaves the address INADDR_NONE.
    explicit KRZPAPComm(const std::string& host);
    // A copy shares the socket; the socket is closed when the last object holding it lets it go
    // (closeConnection, the end of a reply, the next openConnection or the destructor).
    KRZPAPComm(const KRZPAPComm& other);
    KRZPAPComm& operator=(const KRZPAPComm& other);
    virtual ~KRZPAPComm();

    // ---- settings ----
    void setTimeout(int seconds);
    int getTimeout() const;
    // May be called from another thread: a connect or reply wait in progress ends at once with
    // KRZPAPC_CANCELLED (waitForData returns false). A cancel given before an operation starts is
    // forgotten when it starts.
    void setCancel(bool cancel);
    void setSpacePlus(bool spacePlus);
    bool getSpacePlus() const;
    void setInterfaceMac(const KRZMacAddress& mac);
    void setDestinationMac(const KRZMacAddress& mac);
    void setAuthInfo(const std::string& user, const std::string& password);
    std::string getUsername() const;
    std::string getPassword() const;
    void setCookie(const std::string& name, const std::string& value);
    unsigned int getFD() const;
    in_addr getAddr() const;

    // ---- connection ----
    void openConnection(unsigned short port, bool noWait);
    void closeConnection();

    // ---- reading ----
    KRZPAPCReadStatus getLine(std::string& line);
    KRZPAPCReadStatus getUntil(std::string& out, const std::string& delimiter, int timeoutSeconds);
    KRZPAPCReadStatus peekData(std::string& out);
    KRZPAPCReadStatus getData(std::string& out);
    bool waitForData(int seconds);

    // ---- writing ----
    void writeData(const std::string& data, bool log);
    void writeGetRequest(const std::string& url);
    void writeGetRequest(const std::string& url, const KRZPFormParams& params);
    void writeGetRequest(const std::string& url, const std::map<std::string, std::string>& params);
    void writeGetRequest(const std::string& url, const std::map<std::string, std::string>& params,
                         const std::vector<std::string>& order);
    void writePostRequest(const std::string& url, std::string body);
    void writePostRequest(const std::string& url, const KRZPFormParams& params);
    void writePostRequest(const std::string& url, const std::map<std::string, std::string>& params);
    void writePostRequest(const std::string& url, const std::map<std::string, std::string>& params,
                          const std::vector<std::string>& order);
    void writeMultipartPostRequest(const std::string& url, const KRZPMultipartParams& params);
    void writeMultipartPostRequest(const std::string& url, const KRZPFormParams& params);
    void writeMultipartPostRequest(const std::string& url,
                                   const std::map<std::string, std::string>& params);

    // ---- replies ----
    // KRZPAPC_READ_OK: the reply is complete. KRZPAPC_READ_CLOSED: the device closed before it
    // was (inside the header block, before the declared length, inside or between chunks); what
    // arrived stays readable. A reset, and a reply over one of the bounds above, throw.
    KRZPAPCReadStatus readResponse();
    // Returns only with a complete reply; a reply cut short throws KRZPAPC_IO_ERROR with the
    // message "Reply cut short" (headers and body keep what arrived).
    void readResponseSynchronous();
    const std::string& getResponseHeaders() const;
    const std::string& getResponseBody() const;

    // The form text of a list: name=value pairs joined by '&', URL-encoded with this connection's
    // space-plus flag.
    std::string formText(const KRZPFormParams& params) const;

  private:
    struct SocketShare;  // closes the socket when its last holder lets go

    KRZPAPCReadStatus fillBuffer();
    KRZPAPCReadStatus receiveBody(KRZPAPCReadStatus& parsed);
    KRZPAPCReadStatus appendBytes(std::string& out, int count);
    void sendReq(unsigned int socket, const std::string& data, bool log);
    KRZPAPCReadStatus parseBuffered(bool closed);
    KRZPAPCReadStatus parseReply(const char*& at, const char* end, bool closed);
    KRZPAPCReadStatus endReply(KRZPAPCReadStatus result);

    // The read buffer holds unread bytes from readPos on; consumed bytes are dropped in bulk now
    // and then, so that reading stays linear in the reply size.
    size_t buffered() const { return readBuffer.size() - readPos; }
    void skip(size_t count);
    void consume(size_t count);
    void dropPendingPartner();
    void forgetCancel();
    void createSocket();
    void startConnect(unsigned short port);
    void waitForConnect();
    std::string addressText() const;
    std::wstring logPrefix() const;
    std::string cookieLine();
    std::string authorizationLine() const;
    void closeSocket();
    [[noreturn]] void readFailed(int line, int error);
    [[noreturn]] void overLimit(int line, const char* what, size_t limit);

    int timeout;
    int readState;
    KRZInAddrValue address;
    std::atomic<bool> cancel;
    KRZSocketHandle sock;
    std::string username;
    std::string password;
    std::string readBuffer;
    boost::shared_ptr<KRZVirtualSocket> virtualSocket;
    KRZMacAddress interfaceMac;
    KRZMacAddress destinationMac;
    bool spacePlus;
    std::map<std::string, std::string> cookies;
    size_t readPos;                            // first unread byte of readBuffer
    bool peerClosed;                           // the socket was closed because the peer closed
    std::shared_ptr<SocketShare> socketShare;  // owns sock; shared by copies
    size_t readBudget;  // bytes one readResponse call may still receive (see readResponse)
    std::unique_ptr<KRZPLineCursor> lines;    // the line reads of getLine
    std::unique_ptr<KRZPReplyParser> parser;  // the framing of the reply being read
    // Woken by setCancel(true), drained where a wait starts: part of every wait's select, so that
    // a cancel ends it at once. Each copy has its own.
    std::unique_ptr<KRZWakeHandle> wake;
};
