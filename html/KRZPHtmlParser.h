/// \file
/// The HTML scanner that modules read device pages and forms with, and its caseless string type.
#pragma once

#include "core/KRZPAPCException.h"
#include "krzcompat/krzexport.h"

#include <boost/shared_ptr.hpp>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

class KRZPFormParams;

/// Character traits that compare and search ignoring ASCII letter case (other bytes exactly).
struct KRZPAP_API ci_char_traits : public std::char_traits<char> {
    /// Equal ignoring ASCII case.
    static bool eq(char a, char b);
    /// Not equal ignoring ASCII case.
    static bool ne(char a, char b);
    /// Less after lowering ASCII letters.
    static bool lt(char a, char b);
    /// As std::char_traits::compare, ignoring ASCII case.
    static int compare(const char* a, const char* b, size_t n);
    /// The first of \p n characters equal to \p a ignoring ASCII case, or null.
    static const char* find(const char* s, size_t n, char a);
};

/// An 8-bit string whose comparisons ignore ASCII letter case (tag and attribute names).
typedef std::basic_string<char, ci_char_traits> ci_string;
/// A tag's attributes: caseless name to value (entity-decoded when it was quoted).
typedef boost::shared_ptr<std::map<ci_string, std::string>> AttributeMap;

/// One pair of a form as a browser submits it. `name` and `value` are the bytes that go into the
/// request (before URL encoding): character references written in the page's charset, line breaks
/// as CR LF. `type` is the control's type as a page's scripts see it: an input's type in lower case
/// ("text" also for a missing or unknown one), "select-one", "select-multiple", "textarea", or
/// "submit" for a button element.
struct KRZPBrowserField {
    std::string name;   ///< The control's name, as sent.
    std::string value;  ///< The value, as sent.
    std::string type;   ///< The control's type, as above.
};

/// A form as a browser sees it: the attributes of its start tag and the pairs it submits.
struct KRZPBrowserForm {
    AttributeMap attributes;               ///< The attributes of the form's start tag.
    std::vector<KRZPBrowserField> fields;  ///< The pairs it submits, in page order.
};

/// A choice of a select as a person sees it.
struct KRZPPageOption {
    std::string value;      ///< What choosing it sends (its label when it has no value).
    std::string label;      ///< Its text, references decoded, blanks collapsed and trimmed.
    bool selected = false;  ///< Marked selected in the markup.
    bool disabled = false;  ///< Disabled, or in a disabled group.
};

/// A control of a form as a person sees it, sent or not: its markup, its label and its choices.
struct KRZPPageControl {
    std::string name;         ///< Its name attribute (may be empty for a button).
    std::string type;         ///< As KRZPBrowserField::type; a button's type in lower case.
    std::string value;        ///< Its value attribute; a button element's, an option-less one's.
    std::string label;        ///< See KRZPPageForm.
    AttributeMap attributes;  ///< The attributes of its start tag.
    std::vector<KRZPPageOption> options;  ///< A select's options, in page order.
};

/// A form with what a person sees of it, beside what it submits.
///
/// A control's label is the text of the label element that names it (`for` its id, the first
/// such), else of the label element around it, else (outside every label element) the text just
/// before its start tag (a table cell's, within 400 bytes), as a person reads a form laid out in a
/// table; blanks collapsed, at most 256 bytes.
struct KRZPPageForm {
    AttributeMap attributes;               ///< The attributes of the form's start tag.
    std::vector<KRZPBrowserField> fields;  ///< What it submits with no button pressed.
    /// Its named controls other than buttons (inputs, selects, textareas), enabled or not,
    /// checked or not, in page order.
    std::vector<KRZPPageControl> controls;
    /// Its buttons, named or not, in page order: button elements (type "submit", "button" or
    /// "reset"; the label their text) and inputs of type submit, image, button and reset (the
    /// label their value, an image's alt).
    std::vector<KRZPPageControl> buttons;
};

