/// \file
/// The abstract configurator of one access point or router.
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

/// The configurator of one access point or router: its identity (address, MAC addresses), the
/// administrator credentials, the wireless settings read from it, and the operations that log
/// into it, read its settings and change them. Modules derive from it (mostly through
/// KRZPHttpConfigurator); the host drives it through the public operations, in the order
/// testLogin, retrieveAttributes, startConfiguration, any of changeSSID, changeCredentials,
/// changeSecurityMode, then completeConfiguration.
///
/// - Frames: each public operation writes trace lines and calls the private virtual step of the
///   same name with a leading underscore; subclasses override the steps, never the frames.
/// - Ownership: held by boost::shared_ptr (made by a recognizer in a scan or by a module's
///   KRZPAPModule::_createConf) and shared by the host, the scan's list and the module; the key
///   is shared the same way. The base owns nothing else.
/// - Threads: one public operation at a time. cancelOperation may be called from another thread
///   while an operation runs; the running step then ends with code 14. setAddr and addMACAddress
///   hold the configurator's mutex; the other accessors take no lock. Different configurators
///   may work on different threads.
/// - Throws: a step's KRZPAPCException reaches the caller with the configurator's firmware
///   revision stamped in (getAPCFirmwareRevision); other exception types pass unchanged. The
///   validators never throw.
/// - Time-outs: getInterface waits one second; the requests a step makes wait for their
///   connection's time-out (KRZPHttpConfigurator: 10 seconds unless the module sets another).
class KRZPAP_API KRZPAPConfigurator {
  public:
    /// No address (255.255.255.255), no MAC addresses, no credentials, modes unset (-1).
    KRZPAPConfigurator();
    /// Copies every field; the key is shared, the mutex is a new one.
    KRZPAPConfigurator(const KRZPAPConfigurator& other);
    /// Copies every field; the key is shared, the mutex stays this object's own.
    KRZPAPConfigurator& operator=(const KRZPAPConfigurator& other);
    /// Stores the three arguments (the user name without consulting usesUsername); no address.
    KRZPAPConfigurator(std::vector<KRZMacAddress> macAddressList, const std::string& username,
                       const std::string& password);

    // ---- virtual slots, in order ----
    virtual ~KRZPAPConfigurator();  // 0
    /// Base: false.
    virtual bool isAuthenticableAPConfigurator() const;  // 1
    /// The device's known MAC addresses, in order of first addition (a copy).
    virtual std::vector<KRZMacAddress> getMACAddressList() const;  // 2
    /// (user name, password) as stored.
    virtual std::pair<std::string, std::string> getCredentials() const;  // 3
    /// As read from the device by retrieveAttributes; -1 before.
    virtual _KRZPSecurityMode getSecurityMode() const;  // 4
    /// As read from the device by retrieveAttributes; -1 before.
    virtual _KRZPEncryptionMode getEncryptionMode() const;  // 5
    /// As read from the device by retrieveAttributes; null before.
    virtual boost::shared_ptr<KRZPKey> getKey() const;  // 6
    /// The device's address (network byte order); 255.255.255.255 while it has none. The
    /// reference is to the configurator's own field: copy it before another thread may setAddr.
    virtual const in_addr& getAddr() const;  // 7
    /// The vendor's name, the first word of getDescription.
    virtual std::string getVendorName() const = 0;  // 8
    /// The model's name, the second word of getDescription.
    virtual std::string getModelName() const = 0;  // 9
    /// Base: false.
    virtual bool isWirelessClient() const;  // 10
    /// Stores the password, and the user name only when usesUsername() is true.
    virtual void setCredentials(const std::string& username,
                                const std::string& password);  // 11
    /// For the host: the address of the device's administration page. The library never calls it.
    virtual std::string getAdminPageUrl() const = 0;  // 12
    /// Replaces the list of MAC addresses (without the mutex).
    virtual void setMACAddressList(std::vector<KRZMacAddress> list);  // 13
    /// For the host: (user name, password) at the device's factory settings. The library never
    /// calls it.
    virtual std::pair<std::string, std::string> getDefaultCredentials() const = 0;  // 14
    /// True when the device's login takes a user name.
    virtual bool usesUsername() const = 0;  // 15
    /// In bytes, inclusive; base 0.
    virtual int getMinUsernameLen() const;  // 16
    /// In bytes, inclusive; base 0 (so every non-empty user name is too long).
    virtual int getMaxUsernameLen() const;  // 17
    /// In bytes, inclusive; base 0.
    virtual int getMinPasswordLen() const;  // 18
    /// In bytes, inclusive.
    virtual int getMaxPasswordLen() const = 0;  // 19
    /// Characters first (getValidUsernameChars), then the maximum, then the minimum length.
    virtual _KRZPStringValidatorCode validateUsername(const std::string& text) const;  // 20
    /// Characters first (getValidPasswordChars), then the maximum, then the minimum length.
    virtual _KRZPStringValidatorCode validatePassword(const std::string& text) const;  // 21
    /// 1 to 32 bytes first, then the characters: the set that the first call in the process
    /// fetched (getValidSsidChars of that configurator) serves every configurator afterwards.
    virtual _KRZPStringValidatorCode validateSsid(const std::string& text) const;  // 22
    /// Base: vendor name, one space, model name. Starts every log line of the configurator.
    virtual std::string getDescription() const;  // 23
    /// As the module read it from the device; empty before.
    virtual std::string getFirmwareRevision() const;  // 24
    /// As read from the device by retrieveAttributes; empty before.
    virtual KRZSsid getSSID() const;  // 25
    /// The finder that locates this device again; base: the library's ARP finder
    /// (KRZPArpAPFinder). Not owned by the caller.
    virtual KRZPAPFinder* getFinder();  // 26

