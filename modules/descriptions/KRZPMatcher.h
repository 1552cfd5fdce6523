// A regular-expression matcher whose time is linear in the text it searches: a description's
// pattern runs over whatever a device sends, so no pattern may backtrack or recurse per character.
// It takes the ECMAScript subset descriptions use (literals and escapes, \d \w \s and their
// negations, classes, `.`, `^`, `$`, groups capturing and not, alternation, greedy and lazy
// `* + ? {n} {n,} {n,m}`) and gives ECMAScript's leftmost-first match and groups; anything else
// (back-references, lookaround, word boundaries) is refused when the pattern is read.
#pragma once

#include <bitset>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace krzdesc {

class Matcher {
  public:
    // The longest pattern, the most instructions it compiles to and the largest count in `{n,m}`.
    static constexpr size_t kMaxPattern = 2048;
    static constexpr size_t kMaxProgram = 8192;
    static constexpr int kMaxCount = 255;

    // Throws std::invalid_argument with a sentence saying what is wrong and where.
    explicit Matcher(const std::string& pattern);
    Matcher() = default;

    // The number of capturing groups.
    size_t groups() const { return groups_; }

    // Where the whole match (index 0) and each group start and end in the text; npos: the group
    // took no part in the match.
    struct Span {
        size_t begin = std::string::npos;
        size_t end = std::string::npos;
        bool matched() const { return begin != std::string::npos; }
    };

    // The leftmost match in `text`, false without one.
    bool search(const std::string& text, std::vector<Span>& spans) const;

    enum class Op : unsigned char { Byte, Split, Jump, Save, Reset, Begin, End, Match };
    struct Instruction {
        Op op;
        int x = 0;  // Byte: the class; Split, Jump: the first target; Save: the slot; Reset: from
        int y = 0;  // Split: the second target; Reset: the slot after the last
    };

  private:
    std::vector<Instruction> program_;
    std::vector<std::bitset<256>> classes_;
    size_t groups_ = 0;

    friend class MatcherCompiler;
};

}  // namespace krzdesc
