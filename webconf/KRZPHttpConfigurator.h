/// \file
/// The base of every configurator for a device administered through its web pages.
#pragma once

#include "core/KRZPAPConfigurator.h"
#include "http/KRZPAPComm.h"
#include "http/KRZPFormParams.h"
#include "html/KRZPHtmlParser.h"
#include "krzutil/KRZEvent.h"

#include <boost/shared_ptr.hpp>

#include <map>
#include <string>
#include <vector>

/// The base of a configurator for a device administered through its web pages: one connection
/// (KRZPAPComm, port 80) for the device's current address, the login test behind validate
/// (GET "/", refused on status 401), cancellation, the change operations recorded as pending
/// values, and send operations that open, request, wait with a time-out and confirm the reply.
/// A module derives one class per device family and supplies _retrieveAttributes,
/// _completeConfiguration (reading the pending values and sending them), the names and limits.
///
/// - Ownership: the connection is held by boost::shared_ptr (getComm), replaced by a new one
///   (default settings) whenever the address changes; a copy shares it with its source.
/// - Connection: not open when a step starts. Call setupConnection first (credentials, cancel
///   cleared), then the send operations, which open it, send and read; writing to getComm()
///   before one of them opened it fails with code 2 (logged as "send() error: 10038").
/// - Threads: one operation at a time; cancelOperation from another thread sets the cancel
///   event and the connection's cancel flag: a connect or reply wait ends within about 0.3
///   seconds, and sleep, the send operations and every confirmation throw code 14 until the
///   next setupConnection. A step that loops should test getCancel between requests.
/// - Throws KRZPAPCException: 6 without an address (no connection), 8 on status 401 to a
///   submitted page, 7 when a reply lacks the expected text, 14 cancelled, and the
///   connection's failures (2, 3, 4, 5, 15).
/// - Time-outs: the connection's, 10 seconds (this class never changes it); 2 seconds after
///   each unreachable connect attempt.
class KRZPAP_API KRZPHttpConfigurator : public KRZPAPConfigurator {
  public:
    /// For the device at \p addr with \p mac, as a recognizer makes it: the connection exists.
    KRZPHttpConfigurator(const in_addr& addr, const KRZMacAddress& mac);
    /// For a device known by its MAC addresses and credentials, as KRZPAPModule::_createConf
    /// makes it: no address and no connection until setAddr or findAP.
    KRZPHttpConfigurator(std::vector<KRZMacAddress> macs, const std::string& user,
                         const std::string& password);
    /// Copies every field; both objects share one connection.
    KRZPHttpConfigurator(const KRZPHttpConfigurator& other);
    /// Copies every field; both objects share one connection.
    KRZPHttpConfigurator& operator=(const KRZPHttpConfigurator& other);
    ~KRZPHttpConfigurator() override;

    /// "http://<address>/".
    std::string getAdminPageUrl() const override;

  private:
    /// Replaces the connection with a new one to \p addr (default settings).
    void _onNewAddr(const in_addr& addr) override;  // 27
    /// setupConnection, GET "/": false when the reply's status is 401.
    bool _testLogin() override;  // 29

  protected:
    /// Clears the three changed flags; true.
    bool _startConfiguration() override;  // 31
    /// Records the credentials as pending; false (sent by completeConfiguration).
    bool _changeCredentials(const std::string& username,
                            const std::string& password) override;  // 32
    /// Records the network name as pending; false (sent by completeConfiguration).
    bool _changeSSID(const KRZSsid& ssid) override;  // 33
    /// Records mode, key and encryption as pending; false (sent by completeConfiguration).
    bool _changeSecurityMode(_KRZPSecurityMode mode, boost::shared_ptr<KRZPKey> key,
                             _KRZPEncryptionMode encryption) override;  // 34

  private:
    /// _testLogin mapped: codes 4 and 6 unreachable, other codes error.
    _KRZPAPStatus _validate() override;  // 36
    /// Sets the cancel event and the connection's cancel flag.
    void _cancelOperation() override;  // 38
    /// Clears the three changed flags; the values stay.
    void _clearPendingChanges() override;  // 39

  protected:
    /// Waits \p milliseconds on the cancel event: throws code 14 ("Canceled during or just
    /// before sleep") when it is or becomes set.
    virtual void sleep(int milliseconds);  // 46
    /// Opens the connection to port 80, up to \p connectAttempts times while the host is
    /// unreachable (Windows error 10065), sleeping 2 seconds after each such attempt; other
    /// failures throw. When every attempt was unreachable it returns with the connection closed
    /// (the request then fails with code 2).
    virtual void _openConnection(int connectAttempts);  // 47

  private:
    /// Checks a reply: code 14 when cancelled, 8 on status 401, 7 when the body lacks
    /// \p expected (exact bytes; empty is always found).
    virtual void _confirmSuccessfulPost(const std::string& expected);  // 48

  protected:
    // ---- pending changes ----
    /// \name Pending changes
    ///@{

