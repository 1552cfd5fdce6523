// The pattern is parsed into a tree, the tree compiled into a program of a few instructions and
// the program run as a Pike VM: every thread advances one byte at a time, in priority order, and a
// thread that reaches an instruction another thread of higher priority already holds at that byte
// is dropped, since it could only repeat that thread's future. So the work per byte is bounded by
// the program's size, and the first thread to match is the one a backtracking matcher would
// have found first. Repeated groups keep no value from an earlier round, as in ECMAScript.
#include "KRZPMatcher.h"

#include <algorithm>
#include <memory>

namespace krzdesc {

namespace {

using Set = std::bitset<256>;

struct Node {
    enum Kind { Byte, Begin, End, Empty, Group, Concat, Alternation, Repeat } kind = Empty;
    Set set;
    int group = -1;        // Group: its number; -1: a group that does not capture
    int min = 0, max = 0;  // Repeat: max -1 for no bound
    bool greedy = true;
    int firstGroup = 0, lastGroup = 0;  // Repeat: the groups inside (none when first > last)
    std::vector<Node> kids;
};

constexpr int kMaxDepth = 64;

Set range(int from, int to) {
    Set s;
    for (int c = from; c <= to; ++c)
        s.set(static_cast<size_t>(c));
    return s;
}

Set digits() {
    return range('0', '9');
}

Set word() {
    return range('a', 'z') | range('A', 'Z') | digits() | range('_', '_');
}

Set space() {
    return range('\t', '\r') | range(' ', ' ');
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

bool isAlphanumeric(char c) {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
}

class Parser {
  public:
    explicit Parser(const std::string& pattern) : p_(pattern) {}

    Node parse() {
        Node n = alternation(0);
        if (i_ < p_.size())
            fail("a ')' that closes no group");
        return n;
    }
    int groups() const { return groups_; }

  private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::invalid_argument(what + " (at character " + std::to_string(i_ + 1) + ")");
    }
    bool more() const { return i_ < p_.size(); }
    char peek() const { return p_[i_]; }
    bool next(char c) {
        if (!more() || peek() != c)
            return false;
        ++i_;
        return true;
    }

    Node alternation(int depth) {
        if (depth > kMaxDepth)
            fail("groups nested too deeply");
        Node first = sequence(depth);
        if (!more() || peek() != '|')
            return first;
        Node alt;
        alt.kind = Node::Alternation;
        alt.kids.push_back(std::move(first));
        while (next('|'))
            alt.kids.push_back(sequence(depth));
        return alt;
    }

    Node sequence(int depth) {
        Node seq;
        seq.kind = Node::Concat;
        while (more() && peek() != '|' && peek() != ')') {
            const int groupsBefore = groups_;
            Node atom = this->atom(depth);
            if (quantifier(atom, groupsBefore) && more() &&
                (peek() == '*' || peek() == '+' || peek() == '?' || peek() == '{'))
                fail("a quantifier after a quantifier");
            seq.kids.push_back(std::move(atom));
        }
        return seq;
    }

    // Wraps `atom` in the repetition that follows it, if one does.
    bool quantifier(Node& atom, int groupsBefore) {
        if (!more())
            return false;
        int min = 0, max = -1;
        const char c = peek();
        if (c == '*' || c == '+' || c == '?') {
            ++i_;
            min = c == '+' ? 1 : 0;
            max = c == '?' ? 1 : -1;
        } else if (c == '{') {
            ++i_;
            min = count();
            max = min;
            if (next(','))
                max = more() && peek() == '}' ? -1 : count();
            if (!next('}'))
                fail("a '{' that starts no count {n}, {n,} or {n,m} (write \\{ for the character)");
            if (max != -1 && max < min)
                fail("a count {n,m} whose m is below its n");
        } else {
            return false;
        }
        if (atom.kind == Node::Begin || atom.kind == Node::End)
            fail("a quantifier after ^ or $");
        Node rep;
        rep.kind = Node::Repeat;
        rep.min = min;
        rep.max = max;
        rep.greedy = !next('?');
        rep.firstGroup = groupsBefore + 1;
        rep.lastGroup = groups_;
        rep.kids.push_back(std::move(atom));
        atom = std::move(rep);
        return true;
    }

    int count() {
        if (!more() || peek() < '0' || peek() > '9')
            fail("a '{' that starts no count {n}, {n,} or {n,m} (write \\{ for the character)");
        int n = 0;
        while (more() && peek() >= '0' && peek() <= '9') {
            n = n * 10 + (p_[i_++] - '0');
            if (n > Matcher::kMaxCount)
                fail("a count above " + std::to_string(Matcher::kMaxCount));
        }
        return n;
    }

    Node byte(const Set& s) {
        Node n;
        n.kind = Node::Byte;
        n.set = s;
        return n;
    }

    Node atom(int depth) {
        const char c = p_[i_++];
        switch (c) {
            case '(':
                return group(depth);
            case '[':
                return byte(characterClass());
            case '.':
                return byte(~(range('\n', '\n') | range('\r', '\r')));
            case '\\':
                return byte(escape(false));
            case '*':
            case '+':
            case '?':
                --i_;
                fail("a quantifier with nothing to repeat");
            case '{':
                --i_;
                fail("a '{' that starts no count {n}, {n,} or {n,m} (write \\{ for the character)");
            case '^':
            case '$': {
                Node n;
                n.kind = c == '^' ? Node::Begin : Node::End;
                return n;
            }
            default:
                return byte(range(static_cast<unsigned char>(c), static_cast<unsigned char>(c)));
        }
    }

    Node group(int depth) {
        Node g;
        g.kind = Node::Group;
        if (next('?')) {
            if (!next(':'))
                fail("lookaround and named groups are not supported (only ( ) and (?: ))");
        } else {
            g.group = ++groups_;
        }
        g.kids.push_back(alternation(depth + 1));
        if (!next(')'))
            fail("a '(' that is never closed");
        return g;
    }

    // After '['.
    Set characterClass() {
        const bool negated = next('^');
        Set s;
        for (;;) {
            if (!more())
                fail("a '[' that is never closed");
            if (next(']'))
                break;
            bool single = false;
            const Set from = classAtom(single);
            if (more() && peek() == '-' && i_ + 1 < p_.size() && p_[i_ + 1] != ']') {
                ++i_;
                bool singleTo = false;
                const Set to = classAtom(singleTo);
                if (!single || !singleTo)
                    fail("a range in [ ] whose end is a class such as \\d");
                const int lo = first(from), hi = first(to);
                if (lo > hi)
                    fail("a range in [ ] that runs backwards");
                s |= range(lo, hi);
            } else {
                s |= from;
            }
        }
        return negated ? ~s : s;
    }

    static int first(const Set& s) {
        for (int c = 0; c < 256; ++c)
            if (s.test(static_cast<size_t>(c)))
                return c;
        return 0;
    }

    Set classAtom(bool& single) {
        const char c = p_[i_++];
        if (c != '\\') {
            single = true;
            return range(static_cast<unsigned char>(c), static_cast<unsigned char>(c));
        }
        if (next('b')) {  // a backspace inside [ ]
            single = true;
            return range('\b', '\b');
        }
        const Set s = escape(true);
        single = s.count() == 1;
        return s;
    }

    // After '\'.
    Set escape(bool inClass) {
        if (!more())
            fail("a '\\' at the end of the pattern");
        const char c = p_[i_++];
        switch (c) {
            case 'd':
                return digits();
            case 'D':
                return ~digits();
            case 'w':
                return word();
            case 'W':
                return ~word();
            case 's':
                return space();
            case 'S':
                return ~space();
            case 't':
                return range('\t', '\t');
            case 'n':
                return range('\n', '\n');
            case 'r':
                return range('\r', '\r');
            case 'f':
                return range('\f', '\f');
            case 'v':
                return range('\v', '\v');
            case 'x': {
                if (i_ + 1 >= p_.size() || !isHex(p_[i_]) || !isHex(p_[i_ + 1]))
                    fail("a \\x without two hexadecimal digits");
                const int v = hexValue(p_[i_]) * 16 + hexValue(p_[i_ + 1]);
                i_ += 2;
                return range(v, v);
            }
            case '0':
                if (!more() || peek() < '0' || peek() > '9')
                    return range(0, 0);
                break;
            case 'b':
            case 'B':
                --i_;
                fail("word boundaries (\\b, \\B) are not supported");
            default:
                break;
        }
        --i_;
        if (c >= '1' && c <= '9' && !inClass)
            fail("back-references are not supported");
        if (isAlphanumeric(c))
            fail(std::string("an unknown escape \\") + c);
        ++i_;
        return range(static_cast<unsigned char>(c), static_cast<unsigned char>(c));
    }

    const std::string& p_;
    size_t i_ = 0;
    int groups_ = 0;
};

}  // namespace

class MatcherCompiler {
  public:
    explicit MatcherCompiler(Matcher& m) : m_(m) {}