/// A start tag as a browser's tokenizer reads it.
struct KRZPPageTag {
    std::string name;  ///< Its name in lower case.
    /// Its attributes in page order: names in lower case, values with character references
    /// decoded as KRZPBrowserField's are; a name spelled twice keeps its first value.
    std::vector<std::pair<std::string, std::string>> attributes;
    /// The value of attribute \p wanted (lower case), or nullptr when the tag has none.
    const std::string* attribute(const std::string& wanted) const {
        for (const auto& a : attributes)
            if (a.first == wanted)
                return &a.second;
        return nullptr;
    }
};

/// A forward-moving cursor over one web page, held as 8-bit text exactly as the device sent it.
/// Every cursor operation searches forward from the cursor and leaves it at a stated place, or
/// throws KRZPAPCException code 7 (KRZPAPC_PARSE_ERROR). Called at end, every cursor operation
/// throws at once. See each operation for where the cursor is left.
///
/// A plain value type: it owns a copy of the text; copies are independent. No locking: one
/// thread per object. No network, no time-out; nothing but code 7 is thrown.
class KRZPAP_API KRZPHtmlParser {
  public:
    /// Over a copy of \p text, cursor at its start.
    explicit KRZPHtmlParser(const std::string& text = std::string());
    /// Copies the text and the cursor.
    KRZPHtmlParser(const KRZPHtmlParser& other);
    /// Copies the text and the cursor.
    KRZPHtmlParser& operator=(const KRZPHtmlParser& other);
    virtual ~KRZPHtmlParser();

    /// Replaces the text; cursor at its start.
    void setData(const std::string& text);
    /// Cursor back to the start of the text.
    void reset();
    /// The cursor: an index into the text, or std::string::npos at end.
    size_t getPosition() const;
    /// The whole text, as given.
    const std::string& getData() const;

    // ---- cursor operations ----
    /// Cursor on the next occurrence of \p s (exact bytes).
    /// Not found: the cursor stays and the message names \p s and the cursor. Found: cursor on the
    /// match (skipTo, grabTo, which returns the text before it) or past it (skipPast, which goes to
    /// end and throws when that is the end of the text).
    void skipTo(const std::string& s);
    /// Cursor past the next occurrence of \p s; see skipTo.
    void skipPast(const std::string& s);
    /// Cursor past the caseless match, to end without an error if that ends the text.
    /// Not found: cursor to end, throws.
    void caselessSkipPast(const std::string& s);
    /// The text from the cursor to the next occurrence of \p s, cursor on it; see skipTo.
    std::string grabTo(const std::string& s);
    /// Cursor on the next byte that is not whitespace.
    /// Whitespace is " \t\r\n". None found: cursor to end, throws.
    void skipPastWhitespace();
    /// Cursor on the next whitespace byte; none found: cursor to end, throws.
    void skipToWhitespace();
    /// The text from the cursor to the next whitespace byte, cursor on it; as skipToWhitespace.
    std::string grabToWhitespace();
    /// The body of a string literal whose opening quote is behind the cursor; cursor on the
    /// closing quote. Unterminated: what was read, with the cursor just behind the text.
    std::string grabJs(char quote);
    /// Cursor on the delimiter after the tag name (caseless, whole name; "/x" finds closing tags).
    void skipToTag(const std::string& name);
    /// Cursor past the '>' of that tag.
    void skipPastTag(const std::string& name);
    /// Cursor past the '>' of the body tag.
    void skipToBody();
    /// Any next tag; \p name is the text up to whitespace or '>', cursor on that delimiter.
    void skipToNextTag(ci_string& name);
    /// The attributes up to the tag's '>', cursor on it; the first spelling of a name wins.
    AttributeMap parseAttributes();
    /// A quoted value (entity-decoded, cursor past the quote) or an unquoted one (as it stands,
    /// cursor on the whitespace, '>' or zero byte that ends it).
    std::string parseAttributeValue();

