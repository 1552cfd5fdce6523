// What `krzpap record` and `krzpap describe` read out of a device's page: the links a browser
// would follow, the values the page's scripts give its fields, and the secrets it holds. Pages
// come from devices, so every reader here is one forward pass (time linear in the page) without
// recursion, and takes any bytes.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace krzpap {

// Links whose visit would end the session or the device's service.
bool harmful(const std::string& target);

// Every same-device resource a browser would load or follow from the page at `target`: links,
// frames, images, style sheets, scripts, and locations set by scripts. `address` is the device's.
std::vector<std::string> linksOf(const std::string& target, const std::string& page,
                                 const std::string& address);

// The values a page's scripts (or a JSON reply) hold, read in one pass: string literals given to
// variables ("var wlKey = '...'") and to the members of object literals ("var cfg = {key: '...'}",
// '{"key": "..."}'), and the fields they fill ("f.NAME.value = X", "pick(f.NAME, X)",
// "document.getElementById('ID').value = X", where X is a literal, a variable or a member).
class ScriptValues {
  public:
    explicit ScriptValues(const std::string& page);
    // The value the scripts give the field named `name`, or "" when they say none.
    std::string valueOf(const std::string& name) const;
    // The same for the element whose id is `id`.
    std::string valueById(const std::string& id) const;
    // The variable that fills the field named `name` when "var VAR = '...'" gives it a literal,
    // else "".
    std::string variableOf(const std::string& name) const;
    // Every literal with the variable or member path it was given to ("cfg.key").
    const std::map<std::string, std::string>& literals() const { return literals_; }

  private:
    std::string resolve(const std::string& expression) const;

    std::map<std::string, std::string> literals_;  // path -> decoded value
    std::map<std::string, std::string> byName_;    // field name -> expression
    std::map<std::string, std::string> byId_;      // element id -> expression
    std::set<std::string> declared_;               // "var NAME = '...'"
};

// Whether a field, variable or member of this name holds a password or key.
bool secretName(const std::string& name);

// The secrets a page holds in any shape: password fields' values (in the markup or filled by the
// scripts, by name or by id), fields, variables, members and JSON entries named as passwords or
// keys, and such parameters of the links in it.
std::vector<std::string> secretsOf(const std::string& page);

// The secrets a request target carries in its query ("?pass=...").
std::vector<std::string> secretsOfTarget(const std::string& target);

// MAC addresses the page shows: six pairs of hexadecimal digits with one separator (':' or '-'),
// standing as words of their own; to anonymize.
std::vector<std::string> macsOf(const std::string& text);

// Serial numbers the page shows ("Serial number: X", also across table cells), to anonymize.
std::vector<std::string> serialsOf(const std::string& page);

}  // namespace krzpap
