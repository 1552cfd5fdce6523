/// \file
/// One HTTP/1.1 client connection to a device: a fresh TCP connection per request ("Connection:
/// Close"), plain or carried by the packet driver to a MAC address; non-blocking buffered reads;
/// request writers; a resumable reply reader and a synchronous one with time-out and cancellation.
#pragma once

#include "core/KRZPAPCException.h"
#include "krzcompat/krzexport.h"
#include "krzcompat/krznettypes.h"
#include "krzutil/KRZMacAddress.h"

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class KRZVirtualSocket;
class KRZWakeHandle;
class KRZPFormParams;
class KRZPLineCursor;
class KRZPReplyParser;
class KRZPMultipartParams;

/// The HTTP/1.1 client connection to one device address: a fresh non-blocking TCP connection per
/// request ("Connection: Close"), plain through the kernel's routes or, with both MAC addresses
/// set, carried by the packet driver from that adapter to that device.
///
/// Use: openConnection, one write...Request, then readResponseSynchronous (or, as the scanner
/// does with many connections, openConnection(port, true), a select loop on getFD() and
/// readResponse), then getResponseHeaders and getResponseBody.
///
/// - Ownership: owns its socket; copies share it, and it is closed when the last holder lets it
///   go. A web configurator holds its connection by boost::shared_ptr (getComm).
/// - Threads: one thread uses it at a time; only setCancel may be called from another. A
///   cancel ends a waiting openConnection or readResponseSynchronous with code 14 ("Operation
///   cancelled") and makes waitForData return false. openConnection, the writes, waitForData
///   and the reply readers clear the flag as they start: a cancel counts while they run.
/// - Throws KRZPAPCException: 3 no socket; 4 connect refused, failed through the packet driver
///   or timed out; 5 no usable address, or only one of the two MAC addresses set; 2 sending or
///   receiving failed, no socket open (writing before openConnection: logged as "send() error:
///   10038"), a reset, a reply over one of the bounds below or cut short; 14 cancelled;
///   15 no complete reply in time. The failure's description is logged first.
/// - Time-outs: getTimeout() seconds (10 unless set) for the connect, a stalled send and
///   readResponseSynchronous; waits poll in passes of 0.3 seconds, and a cancel wakes them at once.
class KRZPAP_API KRZPAPComm {
  public:
    /// \name Bounds on one reply
    /// Upper bounds on what a device may send in one reply. Crossing one ends the read with a
    /// KRZPAPCException (KRZPAPC_IO_ERROR, message naming the bound) and a level-0 log line, and
    /// closes the connection. The largest real admin pages (single-page interfaces with their
    /// scripts, configuration backups) stay below a few MiB; their header blocks below 8 KiB.
    ///@{
    static constexpr size_t MAX_HEADER_LINE = 64 * 1024;     ///< One status or header line.
    static constexpr size_t MAX_HEADER_BLOCK = 256 * 1024;   ///< Status line and headers.
    static constexpr size_t MAX_CHUNK_SIZE_LINE = 4 * 1024;  ///< One chunk-size line.
    static constexpr size_t MAX_REPLY = 16 * 1024 * 1024;    ///< Headers and body together.
    ///@}

    /// No address (INADDR_NONE): openConnection fails with code 5 until one is given.
    KRZPAPComm();
    /// To \p address (network byte order).
    explicit KRZPAPComm(in_addr address);
    /// Dotted text or a host name; an unresolvable name leaves the address INADDR_NONE.
    explicit KRZPAPComm(const std::string& host);
    /// A copy shares the socket; the socket is closed when the last object holding it lets it go
    /// (closeConnection, the end of a reply, the next openConnection or the destructor).
    KRZPAPComm(const KRZPAPComm& other);
    /// As the copy constructor; this object's own socket share is let go first.
    KRZPAPComm& operator=(const KRZPAPComm& other);
    /// Lets go of the socket (closed if no copy holds it).
    virtual ~KRZPAPComm();