  private:
    /// Step: told of every change of the address (by setAddr), with the configurator's mutex
    /// held.
    virtual void _onNewAddr(const in_addr& addr) = 0;  // 27

  protected:
    /// Stores both, whatever usesUsername says.
    virtual void setCredentialsReally(const std::string& username,
                                      const std::string& password);  // 28

  private:
    /// Step of testLogin: true when the device accepts the stored credentials, false when it
    /// refuses them; a failure to reach it throws.
    virtual bool _testLogin() = 0;  // 29
    /// Step of retrieveAttributes: reads the settings from the device and stores them with the
    /// protected setters (setSSID, setSecurityMode, setEncryptionMode, setKey,
    /// setFirmwareRevision).
    virtual void _retrieveAttributes() = 0;  // 30
    /// Step of startConfiguration; base: true.
    virtual bool _startConfiguration();  // 31
    /// Step of changeCredentials: records or sends the new credentials.
    virtual bool _changeCredentials(const std::string& username,
                                    const std::string& password) = 0;  // 32
    /// Step of changeSSID: records or sends the new network name.
    virtual bool _changeSSID(const KRZSsid& ssid) = 0;  // 33
    /// Step of changeSecurityMode: records or sends the new mode, key and encryption.
    virtual bool _changeSecurityMode(_KRZPSecurityMode mode, boost::shared_ptr<KRZPKey> key,
                                     _KRZPEncryptionMode encryption) = 0;  // 34
    /// Step of completeConfiguration: sends what is pending; base: true.
    virtual bool _completeConfiguration();  // 35
    /// Step of validate: reachability and login as a _KRZPAPStatus.
    virtual _KRZPAPStatus _validate() = 0;  // 36
    /// Step of findAP; base: asks getFinder() for this configurator, logs any exception and
    /// returns false for it.
    virtual bool _findAP();  // 37
    /// Step of cancelOperation, called from another thread: makes the running step end with
    /// code 14 soon. Must not block.
    virtual void _cancelOperation() = 0;  // 38
    /// Step of clearPendingChanges: forgets changes announced but not completed.
    virtual void _clearPendingChanges() = 0;  // 39
    /// The characters a user name may hold; base: 0x21 to 0x7E without the colon.
    virtual std::string getValidUsernameChars() const;  // 40
    /// The characters a password may hold; base: 0x21 to 0x7E without the colon.
    virtual std::string getValidPasswordChars() const;  // 41
    /// The characters an SSID may hold; base: 0x20 to 0x7E.
    virtual std::string getValidSsidChars() const;  // 42
    /// A resource string number that replaces the built user-name requirement text; base: 0
    /// (none).
    virtual unsigned int _getUsernameRequirementsDescription() const;  // 43
    /// As _getUsernameRequirementsDescription, for the password.
    virtual unsigned int _getPasswordRequirementsDescription() const;  // 44
    /// As _getUsernameRequirementsDescription, for the SSID.
    virtual unsigned int _getSsidRequirementsDescription() const;  // 45

