// TRegExpr, the program's own compile-then-backtrack regular-expression engine over
// 8-bit text, and ERegExpr, the exception it raises for every error.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// An engine error: what() is the full message (for compile errors it ends with
// " (pos N)"), ErrorCode its number and CompilerErrorPos the offset in the pattern.
class ERegExpr : public std::exception {
public:
    // Builds the exception for one error code, its pattern offset and its full message.
    ERegExpr(int code, int pos, std::string message);
    // The full message.
    const char* what() const noexcept override;

    int ErrorCode;
    int CompilerErrorPos;

private:
    std::string FMessage;
};

// A pattern compiled into a compact program of nodes and matched by backtracking.
// Set Expression (compiled at once), then Exec subjects and read the groups or
// ExpandTemplate them. Not thread-safe: one object per thread.
class TRegExpr {
public:
    // Gives the other-case form of a character (or the character itself).
    using TCaseInverter = std::function<char(char)>;

    // Bits of Modifiers().
    static constexpr int ModifierIBit = 1;  // i: case-insensitive
    static constexpr int ModifierRBit = 2;  // r: Cyrillic code-page ranges in sets
    static constexpr int ModifierSBit = 4;  // s: "." also matches LF
    // Group 0 (the whole match) and groups 1 to 14.
    static constexpr int NSubExp = 15;
    // Default bound of the backtracking stack (entries); see SetMaxMatchDepth.
    static constexpr std::size_t DefaultMaxMatchDepth = 1000000;

    // An empty engine: no pattern, modifiers i off, r on, s on, the default sets and
    // case inverter.
    TRegExpr();
    ~TRegExpr();
    TRegExpr(const TRegExpr&) = delete;
    TRegExpr& operator=(const TRegExpr&) = delete;

    // Sets and compiles the pattern; raises ERegExpr on a syntax error (which leaves
    // no program). The same text again does nothing; an empty text leaves no pattern.
    // A NUL in the pattern ends it, as a NUL ends a subject.
    void SetExpression(const std::string& expression);
    // The pattern text last set.
    const std::string& Expression() const;
    // Compiles Expression() again with the current modifiers; error 100 without one.
    void Compile();

    // The modifier bits (ModifierIBit | ModifierRBit | ModifierSBit).
    int Modifiers() const;
    // One modifier by number: 1 = i, 2 = r, 3 = s; false for another number.
    bool Modifier(int which) const;
    // Switches one modifier (1 = i, 2 = r, 3 = s; error 1013 for another number) and
    // recompiles a compiled program whose modifiers then differ.
    void SetModifier(int which, bool on);
    // Modifier i by letter: literals and sets ignore case.
    bool ModifierI() const;
    // Switches modifier i (recompiling as SetModifier does).
    void SetModifierI(bool on);
    // Modifier r by letter: the code page 1251 letter ranges in sets.
    bool ModifierR() const;
    // Switches modifier r (recompiling as SetModifier does).
    void SetModifierR(bool on);
    // Modifier s by letter: "." matches LF too.
    bool ModifierS() const;
    // Switches modifier s (recompiling as SetModifier does).
    void SetModifierS(bool on);

    // Characters of \s; used by the next compilation.
    const std::string& SpaceCharSet() const;
    // Sets the characters of \s for the next compilation.
    void SetSpaceCharSet(const std::string& chars);
    // Characters of \w (no digits by default); used by the next compilation.
    const std::string& WordCharSet() const;
    // Sets the characters of \w for the next compilation.
    void SetWordCharSet(const std::string& chars);
    // The case inverter used for modifier i (sets at compile time, literals when matching).
    const TCaseInverter& CaseInverter() const;
    // Replaces the case inverter (a pure function); an empty one restores the default
    // (ASCII upper case, or lower case for a character that is upper case already).
    void SetCaseInverter(TCaseInverter inverter);

    // Copies the subject and searches it for the leftmost match; true when found.
    // A NUL in the subject ends it. Raises ERegExpr without a usable program, and
    // 1014 when the backtracking stack would outgrow MaxMatchDepth().
    bool Exec(const std::string& subject);
    // Searches InputString() again, starting at the 1-based offset (error 1006 below 1;
    // false beyond its length + 1).
    bool ExecPos(int offset);
    // The copy of the last subject.
    const std::string& InputString() const;

    // Start offset of group n (0 = whole match) in InputString(), -1 when it did not take part.
    std::ptrdiff_t GroupStart(int n) const;
    // End offset (one past the last character) of group n, -1 when it did not take part.
    std::ptrdiff_t GroupEnd(int n) const;
    // Length of group n, -1 when it did not take part.
    std::ptrdiff_t MatchLen(int n) const;
    // Text of group n, empty when it did not take part.
    std::string Match(int n) const;
    // Number of the highest group that took part in the last match, -1 without a match.
    int SubExprMatchCount() const;

    // The template with $n, ${n}, $&, ${&} replaced by the groups of the last match and
    // backslash escapes resolved.
    std::string ExpandTemplate(const std::string& templ);