    // ---- settings ----
    /// Seconds for the connect, a stalled send and readResponseSynchronous; default 10.
    void setTimeout(int seconds);
    /// Seconds; default 10.
    int getTimeout() const;
    /// May be called from another thread: a connect or reply wait in progress ends at once with
    /// code 14 (KRZPAPC_CANCELLED; waitForData returns false). A cancel given before an operation
    /// starts is forgotten when it starts.
    void setCancel(bool cancel);
    /// Whether form texts encode a space as '+' (true, the default) or as "%20".
    void setSpacePlus(bool spacePlus);
    /// Whether form texts encode a space as '+'.
    bool getSpacePlus() const;
    /// The adapter's MAC: with setDestinationMac, the next openConnection is carried by the
    /// packet driver. Set both or neither.
    void setInterfaceMac(const KRZMacAddress& mac);
    /// The device's MAC: with setInterfaceMac, the next openConnection is carried to it.
    void setDestinationMac(const KRZMacAddress& mac);
    /// Credentials for Basic authentication, sent with every request unless both are empty.
    void setAuthInfo(const std::string& user, const std::string& password);
    /// As set by setAuthInfo.
    std::string getUsername() const;
    /// As set by setAuthInfo.
    std::string getPassword() const;
    /// Keeps a cookie; the value stored under the name "Cookie" is sent whole as the Cookie
    /// header of every request.
    void setCookie(const std::string& name, const std::string& value);
    /// \name HTTPS
    /// With TLS on, each connection runs a TLS handshake right after the TCP connect, within the
    /// same time-out and cancel (openConnection; with noWait, the first write). No name or chain
    /// is checked: the certificate check sees the device's certificate (DER) before any byte of a
    /// request is sent, and refuses it by throwing. Without a check every certificate is taken.
    /// A failed handshake is code 4 with a sentence; a TLS failure while reading or writing is
    /// code 2 with a sentence. Plain connections are unchanged.
    ///@{
    using CertificateCheck = std::function<void(const std::vector<unsigned char>& der)>;
    /// \p serverName is the host as written (sent as SNI when it is a name, not an address).
    void setTls(bool on, const std::string& serverName = "");
    bool getTls() const;
    void setCertificateCheck(CertificateCheck check);
    /// The certificate the device showed on the last connection (DER); empty over plain HTTP.
    const std::vector<unsigned char>& getPeerCertificate() const;
    /// From now on every connection to \p address whose port (after the network library's port
    /// redirect) is \p port runs TLS, as with setTls: how a host reaches a device it was given as
    /// https://, through every module. \p on false forgets it.
    static void setTlsFor(const in_addr& address, unsigned short port, bool on);
    static bool tlsFor(const in_addr& address, unsigned short port);
    /// The host's trust decision for connections without a check of their own: sees the device's
    /// address, the port connected to and the certificate; throws to refuse. Empty: none.
    using HostCertificateCheck = std::function<void(const in_addr& address, unsigned short port,
                                                    const std::vector<unsigned char>& der)>;
    static void setHostCertificateCheck(HostCertificateCheck check);
    /// For a caller's own select loop (openConnection with noWait, once the socket stands): one
    /// step of the handshake that would otherwise run in the first write. Done once it is complete
    /// and the certificate check took the certificate (at once over plain HTTP, or when done
    /// before); WantRead or WantWrite: call again when the socket is readable or writable. Fails
    /// as that handshake does; the waiting, its time-out and its cancel are the caller's.
    enum class TlsStep { Done, WantRead, WantWrite };
    TlsStep stepTls();
    ///@}
    /// Sees every exchange a connection of this process completes with readResponseSynchronous
    /// (a whole reply, or one cut short: \p cutShort): the request as it was sent and the
    /// connection holding the reply. How a recorder keeps what a module says to a device; it runs
    /// on the connection's thread and must not throw. Empty: none.
    using ExchangeObserver =
        std::function<void(const KRZPAPComm& comm, const std::string& sent, bool cutShort)>;
    /// Sets the process's exchange observer (an empty one: none).
    static void setExchangeObserver(ExchangeObserver observer);
    /// Over TLS a reply may be decrypted and held already: a caller's own select loop calls
    /// readResponse when this says so, without waiting for the socket.
    bool hasBufferedData() const;
    /// The socket handle, for a caller's own select loop; invalid before openConnection.
    unsigned int getFD() const;
    /// The device's address (network byte order).
    in_addr getAddr() const;

    // ---- connection ----
    /// Closes any earlier socket and connects to \p port. Waits up to the time-out for the
    /// connection unless \p noWait, in which case it returns once the connect has started (the
    /// socket becomes writable when it stands).
    void openConnection(unsigned short port, bool noWait);
    /// Lets go of the socket; what was read stays readable.
    void closeConnection();

    // ---- reading ----
    /// One line without its line end (CR, LF, CR LF or LF CR). Reads the socket at most once per
    /// call: PENDING when no whole line is there yet; at the close, the unterminated rest as the
    /// last line, then CLOSED.
    KRZPAPCReadStatus getLine(std::string& line);
    /// Everything up to and including \p delimiter, waiting up to \p timeoutSeconds (0: no
    /// limit): OK, CLOSED when the device closed first, PENDING when the time ran out.
    KRZPAPCReadStatus getUntil(std::string& out, const std::string& delimiter, int timeoutSeconds);
    /// A copy of what is buffered, without consuming it (reads the socket first, not waiting).
    KRZPAPCReadStatus peekData(std::string& out);
    /// As peekData, then empties the buffer.
    KRZPAPCReadStatus getData(std::string& out);
    /// True as soon as data is buffered or readable within \p seconds; false after that, or
    /// when cancelled. Throws code 2 without a socket.
    bool waitForData(int seconds);

