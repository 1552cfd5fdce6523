// An ordered list of form name/value pairs; names may repeat and compare exactly.
#pragma once

#include "krzcompat/krzexport.h"

#include <boost/shared_ptr.hpp>

#include <map>
#include <string>
#include <utility>
#include <vector>

class KRZPAP_API KRZPFormParams {
  public:
    typedef std::vector<std::pair<std::string, std::string>> List;
    typedef List::iterator iterator;
    typedef List::const_iterator const_iterator;

    KRZPFormParams();
    KRZPFormParams(const KRZPFormParams& other);
    KRZPFormParams& operator=(const KRZPFormParams& other);
    // One pair per entry, in the map's key order.
    KRZPFormParams(const std::map<std::string, std::string>& params);
    // One pair per element of `order` (value from the map, empty when absent).
    KRZPFormParams(const std::map<std::string, std::string>& params,
                   const std::vector<std::string>& order);
    virtual ~KRZPFormParams();

    iterator find(const std::string& name);
    const_iterator find(const std::string& name) const;
    // Removes every pair with that name; returns how many.
    unsigned int erase(const std::string& name);
    // The first pair's value; appends (name, "") when there is none.
    std::string& operator[](const std::string& name);
    void addParam(const std::string& name, const std::string& value);
    // For a repeated name the first value stays.
    boost::shared_ptr<std::map<std::string, std::string>> asFormData() const;

    iterator begin();
    iterator end();
    const_iterator begin() const;
    const_iterator end() const;
    size_t size() const;
    bool empty() const;
    const List& getParams() const;

  private:
    List params;
};