    void compile(const Node& root) {
        emit(Matcher::Op::Save, 0);
        node(root);
        emit(Matcher::Op::Save, 1);
        emit(Matcher::Op::Match);
    }

  private:
    using Op = Matcher::Op;

    int emit(Op op, int x = 0, int y = 0) {
        if (m_.program_.size() >= Matcher::kMaxProgram)
            throw std::invalid_argument("the pattern is too large once its counts are spelled out");
        m_.program_.push_back({op, x, y});
        return static_cast<int>(m_.program_.size() - 1);
    }
    int here() const { return static_cast<int>(m_.program_.size()); }
    Matcher::Instruction& at(int i) { return m_.program_[static_cast<size_t>(i)]; }

    void node(const Node& n) {
        switch (n.kind) {
            case Node::Byte:
                emit(Op::Byte, static_cast<int>(m_.classes_.size()));
                m_.classes_.push_back(n.set);
                break;
            case Node::Begin:
                emit(Op::Begin);
                break;
            case Node::End:
                emit(Op::End);
                break;
            case Node::Empty:
                break;
            case Node::Group:
                if (n.group >= 0)
                    emit(Op::Save, 2 * n.group);
                node(n.kids[0]);
                if (n.group >= 0)
                    emit(Op::Save, 2 * n.group + 1);
                break;
            case Node::Concat:
                for (const Node& k : n.kids)
                    node(k);
                break;
            case Node::Alternation:
                alternation(n);
                break;
            case Node::Repeat:
                repeat(n);
                break;
        }
    }