    // Bound on the backtracking stack (one entry per alternative, repetition count or
    // group boundary being tried); Exec raises error 1014 rather than exceed it.
    std::size_t MaxMatchDepth() const;
    // Sets the bound on the backtracking stack (at least 16).
    void SetMaxMatchDepth(std::size_t depth);
    // Bound on the backtracking work of one Exec (entries pushed plus retries), 0 = none.
    std::uint64_t MatchStepLimit() const;
    // Sets the work bound of one Exec (0 = unbounded, the default); error 1014 past it.
    void SetMatchStepLimit(std::uint64_t steps);

    // Code of the last error raised (0 for none).
    int LastErrorCode() const;
    // Offset of the compiler in the pattern; 0 when not compiling.
    int ErrorPos() const;
    // The message of an error code ("Unknown error" for codes without one).
    static std::string ErrorText(int code);

    // Character every match begins with, 0 for none.
    char StartChar() const;
    // True when the pattern begins with "^": one attempt only.
    bool Anchored() const;
    // A literal every match contains, empty for none.
    std::string MustString() const;
    // Characters a match can begin with: bit c of byte c/8.
    const std::array<std::uint8_t, 32>& StartCharSet() const;
    // The bytes of the compiled program (empty without one).
    std::string_view ProgramBytes() const;
    // A readable listing of the compiled program and its start filters.
    std::string Dump() const;

private:
    // One entry of the backtracking stack: a choice that can still be revisited, or a
    // group boundary to record once the whole match has succeeded.
    struct TMatchFrame {
        const unsigned char* Node;  // branch: alternative being tried; repeat: node after it
        const char* Save;           // subject position when the entry was made
        std::int32_t Count;         // repeat: count being tried; group: group number
        std::int32_t Min;           // repeat: smallest count allowed
        unsigned char Kind;         // one of the frame kinds of the matcher
        char NextCh;                // repeat: first character of a literal that follows, or 0
    };

    [[noreturn]] void Error(int code);
    void ApplyModifiers(int modifiers);
    void BuildInvertTable();
    void CheckProgram();

    // Compiler (RegExprCompiler.cpp).
    unsigned char* ParseReg(bool paren, int& flagp);
    unsigned char* ParseBranch(int& flagp);
    unsigned char* ParsePiece(int& flagp);
    unsigned char* ParseAtom(int& flagp);
    unsigned char* ParseSet(int& flagp);
    unsigned char UnquoteChar();
    std::int32_t ParseBraceCount();
    unsigned char* EmitNode(unsigned char op);
    void EmitC(unsigned char b);
    void EmitInt(std::int32_t v);
    unsigned char* EmitSet(const std::array<std::uint8_t, 32>& members, bool negate);
    void InsertOperator(unsigned char op, unsigned char* opnd, int size);
    void Tail(unsigned char* p, const unsigned char* val);
    void OpTail(unsigned char* p, const unsigned char* val);
    unsigned char* Next(unsigned char* p);
    void FillFirstCharSet(const unsigned char* node);
    void AddNodeChars(const unsigned char* node);

    // Matcher (RegExprMatcher.cpp).
    bool ExecPrim(int offset);
    bool RegTry(const char* at);
    bool MatchPrim(const unsigned char* node, const char*& input);
    std::size_t RegRepeat(const unsigned char* node, std::size_t max, const char*& in);
    void GrowStack();
    std::size_t ExpandPass(const std::string& templ, char* out) const;

    // Group positions in FInputString, null for a group that did not take part.
    const char* FStartP[NSubExp];
    const char* FEndP[NSubExp];
    bool FMatched = false;

    // Start filters worked out at compile time.
    unsigned char FStartChar = 0;
    std::uint8_t FAnchored = 0;
    const unsigned char* FRegMust = nullptr;
    std::size_t FRegMustLen = 0;
    std::array<std::uint8_t, 32> FFirstCharSet{};
    bool FFirstAtBol = false;

    // Compiler state.
    const char* FRegParse = nullptr;
    const char* FRegExpBegin = nullptr;
    int FRegNPar = 0;
    unsigned char* FRegCode = nullptr;
    unsigned char FRegDummy = 0;
    std::size_t FRegSize = 0;
    int FCompModifiers = 0;

    // The compiled program.
    bool FCompiled = false;
    std::unique_ptr<unsigned char[]> FProgram;
    std::size_t FProgramSize = 0;
    int FProgModifiers = 0;
    int FProgGroups = 1;

    std::string FExpression;
    std::string FInputString;
    bool FHasInput = false;
    int FLastErrorCode = 0;
    int FModifiers = 0;
    std::string FSpaceCharSet;
    std::string FWordCharSet;
    TCaseInverter FCaseInverter;
    unsigned char FInvertTable[256];

    // Matcher state.
    const char* FInputStart = nullptr;
    const char* FInputEnd = nullptr;
    static const std::size_t InitialStackEntries;
    std::vector<TMatchFrame> FStack;
    std::size_t FMaxMatchDepth = DefaultMaxMatchDepth;
    std::uint64_t FMatchStepLimit = 0;
    std::uint64_t FSteps = 0;
};
