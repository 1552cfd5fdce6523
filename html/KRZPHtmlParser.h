// A forward-moving cursor over one web page, held as 8-bit text exactly as the device sent it.
// Every cursor operation searches forward from the cursor and leaves it at a stated place, or
// throws KRZPAPCException code 7 (KRZPAPC_PARSE_ERROR). Called at end, every cursor operation
// throws at once. See each operation for where the cursor is left.
#pragma once

#include "core/KRZPAPCException.h"
#include "krzcompat/krzexport.h"

#include <boost/shared_ptr.hpp>

#include <cstring>
#include <map>
#include <string>

class KRZPFormParams;

// Character traits that compare and search ignoring ASCII letter case.
struct KRZPAP_API ci_char_traits : public std::char_traits<char> {
    static bool eq(char a, char b);
    static bool ne(char a, char b);
    static bool lt(char a, char b);
    static int compare(const char* a, const char* b, size_t n);
    static const char* find(const char* s, size_t n, char a);
};

typedef std::basic_string<char, ci_char_traits> ci_string;
typedef boost::shared_ptr<std::map<ci_string, std::string>> AttributeMap;

class KRZPAP_API KRZPHtmlParser {
  public:
    explicit KRZPHtmlParser(const std::string& text = std::string());
    KRZPHtmlParser(const KRZPHtmlParser& other);
    KRZPHtmlParser& operator=(const KRZPHtmlParser& other);
    virtual ~KRZPHtmlParser();

    void setData(const std::string& text);
    void reset();
    // The cursor: an index into the text, or std::string::npos at end.
    size_t getPosition() const;
    const std::string& getData() const;

    // ---- cursor operations ----
    void skipTo(const std::string& s);
    void skipPast(const std::string& s);
    void caselessSkipPast(const std::string& s);
    std::string grabTo(const std::string& s);
    void skipPastWhitespace();
    void skipToWhitespace();
    std::string grabToWhitespace();
    std::string grabJs(char quote);
    void skipToTag(const std::string& name);
    void skipPastTag(const std::string& name);
    void skipToBody();
    void skipToNextTag(ci_string& name);
    AttributeMap parseAttributes();
    std::string parseAttributeValue();

    // ---- form extraction ----
    boost::shared_ptr<KRZPFormParams> parseFormParams(bool parseScripts);
    boost::shared_ptr<std::map<std::string, std::string>> parseForm(bool parseScripts);

    // ---- static text functions ----
    // The value under `name` (caseless), or a process-wide empty string. The reference points
    // into the map: keep the AttributeMap in a variable while the reference is used.
    static const std::string& getAttrib(AttributeMap attributes, const std::string& name);
    static const std::string& getName(AttributeMap attributes);
    static const std::string& getValue(AttributeMap attributes);
    static std::string entityDecode(const std::string& text);
    static std::string urlEncode(const std::string& text, bool plusForSpace,
                                 const std::string& extraUnsafe);
    static std::string urlDecode(const std::string& text);
    static std::string encrypt(const std::string& text);
    static std::string decrypt(const std::string& text);

  private:
    // Throws the parse error with the cursor left as it is.
    [[noreturn]] static void fail(const std::string& message = std::string());
    // Throws with the cursor moved to end.
    [[noreturn]] void failAtEnd();
    // The one check of the cursor against the text: throws when the cursor is at end.
    void requireCursor() const;
    // Moves the cursor to `pos`; a position at or past the end of the text becomes end.
    // Returns false when that happened.
    bool moveTo(size_t pos);
    // Moves the cursor to `pos`, throwing (cursor at end) when that is the end of the text.
    void moveToOrFail(size_t pos);

    ci_string caselessData;
    std::string data;
    // `data` with ASCII letters lowered: caseless searches run as plain byte searches on it.
    std::string lowerData;
    size_t currentPosition;
};