    /// What the change operations recorded, for _completeConfiguration to send; each a plain
    /// read or write of its field. The flags say which of the three changes is pending.
    bool getSsidChanged() const;
    void setSsidChanged(bool changed);
    const std::string& getNewSsid() const;
    void setNewSsid(const std::string& ssid);
    bool getCredentialsChanged() const;
    void setCredentialsChanged(bool changed);
    const std::string& getNewUsername() const;
    void setNewUsername(const std::string& user);
    const std::string& getNewPassword() const;
    void setNewPassword(const std::string& password);
    bool getSecurityModeChanged() const;
    void setSecurityModeChanged(bool changed);
    _KRZPSecurityMode getNewSecurityMode() const;
    void setNewSecurityMode(_KRZPSecurityMode mode);
    boost::shared_ptr<KRZPKey> getNewKey() const;
    void setNewKey(boost::shared_ptr<KRZPKey> key);
    _KRZPEncryptionMode getNewEncryptionMode() const;
    void setNewEncryptionMode(_KRZPEncryptionMode mode);
    ///@}
    /// The connection to the device's current address; null without an address. Not open until
    /// a send operation opens it.
    boost::shared_ptr<KRZPAPComm> getComm() const;
    /// True while a cancel is pending (tested without waiting).
    bool getCancel();
    /// Sets (true) or clears (false) the cancel event; the connection's flag is not touched.
    void setCancel(bool cancel);

    // ---- sending ----
    /// Call first in every step: clears the cancel event, hands the connection the credentials
    /// (getCredentials). Throws code 6 without a connection.
    void setupConnection();
    /// \name Sending
    ///@{

    /// Each opens the connection to port 80, writes the request (GET with \p params as the query,
    /// or a multipart POST), and reads the reply within the connection's time-out. A time-out
    /// throws code 15 unless \p ignoreTimeout, which returns without checking. When \p expected
    /// is not empty, the reply is checked (see _confirmSuccessfulPost). One connect attempt; a
    /// pending cancel is not tested before it.
    void sendGetRequest(const std::string& url, const std::map<std::string, std::string>& params,
                        const std::string& expected, bool ignoreTimeout);
    void sendGetRequest(const std::string& url, const std::map<std::string, std::string>& params,
                        const std::string& expected, const std::vector<std::string>& order,
                        bool ignoreTimeout);
    void sendGetRequest(const std::string& url, const KRZPFormParams& params,
                        const std::string& expected, bool ignoreTimeout);
    void sendMultipartRequest(const std::string& url,
                              const std::map<std::string, std::string>& params,
                              const std::string& expected, bool ignoreTimeout);
    ///@}
    /// \name Posting forms
    ///@{

    /// sendRequest: throws code 14 when a cancel is pending, opens with _openConnection
    /// (\p connectAttempts), posts the form and reads the reply; a time-out is dropped, and the
    /// reply (what arrived) is checked against \p expected (see _confirmSuccessfulPost).
    /// sendRequestBlind: the same, but a reply that never comes counts as success (for pages
    /// after which the device restarts).
    void sendRequest(const std::string& url, const KRZPFormParams& params,
                     const std::string& expected, int connectAttempts);
    void sendRequest(const std::string& url, const std::map<std::string, std::string>& params,
                     const std::string& expected, int connectAttempts);
    void sendRequest(const std::string& url, const std::map<std::string, std::string>& params,
                     const std::string& expected, const std::vector<std::string>& order,
                     int connectAttempts);
    void sendRequestBlind(const std::string& url, const KRZPFormParams& params,
                          const std::string& expected, int connectAttempts);
    void sendRequestBlind(const std::string& url, const std::map<std::string, std::string>& params,
                          const std::string& expected, int connectAttempts);
    void sendRequestBlind(const std::string& url, const std::map<std::string, std::string>& params,
                          const std::string& expected, const std::vector<std::string>& order,
                          int connectAttempts);
    ///@}

    /// After a change that restarts the device: up to \p attempts times, sleeps \p pauseMs
    /// (sleep: a cancel ends the wait with code 14) and then GETs "/" (code 14 when a cancel is
    /// pending, code 8 on status 401), until the device answers; then logs "the device is back
    /// after \<n\> ms". A refused, reset or unreachable connect, a time-out, a reply cut short
    /// (codes 4, 2, 15) and an answer without a status line (an empty reply above all) mean it is
    /// still restarting; any other failure throws at once. A complete reply counts as the device
    /// back only once the device was seen restarting or \p minimumMs passed since the wait began:
    /// a device that still answers its old pages has not gone down yet. Throws code 4, logging
    /// "the device did not come back after its restart", when no attempt got an answer that
    /// counts.
    void waitUntilBack(int attempts, int pauseMs, int minimumMs);
    /// waitUntilBack(attempts, pauseMs, 0).
    void waitUntilBack(int attempts, int pauseMs);

    // ---- lookups ----
    /// The value under \p name in a form map, or a process-wide empty string; valid as long as
    /// the map.
    static const std::string& getField(boost::shared_ptr<std::map<std::string, std::string>> form,
                                       const std::string& name);
    /// KRZPHtmlParser::getAttrib: caseless; valid as long as the map.
    static const std::string& getAttrib(AttributeMap attributes, const std::string& name);
    /// getAttrib(attributes, "value").
    static const std::string& getValue(AttributeMap attributes);
    /// getAttrib(attributes, "name").
    static const std::string& getName(AttributeMap attributes);

  private:
    // Posts the form and reads the reply; true when the reply timed out.
    bool postForm(const std::string& url, const KRZPFormParams& params, int connectAttempts);

    bool ssidChanged;
    std::string newSsid;
    bool credentialsChanged;
    std::string newUsername;
    std::string newPassword;
    bool securityModeChanged;
    _KRZPSecurityMode newSecurityMode;
    boost::shared_ptr<KRZPKey> newKey;
    _KRZPEncryptionMode newEncryptionMode;
    KRZEvent cancelEvent;
    boost::shared_ptr<KRZPAPComm> connection;
};