    // Split(this one, the rest) before every alternative but the last; each ends at the end.
    void alternation(const Node& n) {
        std::vector<int> jumps;
        for (size_t k = 0; k + 1 < n.kids.size(); ++k) {
            const int split = emit(Op::Split);
            at(split).x = here();
            node(n.kids[k]);
            jumps.push_back(emit(Op::Jump));
            at(split).y = here();
        }
        node(n.kids.back());
        for (int j : jumps)
            at(j).x = here();
    }

    void repeat(const Node& n) {
        auto round = [&] {
            if (n.firstGroup <= n.lastGroup)
                emit(Op::Reset, 2 * n.firstGroup, 2 * (n.lastGroup + 1));
            node(n.kids[0]);
        };
        for (int k = 0; k < n.min; ++k)
            round();
        std::vector<int> splits;
        if (n.max == -1) {
            const int loop = emit(Op::Split);
            round();
            emit(Op::Jump, loop);
            splits.push_back(loop);
        } else {
            for (int k = n.min; k < n.max; ++k) {
                splits.push_back(emit(Op::Split));
                round();
            }
        }
        for (int s : splits) {
            at(s).x = n.greedy ? s + 1 : here();
            at(s).y = n.greedy ? here() : s + 1;
        }
    }

    Matcher& m_;
};

Matcher::Matcher(const std::string& pattern) {
    if (pattern.size() > kMaxPattern)
        throw std::invalid_argument("the pattern is longer than " + std::to_string(kMaxPattern) +
                                    " characters");
    Parser parser(pattern);
    const Node root = parser.parse();
    groups_ = static_cast<size_t>(parser.groups());
    MatcherCompiler(*this).compile(root);
}

namespace {

// The threads waiting at one position of the text, in priority order, each with its spans.
struct Threads {
    std::vector<int> pcs;
    std::vector<size_t> slots;   // pcs.size() * slot count
    std::vector<unsigned> seen;  // per instruction: the generation that holds it
    unsigned generation = 1;