  public:
    // ---- public operations: logged frames around the steps above ----
    /// Logs in with the stored credentials: false when the device refuses them.
    bool testLogin();
    /// Reads the device's settings: afterwards getSSID, getSecurityMode, getEncryptionMode,
    /// getKey and getFirmwareRevision give them.
    void retrieveAttributes();
    /// Begins a run of changes (after a successful testLogin).
    bool startConfiguration();
    /// Changes the administrator credentials (check them with validateUsername and
    /// validatePassword first). The new password is written to the log.
    bool changeCredentials(const std::string& username, const std::string& password);
    /// Changes the network name (check it with validateSsid first).
    bool changeSSID(const KRZSsid& ssid);
    /// Changes the wireless security mode, key and encryption. The key is never logged.
    bool changeSecurityMode(_KRZPSecurityMode mode, boost::shared_ptr<KRZPKey> key,
                            _KRZPEncryptionMode encryption);
    /// Ends the run: what the change operations announced reaches the device.
    bool completeConfiguration();
    /// Whether the device is reachable and the login works.
    _KRZPAPStatus validate();
    /// Locates the device again by its MAC addresses (after its address changed) and sets its
    /// address: false when not found or the finder failed (logged, not thrown).
    bool findAP();
    /// From another thread: the running operation ends with code 14.
    void cancelOperation();
    /// Forgets changes announced but not completed.
    void clearPendingChanges();

    /// Stores the address and calls _onNewAddr when it differs, under the configurator's mutex.
    void setAddr(const in_addr& addr);
    /// The MAC address of the local interface through which the device answers; throws code 1
    /// (Windows error 10065) when none is found within a second.
    KRZMacAddress getInterface();

    /// A sentence for the user naming the characters a user name may hold. Throws code 5 for a
    /// set that holds some but not all letters and digits, or none.
    std::wstring getUsernameRequirementsDescription() const;
    /// As getUsernameRequirementsDescription, for the password.
    std::wstring getPasswordRequirementsDescription() const;
    /// As getUsernameRequirementsDescription, for the SSID.
    std::wstring getSsidRequirementsDescription() const;

  protected:
    /// Stores what the device has (while reading it, typically in _retrieveAttributes).
    void setSecurityMode(_KRZPSecurityMode mode);
    /// Stores what the device has.
    void setEncryptionMode(_KRZPEncryptionMode mode);
    /// Stores what the device has; the key is never logged.
    void setKey(boost::shared_ptr<KRZPKey> key);
    /// Stores what the device has; stamped into every exception of the public operations.
    void setFirmwareRevision(const std::string& revision);
    /// Stores the bytes exactly as given.
    void setSSID(const std::string& ssid);
    /// Stores what the device has.
    void setSSID(const KRZSsid& ssid);
    /// Appends the address unless the list holds it, under the configurator's mutex.
    void addMACAddress(const KRZMacAddress& mac);
    /// As the other form, the text read by KRZMacAddress::fromUtf8String (throws KRZException
    /// code 1 for a malformed one).
    void addMACAddress(const std::string& mac);
    /// Empties the list (without the mutex).
    void clearMACAddressList();
    /// Twelve lower-case hexadecimal digits; throws code 7 for anything else.
    std::string normalizeMAC(const std::string& mac) const;

    /// Letters and digits: for getValidUsernameChars overrides.
    std::string getValidUsernameCharsRestrictive() const;
    /// 0x21 to 0x7E without the double quote, percent sign, ampersand, colon, angle brackets
    /// and backslash: for getValidPasswordChars overrides.
    std::string getValidPasswordCharsRestrictive() const;
    /// 0x20 to 0x7E without the double quote, percent sign, ampersand, apostrophe, angle
    /// brackets and backslash: for getValidSsidChars overrides.
    std::string getValidSsidCharsRestrictive() const;

    /// Written at level 2 with the prefix "\<description\>(\<address\>): "; wide printf
    /// format, in which \%hs takes a narrow string and \%s a wide one.
    void log(const wchar_t* format, ...) const;
    /// Written at level 2 with the same prefix.
    void log(const std::wstring& text) const;
    /// The worker behind the variadic log.
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
