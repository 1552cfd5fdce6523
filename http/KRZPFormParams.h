/// \file
/// An ordered list of form name/value pairs.
#pragma once

#include "krzcompat/krzexport.h"

#include <boost/shared_ptr.hpp>

#include <map>
#include <string>
#include <utility>
#include <vector>

/// The pairs of a form in the order they are sent; names may repeat and compare exactly. The
/// bytes are kept as given: URL encoding happens when a request is written
/// (KRZPAPComm::formText). A plain value type: copies are independent; no locking.
class KRZPAP_API KRZPFormParams {
  public:
    /// The pairs, in order.
    typedef std::vector<std::pair<std::string, std::string>> List;
    /// Iterates the pairs in order.
    typedef List::iterator iterator;
    /// Iterates the pairs in order.
    typedef List::const_iterator const_iterator;

    /// No pairs.
    KRZPFormParams();
    /// Copies the pairs.
    KRZPFormParams(const KRZPFormParams& other);
    /// Copies the pairs.
    KRZPFormParams& operator=(const KRZPFormParams& other);
    /// One pair per entry, in the map's key order.
    KRZPFormParams(const std::map<std::string, std::string>& params);
    /// One pair per element of \p order (value from the map, empty when absent).
    KRZPFormParams(const std::map<std::string, std::string>& params,
                   const std::vector<std::string>& order);
    virtual ~KRZPFormParams();

    /// The first pair with that name, or end().
    iterator find(const std::string& name);
    /// The first pair with that name, or end().
    const_iterator find(const std::string& name) const;
    /// Removes every pair with that name; returns how many.
    unsigned int erase(const std::string& name);
    /// The first pair's value; appends (name, "") when there is none.
    std::string& operator[](const std::string& name);
    /// Appends a pair, also when the name is there already.
    void addParam(const std::string& name, const std::string& value);
    /// The pairs as a map. For a repeated name the first value stays.
    boost::shared_ptr<std::map<std::string, std::string>> asFormData() const;

    /// The first pair.
    iterator begin();
    /// Past the last pair.
    iterator end();
    /// The first pair.
    const_iterator begin() const;
    /// Past the last pair.
    const_iterator end() const;
    /// The number of pairs.
    size_t size() const;
    /// True without pairs.
    bool empty() const;
    /// The pairs, in order.
    const List& getParams() const;

  private:
    List params;
};