    void clear() {
        pcs.clear();
        slots.clear();
        if (++generation == 0) {
            std::fill(seen.begin(), seen.end(), 0u);
            generation = 1;
        }
    }
    // Marks `pc` as held; false when it already was.
    bool take(int pc) {
        unsigned& s = seen[static_cast<size_t>(pc)];
        if (s == generation)
            return false;
        s = generation;
        return true;
    }
};

struct Job {
    int pc;  // -1: restore `slot` to `value`
    int slot;
    size_t value;
};

}  // namespace

bool Matcher::search(const std::string& text, std::vector<Span>& spans) const {
    if (program_.empty())
        return false;
    const size_t slotCount = 2 * (groups_ + 1);
    const size_t npos = std::string::npos;
    Threads current, following;
    current.seen.assign(program_.size(), 0);
    following.seen.assign(program_.size(), 0);
    std::vector<size_t> slots(slotCount), best;
    std::vector<Job> jobs;
    const std::vector<size_t> fresh(slotCount, npos);

    // Adds the thread at `start`, and every one it reaches without reading, to `list`, in
    // priority order; `slots` holds the thread's spans and is back as it was afterwards.
    auto add = [&](Threads& list, int start, size_t pos) {
        jobs.push_back({start, 0, 0});
        while (!jobs.empty()) {
            const Job job = jobs.back();
            jobs.pop_back();
            if (job.pc < 0) {
                slots[static_cast<size_t>(job.slot)] = job.value;
                continue;
            }
            int pc = job.pc;
            while (list.take(pc)) {
                const Instruction& in = program_[static_cast<size_t>(pc)];
                if (in.op == Op::Split) {
                    jobs.push_back({in.y, 0, 0});
                    pc = in.x;
                } else if (in.op == Op::Jump) {
                    pc = in.x;
                } else if (in.op == Op::Save || in.op == Op::Reset) {
                    const int last = in.op == Op::Save ? in.x + 1 : in.y;
                    for (int s = in.x; s < last; ++s) {
                        jobs.push_back({-1, s, slots[static_cast<size_t>(s)]});
                        slots[static_cast<size_t>(s)] = in.op == Op::Save ? pos : npos;
                    }
                    ++pc;
                } else if (in.op == Op::Begin || in.op == Op::End) {
                    if (pos != (in.op == Op::Begin ? 0 : text.size()))
                        break;
                    ++pc;
                } else {  // Byte or Match: a thread waits here
                    list.pcs.push_back(pc);
                    list.slots.insert(list.slots.end(), slots.begin(), slots.end());
                    break;
                }
            }
        }
    };

    bool matched = false;
    for (size_t pos = 0;; ++pos) {
        if (!matched) {
            slots = fresh;
            add(current, 0, pos);
        }
        following.clear();
        for (size_t t = 0; t < current.pcs.size(); ++t) {
            const Instruction& in = program_[static_cast<size_t>(current.pcs[t])];
            const auto from = current.slots.begin() + static_cast<std::ptrdiff_t>(t * slotCount);
            if (in.op == Op::Match) {
                best.assign(from, from + static_cast<std::ptrdiff_t>(slotCount));
                matched = true;
                break;  // the threads after this one have lower priority
            }
            if (pos < text.size() &&
                classes_[static_cast<size_t>(in.x)].test(static_cast<unsigned char>(text[pos]))) {
                std::copy(from, from + static_cast<std::ptrdiff_t>(slotCount), slots.begin());
                add(following, current.pcs[t] + 1, pos + 1);
            }
        }
        std::swap(current, following);
        if (pos >= text.size() || (matched && current.pcs.empty()))
            break;
    }
    if (!matched)
        return false;
    spans.assign(groups_ + 1, Span());
    for (size_t g = 0; g <= groups_; ++g)
        if (best[2 * g] != npos && best[2 * g + 1] != npos)
            spans[g] = {best[2 * g], best[2 * g + 1]};
    return true;
}

}  // namespace krzdesc
