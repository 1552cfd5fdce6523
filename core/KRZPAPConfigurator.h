// The abstract configurator of one access point or router. Plug-in modules derive from it (mostly
// through KRZPHttpConfigurator); the host drives it through the public operations, each of which
// is a logged frame around a private virtual step of the same name with a leading underscore.
//
// The order of the virtual operations below is part of the interface with the modules and the
// host: do not reorder, insert or remove.
#pragma once

#include "core/KRZPAPCException.h"
#include "krzcompat/krzexport.h"
#include "krzcompat/krznettypes.h"
#include "krzutil/KRZMacAddress.h"
#include "krzutil/KRZMutex.h"
#include "krzutil/KRZPKey.h"
#include "krzutil/KRZSsid.h"

#include <boost/shared_ptr.hpp>

#include <cstdarg>
#include <string>
#include <utility>
#include <vector>

class KRZPAPFinder;

class KRZPAP_API KRZPAPConfigurator {
  public:
    KRZPAPConfigurator();
    KRZPAPConfigurator(const KRZPAPConfigurator& other);
    KRZPAPConfigurator& operator=(const KRZPAPConfigurator& other);
    // Stores the three arguments (the user name without consulting usesUsername).
    KRZPAPConfigurator(std::vector<KRZMacAddress> macAddressList, const std::string& username,
                       const std::string& password);

    // ---- virtual slots, in order ----
    virtual ~KRZPAPConfigurator();                                       // 0
    virtual bool isAuthenticableAPConfigurator() const;                  // 1
    virtual std::vector<KRZMacAddress> getMACAddressList() const;        // 2
    virtual std::pair<std::string, std::string> getCredentials() const;  // 3
    virtual _KRZPSecurityMode getSecurityMode() const;                   // 4
    virtual _KRZPEncryptionMode getEncryptionMode() const;               // 5
    virtual boost::shared_ptr<KRZPKey> getKey() const;                   // 6
    virtual const in_addr& getAddr() const;                              // 7
    virtual std::string getVendorName() const = 0;                       // 8
    virtual std::string getModelName() const = 0;                        // 9
    virtual bool isWirelessClient() const;                               // 10
    virtual void setCredentials(const std::string& username,
                                const std::string& password);  // 11
    // Host interface: the address of the device's administration page.
    virtual std::string getAdminPageUrl() const = 0;                  // 12
    virtual void setMACAddressList(std::vector<KRZMacAddress> list);  // 13
    // Host interface: the credentials the device has at its factory settings.
    virtual std::pair<std::string, std::string> getDefaultCredentials() const = 0;     // 14
    virtual bool usesUsername() const = 0;                                             // 15
    virtual int getMinUsernameLen() const;                                             // 16
    virtual int getMaxUsernameLen() const;                                             // 17
    virtual int getMinPasswordLen() const;                                             // 18
    virtual int getMaxPasswordLen() const = 0;                                         // 19
    virtual _KRZPStringValidatorCode validateUsername(const std::string& text) const;  // 20
    virtual _KRZPStringValidatorCode validatePassword(const std::string& text) const;  // 21
    virtual _KRZPStringValidatorCode validateSsid(const std::string& text) const;      // 22
    virtual std::string getDescription() const;                                        // 23
    virtual std::string getFirmwareRevision() const;                                   // 24
    virtual KRZSsid getSSID() const;                                                   // 25
    virtual KRZPAPFinder* getFinder();                                                 // 26

  private:
    virtual void _onNewAddr(const in_addr& addr) = 0;  // 27

  protected:
    virtual void setCredentialsReally(const std::string& username,
                                      const std::string& password);  // 28

  private:
    virtual bool _testLogin() = 0;           // 29
    virtual void _retrieveAttributes() = 0;  // 30
    virtual bool _startConfiguration();      // 31
    virtual bool _changeCredentials(const std::string& username,
                                    const std::string& password) = 0;  // 32
    virtual bool _changeSSID(const KRZSsid& ssid) = 0;                 // 33
    virtual bool _changeSecurityMode(_KRZPSecurityMode mode, boost::shared_ptr<KRZPKey> key,
                                     _KRZPEncryptionMode encryption) = 0;  // 34
    virtual bool _completeConfiguration();                                 // 35
    virtual _KRZPAPStatus _validate() = 0;                                 // 36
    virtual bool _findAP();                                                // 37
    virtual void _cancelOperation() = 0;                                   // 38
    virtual void _clearPendingChanges() = 0;                               // 39
    virtual std::string getValidUsernameChars() const;                     // 40
    virtual std::string getValidPasswordChars() const;                     // 41
    virtual std::string getValidSsidChars() const;                         // 42
    virtual unsigned int _getUsernameRequirementsDescription() const;      // 43
    virtual unsigned int _getPasswordRequirementsDescription() const;      // 44
    virtual unsigned int _getSsidRequirementsDescription() const;          // 45

  public:
    // ---- public operations: logged frames around the steps above ----
    bool testLogin();
    void retrieveAttributes();
    bool startConfiguration();
    bool changeCredentials(const std::string& username, const std::string& password);
    bool changeSSID(const KRZSsid& ssid);
    bool changeSecurityMode(_KRZPSecurityMode mode, boost::shared_ptr<KRZPKey> key,
                            _KRZPEncryptionMode encryption);
    bool completeConfiguration();
    _KRZPAPStatus validate();
    bool findAP();
    void cancelOperation();
    void clearPendingChanges();

    // Stores the address and calls _onNewAddr when it differs, under the configurator's mutex.
    void setAddr(const in_addr& addr);
    // The MAC address of the local interface through which the device answers; throws code 1
    // (Windows error 10065) when none is found within a second.
    KRZMacAddress getInterface();

    std::wstring getUsernameRequirementsDescription() const;
    std::wstring getPasswordRequirementsDescription() const;
    std::wstring getSsidRequirementsDescription() const;

  protected:
    void setSecurityMode(_KRZPSecurityMode mode);
    void setEncryptionMode(_KRZPEncryptionMode mode);
    void setKey(boost::shared_ptr<KRZPKey> key);
    void setFirmwareRevision(const std::string& revision);
    void setSSID(const std::string& ssid);
    void setSSID(const KRZSsid& ssid);
    void addMACAddress(const KRZMacAddress& mac);
    void addMACAddress(const std::string& mac);
    void clearMACAddressList();
    // Twelve lower-case hexadecimal digits; throws code 7 for anything else.
    std::string normalizeMAC(const std::string& mac) const;

    std::string getValidUsernameCharsRestrictive() const;
    std::string getValidPasswordCharsRestrictive() const;
    std::string getValidSsidCharsRestrictive() const;

    // Written at level 2 with the prefix "<description>(<address>): ".
    void log(const wchar_t* format, ...) const;
    void log(const std::wstring& text) const;
    void _log(const wchar_t* format, va_list args) const;

  private:
    // The frame of a public operation around its step (defined and used in the .cpp only).
    template <typename Step>
    auto runStep(const char* name, Step step) -> decltype(step());

    typedef std::string (KRZPAPConfigurator::*ValidCharsSlot)() const;
    // The set is fetched only when no ready-made text is named.
    std::wstring requirementsDescription(unsigned int readyMade, ValidCharsSlot validChars,
                                         unsigned int frameId) const;

    std::vector<KRZMacAddress> macAddressList;
    std::string username;
    std::string password;
    _KRZPSecurityMode securityMode;
    _KRZPEncryptionMode encryptionMode;
    KRZInAddrValue addr;
    std::string firmwareRevision;
    KRZSsid ssid;
    boost::shared_ptr<KRZPKey> key;
    KRZMutex mutex;
};
