#include "app/PasswordTransforms.h"

#include "krzutil/KRZCryptoUtil.h"
#include "krzutil/KRZTextCoding.h"
#include "recording/Recording.h"

#include <algorithm>
#include <cctype>

namespace krzpap {

using json = nlohmann::json;
using Digest = KRZCryptoUtil::Digest;

namespace {

const char kPassword[] = "{currentPassword}";
const char kUserAndPassword[] = "{loginUser}:{currentPassword}";
const size_t kStrings = 32;
const size_t kNumbers = 2;
const size_t kSalts = 4;
const long kMaxIterations = 100000;

const std::pair<const char*, Digest> kDigests[] = {
    {"md5", Digest::MD5}, {"sha1", Digest::SHA1}, {"sha256", Digest::SHA256}};
const std::pair<const char*, Digest> kHmacs[] = {
    {"hmacMd5", Digest::MD5}, {"hmacSha1", Digest::SHA1}, {"hmacSha256", Digest::SHA256}};

std::string hash(Digest d, const std::string& text) {
    return KRZCryptoUtil::hash(d, KRZBuf(text)).toUtf8HexString();
}

std::string hmac(Digest d, const std::string& key, const std::string& data) {
    return KRZCryptoUtil::hmac(d, KRZBuf(key), KRZBuf(data)).toUtf8HexString();
}

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string fromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

}  // namespace

void PasswordTransforms::add(const std::string& value, const json& expression) {
    // The first (simplest) explanation of a value stands.
    if (value != password_ && !known_.count(value))
        known_.emplace(value, expression);
}

PasswordTransforms::PasswordTransforms(const std::string& password, const HandedOut& earlier,
                                       long* kdfBudget)
    : password_(password) {
    if (password.empty())
        return;
    for (const auto& d : kDigests) {
        std::string digest = hash(d.second, password);
        add(digest, {{d.first, kPassword}});
        add(upper(digest), {{"upper", {{d.first, kPassword}}}});
    }
    add(krzlab::base64Encode(password), {{"base64", kPassword}});
    add(krzPercentEncode(password), {{"urlEncode", kPassword}});
    std::vector<std::string> strings(
        earlier.strings.begin(),
        earlier.strings.begin() + static_cast<long>(std::min(kStrings, earlier.strings.size())));
    for (const std::string& n : strings) {
        for (const auto& d : kDigests) {
            std::string digest = hash(d.second, password);
            const std::pair<std::string, json> salted[] = {
                {n + password, {{d.first, {{"concat", {n, kPassword}}}}}},
                {password + n, {{d.first, {{"concat", {kPassword, n}}}}}},
                {n + digest, {{d.first, {{"concat", {n, {{d.first, kPassword}}}}}}}}};
            for (const auto& s : salted) {
                add(hash(d.second, s.first), s.second);
                add(upper(hash(d.second, s.first)), {{"upper", s.second}});
            }
        }
        for (const auto& h : kHmacs) {
            add(hmac(h.second, n, password), {{h.first, {{"key", n}, {"data", kPassword}}}});
            add(hmac(h.second, password, n), {{h.first, {{"key", kPassword}, {"data", n}}}});
        }
    }
    size_t numbers = 0;
    for (const std::string& count : earlier.numbers) {
        if (numbers++ == kNumbers)
            break;
        long iterations = count.size() <= 6 ? std::stol(count) : 0;
        if (iterations < 1 || iterations > kMaxIterations)
            continue;
        for (size_t s = 0; s < std::min(kSalts, strings.size()); ++s) {
            const std::string& salt = strings[s];
            if (kdfBudget && *kdfBudget < iterations)
                return;
            if (kdfBudget)
                *kdfBudget -= iterations;
            json kdf = {
                {"pbkdf2Sha256", {{"password", kPassword}, {"salt", salt}, {"iterations", count}}}};
            std::string key = KRZCryptoUtil::pbkdf2Sha256(KRZBuf(password), KRZBuf(salt),
                                                          static_cast<unsigned>(iterations), 32)
                                  .toUtf8HexString();
            add(key, kdf);
            // A proof of the derived key over a nonce: the key never leaves the browser.
            for (const std::string& n : strings)
                for (const auto& h : kHmacs)
                    add(hmac(h.second, fromHex(key), n),
                        {{h.first, {{"key", {{"fromHex", kdf}}}, {"data", n}}}});
        }
    }
}

json PasswordTransforms::explain(const std::string& sent, std::string& user) const {
    auto it = known_.find(sent);
    if (it != known_.end())
        return it->second;
    // base64 of "user:password", the user unknown until decoded.
    std::string decoded = krzlab::base64Decode(sent);
    std::string tail = ":" + password_;
    if (!password_.empty() && decoded.size() > tail.size() &&
        decoded.compare(decoded.size() - tail.size(), tail.size(), tail) == 0 &&
        krzlab::base64Encode(decoded) == sent) {
        user = decoded.substr(0, decoded.size() - tail.size());
        return {{"base64", kUserAndPassword}};
    }
    return nullptr;
}

bool PasswordTransforms::isReference(const std::string& leaf) {
    return leaf == kPassword || leaf == kUserAndPassword;
}

}  // namespace krzpap