    // ---- writing ----
    /// Sends \p data as it is (logged when \p log), waiting out a full send buffer
    /// within the time-out. A connection the device broke off is not an error here: the reply
    /// read tells.
    void writeData(const std::string& data, bool log);
    /// Sends a GET request with the Host, Referer, Cookie and Authorization headers.
    void writeGetRequest(const std::string& url);
    /// As writeGetRequest(url), with the form text of \p params appended after '?' (none when
    /// empty).
    void writeGetRequest(const std::string& url, const KRZPFormParams& params);
    /// As above, the pairs in the map's key order.
    void writeGetRequest(const std::string& url, const std::map<std::string, std::string>& params);
    /// As above, the pairs in \p order (a name missing from the map sends an empty value).
    void writeGetRequest(const std::string& url, const std::map<std::string, std::string>& params,
                         const std::vector<std::string>& order);
    /// Sends a form POST with \p body as it is (application/x-www-form-urlencoded).
    void writePostRequest(const std::string& url, std::string body);
    /// Sends a form POST of the form text of \p params.
    void writePostRequest(const std::string& url, const KRZPFormParams& params);
    /// As above, the pairs in the map's key order.
    void writePostRequest(const std::string& url, const std::map<std::string, std::string>& params);
    /// As above, the pairs in \p order.
    void writePostRequest(const std::string& url, const std::map<std::string, std::string>& params,
                          const std::vector<std::string>& order);
    /// Sends a multipart/form-data POST of \p params with its boundary.
    void writeMultipartPostRequest(const std::string& url, const KRZPMultipartParams& params);
    /// As above, one part per pair, nothing escaped.
    void writeMultipartPostRequest(const std::string& url, const KRZPFormParams& params);
    /// As above, the pairs in the map's key order.
    void writeMultipartPostRequest(const std::string& url,
                                   const std::map<std::string, std::string>& params);

    // ---- replies ----
    /// One non-blocking step of reading the reply (status line, headers, then a body framed by
    /// chunks, a length or the close), resumed by the next call. PENDING: call again when the
    /// socket is readable.
    /// KRZPAPC_READ_OK: the reply is complete. KRZPAPC_READ_CLOSED: the device closed before it
    /// was (inside the header block, before the declared length, inside or between chunks); what
    /// arrived stays readable. A reset, and a reply over one of the bounds above, throw.
    KRZPAPCReadStatus readResponse();
    /// Waits for the whole reply, up to the time-out (code 15, connection closed) or a cancel
    /// (code 14).
    /// Returns only with a complete reply; a reply cut short throws KRZPAPC_IO_ERROR with the
    /// message "Reply cut short" (headers and body keep what arrived).
    void readResponseSynchronous();
    /// The reply's status line and header lines as received; valid and unchanged until the next
    /// reply starts.
    const std::string& getResponseHeaders() const;
    /// The reply's body, without chunked coding; valid and unchanged until the next reply starts.
    const std::string& getResponseBody() const;
    /// The reply's status code ("HTTP/1.1 200 OK": 200): 0 for a reply without status line, or
    /// whose code is not three digits. Valid until the next reply starts, as the header block.
    int getResponseStatus() const;
    /// The reason phrase after the code, as sent ("OK"); empty when there is none.
    const std::string& getResponseReason() const;
    /// The status line's protocol version ("HTTP/1.1"); empty without a status line.
    const std::string& getResponseVersion() const;
    /// The value of the first header named \p name (letter case not counting), without the
    /// blanks around it; empty when the reply has none.
    std::string getResponseHeader(const std::string& name) const;
    /// Every value of the headers named \p name (letter case not counting), in the order
    /// received; a repeated header (Set-Cookie) gives one value per line.
    std::vector<std::string> getResponseHeaderValues(const std::string& name) const;
    /// Every header as name and value, in the order received. A line without a colon names no
    /// header; a folded line continues the value before it after one space.
    const std::vector<std::pair<std::string, std::string>>& getResponseHeaderFields() const;

    /// The form text of a list: name=value pairs joined by '&', URL-encoded with this connection's
    /// space-plus flag.
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
    void secure();
    void sendTls(const std::string& data);
    KRZPAPCReadStatus fillFromTls();
    int receive(char* to, size_t size);
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
    // a cancel ends it at once. Each copy has its own. The object also holds the copy's HTTPS
    // settings (it is one derived from the handle, defined with the class's code), so that the
    // class keeps its layout.
    std::unique_ptr<KRZWakeHandle> wake;
};
