// Base of every configurator for a device administered through its web pages: one connection for
// the device's current address, the login test behind validate(), cancellation, pending changes,
// and send operations that open, request, wait with a time-out and confirm.
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

class KRZPAP_API KRZPHttpConfigurator : public KRZPAPConfigurator {
  public:
    KRZPHttpConfigurator(const in_addr& addr, const KRZMacAddress& mac);
    KRZPHttpConfigurator(std::vector<KRZMacAddress> macs, const std::string& user,
                         const std::string& password);
    KRZPHttpConfigurator(const KRZPHttpConfigurator& other);
    KRZPHttpConfigurator& operator=(const KRZPHttpConfigurator& other);
    ~KRZPHttpConfigurator() override;

    // "http://<address>/".
    std::string getAdminPageUrl() const override;

  private:
    void _onNewAddr(const in_addr& addr) override;  // 27
    bool _testLogin() override;                     // 29

  protected:
    bool _startConfiguration() override;  // 31
    bool _changeCredentials(const std::string& username,
                            const std::string& password) override;  // 32
    bool _changeSSID(const KRZSsid& ssid) override;                 // 33
    bool _changeSecurityMode(_KRZPSecurityMode mode, boost::shared_ptr<KRZPKey> key,
                             _KRZPEncryptionMode encryption) override;  // 34

  private:
    _KRZPAPStatus _validate() override;    // 36
    void _cancelOperation() override;      // 38
    void _clearPendingChanges() override;  // 39

  protected:
    virtual void sleep(int milliseconds);               // 46
    virtual void _openConnection(int connectAttempts);  // 47

  private:
    virtual void _confirmSuccessfulPost(const std::string& expected);  // 48

  protected:
    // ---- pending changes ----
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
    boost::shared_ptr<KRZPAPComm> getComm() const;
    bool getCancel();
    void setCancel(bool cancel);

    // ---- sending ----
    void setupConnection();
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

    // ---- lookups ----
    static const std::string& getField(boost::shared_ptr<std::map<std::string, std::string>> form,
                                       const std::string& name);
    static const std::string& getAttrib(AttributeMap attributes, const std::string& name);
    static const std::string& getValue(AttributeMap attributes);
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
