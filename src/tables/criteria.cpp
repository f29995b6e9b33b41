// A hand-written scanner and shift-reduce parser for the criteria language.
// The parser keeps the stack that an LALR(1) parser of the grammar keeps (one
// entry per grammar symbol, plus the start state), so that its stack limits
// accept and refuse exactly the same texts. Everything lives in the call, so
// parses may run on several threads at once.
#include "tables/criteria.h"

#include <stdlib.h>
#include <string.h>

namespace {

const char kSyntaxError[] = "syntax error";
const char kStackOverflow[] = "yacc stack overflow";
const char kInvalidSyntax[] = "invalid syntax";

enum Symbol {
    kEnd,
    kLineEnd,
    kAnd,
    kOr,
    kValue,
    kIdentifier,
    kOpenParen,
    kCloseParen,
    kComparison, // one of < > <= >= = !=, with its code in the token
    kInvalid,
    // Non-terminals and the start state; never returned by the scanner.
    kStart,
    kInput,
    kExpression,
    kOperator,
};

struct Token {
    Symbol symbol;
    const char* text;
    size_t length;
    BYTE op;
};

bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Printable ASCII punctuation allowed inside a quoted literal: all of it but
// the quote, the semicolon and the underscore.
bool isLiteralPunctuation(char c) {
    bool punct = (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
                 (c >= 0x7B && c <= 0x7E);
    return punct && c != '\'' && c != ';' && c != '_';
}

// Length of the quoted literal at p (p[0] is the quote), or 0 when there is
// none. Items: blanks, digits, allowed punctuation and words (a letter, then
// letters, digits and underscores) - so an underscore needs a letter before
// it in the same run of word characters.
size_t quotedLiteralLength(const char* p) {
    bool inWord = false;
    for (const char* q = p + 1;; ++q) {
        char c = *q;
        if (c == '\'')
            return static_cast<size_t>(q - p) + 1;
        if (isLetter(c)) {
            inWord = true;
        } else if (isDigit(c)) {
            // continues a word, or is an item of its own
        } else if (c == '_') {
            if (!inWord)
                return 0;
        } else if (c == ' ' || isLiteralPunctuation(c)) {
            inWord = false;
        } else {
            return 0; // end of text, tab, line end, control or non-ASCII byte
        }
    }
}

struct Scanner {
    const char* p;
    bool appendedLineEnd; // the line end added to the caller's text is given out
};

Token nextToken(Scanner* s) {
    while (*s->p == ' ' || *s->p == '\t')
        ++s->p;
    const char* start = s->p;
    Token t{kInvalid, start, 1, 0};
    char c = *start;
    if (c == '\0') {
        if (!s->appendedLineEnd) {
            s->appendedLineEnd = true;
            t.symbol = kLineEnd;
            t.length = 0;
        } else {
            t.symbol = kEnd;
            t.length = 0;
        }
        return t;
    }
    switch (c) {
    case '\n':
        t.symbol = kLineEnd;
        break;
    case '(':
        t.symbol = kOpenParen;
        break;
    case ')':
        t.symbol = kCloseParen;
        break;
    case '<':
    case '>':
        t.symbol = kComparison;
        if (start[1] == '=') {
            t.length = 2;
            t.op = c == '<' ? ORR_OP_LESS_EQUAL : ORR_OP_GREATER_EQUAL;
        } else {
            t.op = c == '<' ? ORR_OP_LESS : ORR_OP_GREATER;
        }
        break;
    case '=':
        t.symbol = kComparison;
        t.op = ORR_OP_EQUAL;
        break;
    case '!':
        if (start[1] == '=') {
            t.symbol = kComparison;
            t.length = 2;
            t.op = ORR_OP_NOT_EQUAL;
        }
        break;
    case '\'': {
        size_t n = quotedLiteralLength(start);
        if (n > 0) {
            t.symbol = kValue;
            t.length = n;
        }
        break;
    }
    default:
        if (isDigit(c)) {
            const char* q = start;
            while (isDigit(*q))
                ++q;
            if (*q == '.' && isDigit(q[1])) {
                ++q;
                while (isDigit(*q))
                    ++q;
            }
            t.symbol = kValue;
            t.length = static_cast<size_t>(q - start);
        } else if (isLetter(c)) {
            const char* q = start;
            while (isLetter(*q) || isDigit(*q) || *q == '_')
                ++q;
            t.length = static_cast<size_t>(q - start);
            if (t.length == 3 && memcmp(start, "and", 3) == 0)
                t.symbol = kAnd;
            else if (t.length == 2 && memcmp(start, "or", 2) == 0)
                t.symbol = kOr;
            else
                t.symbol = kIdentifier;
        }
        break;
    }
    s->p = start + t.length;
    return t;
}

struct Entry {
    Symbol symbol;
    CriteriaNode* node; // expressions
    const char* text;   // identifiers and values
    size_t length;
    BYTE op; // operators
};

char* copyToken(const char* text, size_t n) {
    auto* p = static_cast<char*>(malloc(n + 1));
    if (p != nullptr) {
        memcpy(p, text, n);
        p[n] = '\0';
    }
    return p;
}

class Parser {
  public:
    Parser() = default;
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;
    ~Parser() {
        for (int32_t i = 0; i < size_; ++i)
            FreeCriteriaTree(stack_[i].node);
        if (stack_ != first_)
            free(stack_);
        FreeCriteriaTree(lastTree_);
    }

    CriteriaNode* parse(const char* text, const char** error) {
        Scanner scanner{text, false};
        if (!push(Entry{kStart, nullptr, nullptr, 0, 0}) ||
            !push(Entry{kInput, nullptr, nullptr, 0, 0}))
            return fail(error);
        Token t = nextToken(&scanner);
        for (;;) {
            if (t.symbol == kInvalid) {
                error_ = kInvalidSyntax;
                return fail(error);
            }
            Step step = act(t);
            if (step == Step::kFail)
                return fail(error);
            if (step == Step::kAccept) {
                CriteriaNode* tree = lastTree_;
                lastTree_ = nullptr;
                if (tree == nullptr) {
                    error_ = kSyntaxError; // an empty text is no expression
                    return fail(error);
                }
                if (error != nullptr)
                    *error = nullptr;
                return tree;
            }
            if (step == Step::kShifted)
                t = nextToken(&scanner);
        }
    }

  private:
    enum class Step { kShifted, kReduced, kAccept, kFail };

    CriteriaNode* fail(const char** error) {
        if (error != nullptr)
            *error = error_ != nullptr ? error_ : kSyntaxError;
        return nullptr;
    }

    // Grows the stack the way the generated parsers do: from 200 entries,
    // doubling, never beyond 10000. The first 200 live in the parser itself: a
    // block of their size from a heap full of small freed blocks (after a
    // load) made glibc tidy the whole heap first, and a selection's parse
    // cost more than its scan.
    bool push(const Entry& e) {
        if (size_ == capacity_) {
            if (capacity_ >= kCriteriaStackMax) {
                error_ = kStackOverflow;
                return false;
            }
            int32_t grown = capacity_ * 2;
            if (grown > kCriteriaStackMax)
                grown = kCriteriaStackMax;
            auto* p = static_cast<Entry*>(malloc(static_cast<size_t>(grown) * sizeof(Entry)));
            if (p == nullptr) {
                error_ = kStackOverflow;
                return false;
            }
            memcpy(p, stack_, static_cast<size_t>(size_) * sizeof(Entry));
            if (stack_ != first_)
                free(stack_);
            stack_ = p;
            capacity_ = grown;
        }
        stack_[size_++] = e;
        return true;
    }

    Entry& top(int32_t below = 0) { return stack_[size_ - 1 - below]; }

    Step shift(const Token& t) {
        return push(Entry{t.symbol, nullptr, t.text, t.length, t.op}) ? Step::kShifted
                                                                      : Step::kFail;
    }

    Step syntaxError() {
        error_ = kSyntaxError;
        return Step::kFail;
    }

    static bool startsExpression(Symbol s) {
        return s == kIdentifier || s == kValue || s == kOpenParen;
    }

    // One parser action for the lookahead: shift it, reduce, accept or fail.
    Step act(const Token& t) {
        Entry& e = top();
        switch (e.symbol) {
        case kInput:
            if (t.symbol == kEnd)
                return Step::kAccept;
            return startsExpression(t.symbol) ? shift(t) : syntaxError();
        case kOpenParen:
        case kAnd:
        case kOr:
            return startsExpression(t.symbol) ? shift(t) : syntaxError();
        case kIdentifier:
        case kValue:
            if (t.symbol != kComparison)
                return syntaxError();
            if (shift(t) == Step::kFail)
                return Step::kFail;
            top().symbol = kOperator; // operator: one of the six tokens
            return Step::kShifted;
        case kOperator: {
            // identifier operator value, or value operator identifier
            Symbol first = top(1).symbol;
            Symbol wanted = first == kIdentifier ? kValue : kIdentifier;
            if (t.symbol != wanted)
                return syntaxError();
            if (shift(t) == Step::kFail)
                return Step::kFail;
            return reduceComparison();
        }
        case kExpression: {
            Symbol below = top(1).symbol;
            if (t.symbol == kAnd || t.symbol == kOr)
                return shift(t); // same precedence, grouping to the right
            if (below == kAnd || below == kOr)
                return reduceLogical();
            if (below == kOpenParen) {
                if (t.symbol != kCloseParen)
                    return syntaxError();
                if (shift(t) == Step::kFail)
                    return Step::kFail;
                // ( expression ) is the expression itself
                CriteriaNode* inner = top(1).node;
                size_ -= 3;
                stack_[size_++] = Entry{kExpression, inner, nullptr, 0, 0};
                return Step::kShifted;
            }
            if (below == kInput) {
                if (t.symbol != kLineEnd)
                    return syntaxError();
                if (shift(t) == Step::kFail)
                    return Step::kFail;
                // input expression line-end: this line's tree replaces the last one
                FreeCriteriaTree(lastTree_);
                lastTree_ = top(1).node;
                size_ -= 2;
                return Step::kShifted;
            }
            return syntaxError();
        }
        default:
            return syntaxError();
        }
    }

    Step reduceComparison() {
        Entry& a = top(2);
        Entry& op = top(1);
        Entry& b = top(0);
        const Entry& column = a.symbol == kIdentifier ? a : b;
        const Entry& literal = a.symbol == kIdentifier ? b : a;
        auto* node = static_cast<CriteriaNode*>(calloc(1, sizeof(CriteriaNode)));
        if (node != nullptr) {
            node->columnName = copyToken(column.text, column.length);
            node->literal = copyToken(literal.text, literal.length);
            node->op = op.op;
        }
        if (node == nullptr || node->columnName == nullptr || node->literal == nullptr) {
            // A tree with a node missing would select rows it should not.
            FreeCriteriaTree(node);
            error_ = kSyntaxError;
            return Step::kFail;
        }
        size_ -= 3;
        stack_[size_++] = Entry{kExpression, node, nullptr, 0, 0};
        return Step::kShifted;
    }

    Step reduceLogical() {
        CriteriaNode* left = top(2).node;
        BYTE op = top(1).symbol == kAnd ? ORR_OP_AND : ORR_OP_OR;
        CriteriaNode* right = top(0).node;
        auto* node = static_cast<CriteriaNode*>(calloc(1, sizeof(CriteriaNode)));
        if (node == nullptr) {
            error_ = kSyntaxError;
            return Step::kFail;
        }
        node->op = op;
        node->left = left;
        node->right = right;
        left->parent = node;
        right->parent = node;
        size_ -= 3;
        stack_[size_++] = Entry{kExpression, node, nullptr, 0, 0};
        return Step::kReduced;
    }

    Entry first_[kCriteriaStackInitial];
    Entry* stack_ = first_;
    int32_t size_ = 0;
    int32_t capacity_ = kCriteriaStackInitial;
    CriteriaNode* lastTree_ = nullptr;
    const char* error_ = nullptr;
};

} // namespace

CriteriaNode* ParseCriteriaWithError(const char* criteria, const char** error) {
    if (criteria == nullptr) {
        if (error != nullptr)
            *error = kSyntaxError;
        return nullptr;
    }
    Parser parser;
    return parser.parse(criteria, error);
}

CriteriaNode* ParseCriteria(const char* criteria) {
    return ParseCriteriaWithError(criteria, nullptr);
}

void FreeCriteriaTree(CriteriaNode* tree) {
    // Rotates left subtrees up while freeing, so no depth of tree needs a
    // stack of any kind.
    CriteriaNode* n = tree;
    while (n != nullptr) {
        if (n->left != nullptr) {
            CriteriaNode* l = n->left;
            n->left = l->right;
            l->right = n;
            n = l;
        } else {
            CriteriaNode* r = n->right;
            free(n->columnName);
            free(n->literal);
            FreeColumnValue(n->literalValue, n->literalLength, n->columnType);
            free(n);
            n = r;
        }
    }
}
