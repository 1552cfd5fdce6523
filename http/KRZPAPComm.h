// One HTTP/1.1 client connection to a device: a fresh TCP connection per request ("Connection:
// Close"), plain or carried by the packet driver to a MAC address; non-blocking buffered reads;
// request writers; a resumable reply reader and a synchronous one with time-out and cancellation.
#pragma once

#include "core/KRZPAPCException.h"
#include "krzcompat/krzexport.h"
#include "krzutil/KRZMacAddress.h"
#include "platform/krzplatform.h"

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

class KRZVirtualSocket;
class KRZPFormParams;
class KRZPMultipartParams;

class KRZPAP_API KRZPAPComm {
  public:
    KRZPAPComm();
    explicit KRZPAPComm(in_addr address);
    // Dotted text or a host name; an unresolvable name leaves the address INADDR_NONE.
    explicit KRZPAPComm(const std::string& host);
    KRZPAPComm(const KRZPAPComm& other);
    KRZPAPComm& operator=(const KRZPAPComm& other);
    virtual ~KRZPAPComm();

    // ---- settings ----
    void setTimeout(int seconds);
    int getTimeout() const;
    void setCancel(bool cancel);  // may be called from another thread
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
    KRZPAPCReadStatus readResponse();
    void readResponseSynchronous();
    const std::string& getResponseHeaders() const;
    const std::string& getResponseBody() const;

    // The form text of a list: name=value pairs joined by '&', URL-encoded with this connection's
    // space-plus flag.
    std::string formText(const KRZPFormParams& params) const;

  private:
    friend class KRZPAPCommTestAccess;  // the unit tests reach the private read steps

    KRZPAPCReadStatus fillBuffer();
    KRZPAPCReadStatus appendBytes(std::string& out, int count);
    void sendReq(unsigned int socket, const std::string& data, bool log);
    KRZPAPCReadStatus readHeaders();
    KRZPAPCReadStatus readChunks();
    KRZPAPCReadStatus readBody();

    // The read buffer holds unread bytes from readPos on; consumed bytes are dropped in bulk now
    // and then, so that reading stays linear in the reply size.
    size_t buffered() const { return readBuffer.size() - readPos; }
    void consume(size_t count);
    size_t findLineEnd();
    void dropPendingPartner();
    bool selectSocket(bool forRead, bool forWrite);
    std::string addressText() const;
    std::wstring logPrefix() const;
    std::string cookieLine();
    std::string authorizationLine() const;
    void closeSocket();

    int timeout;
    int readState;
    in_addr address;
    std::atomic<bool> cancel;
    bool chunked;
    SOCKET sock;
    std::string username;
    std::string password;
    std::string responseHeaders;
    std::string responseBody;
    std::string readBuffer;
    int chunkRemaining;
    int contentLength;
    char lastLineEnd;
    boost::shared_ptr<KRZVirtualSocket> virtualSocket;
    KRZMacAddress interfaceMac;
    KRZMacAddress destinationMac;
    bool spacePlus;
    std::map<std::string, std::string> cookies;
    size_t readPos;      // first unread byte of readBuffer
    size_t lineScanPos;  // readBuffer holds no line end between readPos and here
    bool peerClosed;     // the socket was closed because the peer closed
};
