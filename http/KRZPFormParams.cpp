#include "http/KRZPFormParams.h"

#include <algorithm>

KRZPFormParams::KRZPFormParams() {}

KRZPFormParams::KRZPFormParams(const KRZPFormParams& other) = default;
KRZPFormParams& KRZPFormParams::operator=(const KRZPFormParams& other) = default;

KRZPFormParams::KRZPFormParams(const std::map<std::string, std::string>& map)
    : params(map.begin(), map.end()) {}

KRZPFormParams::KRZPFormParams(const std::map<std::string, std::string>& map,
                               const std::vector<std::string>& order) {
    params.reserve(order.size());
    for (const std::string& name : order) {
        auto it = map.find(name);
        params.emplace_back(name, it != map.end() ? it->second : std::string());
    }
}

KRZPFormParams::~KRZPFormParams() {}

KRZPFormParams::iterator KRZPFormParams::find(const std::string& name) {
    return std::find_if(params.begin(), params.end(),
                        [&](const List::value_type& p) { return p.first == name; });
}

KRZPFormParams::const_iterator KRZPFormParams::find(const std::string& name) const {
    return std::find_if(params.begin(), params.end(),
                        [&](const List::value_type& p) { return p.first == name; });
}

unsigned int KRZPFormParams::erase(const std::string& name) {
    size_t before = params.size();
    params.erase(std::remove_if(params.begin(), params.end(),
                                [&](const List::value_type& p) { return p.first == name; }),
                 params.end());
    return static_cast<unsigned int>(before - params.size());
}

std::string& KRZPFormParams::operator[](const std::string& name) {
    iterator it = find(name);
    if (it != params.end())
        return it->second;
    params.emplace_back(name, std::string());
    return params.back().second;
}

void KRZPFormParams::addParam(const std::string& name, const std::string& value) {
    params.emplace_back(name, value);
}

boost::shared_ptr<std::map<std::string, std::string>> KRZPFormParams::asFormData() const {
    boost::shared_ptr<std::map<std::string, std::string>> map(
        new std::map<std::string, std::string>());
    // insert keeps the value already stored, so the first of a repeated name stays.
    for (const auto& pair : params)
        map->insert(pair);
    return map;
}

KRZPFormParams::iterator KRZPFormParams::begin() {
    return params.begin();
}
KRZPFormParams::iterator KRZPFormParams::end() {
    return params.end();
}
KRZPFormParams::const_iterator KRZPFormParams::begin() const {
    return params.begin();
}
KRZPFormParams::const_iterator KRZPFormParams::end() const {
    return params.end();
}
size_t KRZPFormParams::size() const {
    return params.size();
}
bool KRZPFormParams::empty() const {
    return params.empty();
}
const KRZPFormParams::List& KRZPFormParams::getParams() const {
    return params;
}