    // ---- form extraction ----
    /// The form's fields from the cursor to "/form" or the last tag, in page order: named inputs
    /// except button and reset, checkbox and radio only when checked, selected options of named
    /// selects; comments skipped, scripts skipped unless \p parseScripts. Only running out of tags
    /// ends quietly; other scanner errors propagate.
    boost::shared_ptr<KRZPFormParams> parseFormParams(bool parseScripts);
    /// The same as a map; a repeated name keeps its first value.
    boost::shared_ptr<std::map<std::string, std::string>> parseForm(bool parseScripts);

    // ---- forms as a browser submits them ----
    /// The pairs a browser sends for the form the cursor is in: at or inside its start tag (as
    /// skipToTag("form") leaves it) or anywhere after it. Read up to the form's "</form>" or the
    /// end of the text, with the browser's tokenizer and submission rules; no script runs and
    /// script text is never read. A submit or image button is sent only when its name is
    /// \p submitter. Cursor past the "</form>", or at end. Throws only when called at end.
    std::vector<KRZPBrowserField> parseBrowserForm(const std::string& submitter = std::string());
    /// The same pairs, ready to send.
    boost::shared_ptr<KRZPFormParams> parseBrowserFormParams(
        const std::string& submitter = std::string());
    /// Every form of the whole text, as a browser builds them (a form start tag inside an open
    /// form is ignored; fields outside every form belong to none). The cursor does not move.
    std::vector<KRZPBrowserForm> browserForms(const std::string& submitter = std::string()) const;
    /// Every form of the whole text as browserForms() reads it with no button pressed, with
    /// its controls, buttons, options and labels. One pass, time linear in the text; the cursor
    /// does not move.
    std::vector<KRZPPageForm> pageForms() const;
    /// Every start tag of the whole text, in page order, as a browser's tokenizer reads them:
    /// nothing inside comments, scripts or other raw text (a style, a title, a textarea's text), no
    /// tag cut off by the end of the text. For the links and event handlers a page holds. One
    /// pass, time linear in the text; the cursor does not move.
    std::vector<KRZPPageTag> pageTags() const;

    // ---- static text functions ----
    /// The value under \p name (caseless), or a process-wide empty string. The reference points
    /// into the map: keep the AttributeMap in a variable while the reference is used.
    static const std::string& getAttrib(AttributeMap attributes, const std::string& name);
    /// getAttrib(attributes, "name"), with the same lifetime rule.
    static const std::string& getName(AttributeMap attributes);
    /// getAttrib(attributes, "value"), with the same lifetime rule.
    static const std::string& getValue(AttributeMap attributes);
    /// Character references: decimal (low 8 bits) and the Latin-1 names, exact then caseless.
    static std::string entityDecode(const std::string& text);
    /// Percent-encodes every byte outside the 72-character safe set less \p extraUnsafe; a
    /// space becomes '+' when \p plusForSpace.
    static std::string urlEncode(const std::string& text, bool plusForSpace,
                                 const std::string& extraUnsafe);
    /// Throws "Bad hex!" for a non-hexadecimal digit after '%'; '+' stays '+'.
    static std::string urlDecode(const std::string& text);
    /// Two decimal digits per byte (byte - 32).
    static std::string encrypt(const std::string& text);
    /// The inverse of encrypt, after URL-decoding the text.
    static std::string decrypt(const std::string& text);

  private:
    // Throws the parse error with the cursor left as it is.
    [[noreturn]] static void fail(const std::string& message = std::string());
    // Throws with the cursor moved to end.
    [[noreturn]] void failAtEnd();
    // Throws when the cursor is at end; every cursor operation starts with it.
    void requireCursor() const;
    // The place where a new cursor meets the end of the text: a position at or past it becomes
    // end, and the result is false.
    bool moveTo(size_t pos);
    // Moves the cursor to `pos`, throwing (cursor at end) when that is the end of the text.
    void moveToOrFail(size_t pos);

    ci_string caselessData;
    std::string data;
    // `data` with ASCII letters lowered: caseless searches run as plain byte searches on it.
    std::string lowerData;
    size_t currentPosition;
};
