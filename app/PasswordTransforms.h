// The password as a login page's scripts sent it: which transform of the password a person typed
// (and of a nonce, salt or count an earlier reply handed out) gives the value the browser posted,
// written as a description-format expression so a draft can compute it again.
#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

namespace krzpap {

// Values an earlier reply handed out, as literals of the expressions: strings (nonces, salts)
// and whole numbers (iteration counts), each as its text.
struct HandedOut {
    std::vector<std::string> strings;
    std::vector<std::string> numbers;
};

class PasswordTransforms {
  public:
    // Bounded: the first 32 strings and 2 numbers of `earlier` are tried, key derivation only
    // with the first 4 strings as salts and counts up to 100,000; `kdfBudget`, when given, is the
    // iterations left to spend on key derivation, shared by the caller's several tries.
    PasswordTransforms(const std::string& password, const HandedOut& earlier,
                       long* kdfBudget = nullptr);

    // The expression whose value is `sent`, or null. Its leaves are either references
    // ("{currentPassword}", "{loginUser}:{currentPassword}") or literals of `earlier`; `user` is
    // set when the user name was found inside the value (base64 of "user:password").
    nlohmann::json explain(const std::string& sent, std::string& user) const;

    // Whether an expression's leaf refers to the login's values rather than holding a literal.
    static bool isReference(const std::string& leaf);

  private:
    void add(const std::string& value, const nlohmann::json& expression);

    std::string password_;
    std::map<std::string, nlohmann::json> known_;  // value -> its expression
};

}  // namespace krzpap
