// TRegExpr's compiler: a recursive-descent parser that emits the program twice,
// first only measuring it, then into one block of exactly the measured size.
#include "regex/RegExpr.h"

#include "regex/RegExprProgram.h"

#include <cstring>

using namespace regexpr;

namespace {

// Flags every parsing step returns.
constexpr int HasWidth = 1;  // cannot match the empty string
constexpr int Simple = 2;    // always matches exactly one character
constexpr int SpStart = 4;   // begins with a repetition

const char* const MetaChars = "^$.[()|?+*\\{";

bool IsQuantifier(char c)
{
    return c == '*' || c == '+' || c == '?' || c == '{';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

using TCharSet = std::array<std::uint8_t, 32>;

void SetAdd(TCharSet& set, unsigned char c)
{
    set[c >> 3] |= static_cast<std::uint8_t>(1u << (c & 7));
}

void SetAddRange(TCharSet& set, int from, int to)
{
    for (int c = from; c <= to; ++c)
        SetAdd(set, static_cast<unsigned char>(c));
}

void SetAddChars(TCharSet& set, const std::string& chars)
{
    for (unsigned char c : chars)
        SetAdd(set, c);
}

}  // namespace

void TRegExpr::Compile()
{
    FCompiled = false;
    FProgram.reset();
    FProgramSize = 0;
    FStartChar = 0;
    FAnchored = 0;
    FRegMust = nullptr;
    FRegMustLen = 0;
    FFirstCharSet = {};
    FFirstAtBol = false;

    // Error positions count from the pattern start while, and only while, compiling.
    struct TForgetPattern {
        TRegExpr* R;
        ~TForgetPattern()
        {
            R->FRegExpBegin = nullptr;
            R->FRegParse = nullptr;
            R->FRegCode = nullptr;
        }
    } forget{this};
    const char* begin = FExpression.c_str();
    FRegExpBegin = begin;
    FRegParse = begin;
    if (FExpression.empty())
        Error(100);

    FProgModifiers = FModifiers;
    int flags = 0;
    for (int pass = 1; pass <= 2; ++pass) {
        if (pass == 1) {
            FRegCode = &FRegDummy;
            FRegSize = 0;
        } else {
            FProgram.reset(new unsigned char[FRegSize]);
            FProgramSize = FRegSize;
            FRegCode = FProgram.get();
        }
        FCompModifiers = FModifiers;
        FRegParse = begin;
        FRegNPar = 1;
        EmitC(ProgramMagic);
        ParseReg(false, flags);
    }
    if (static_cast<std::size_t>(FRegCode - FProgram.get()) != FProgramSize)
        Error(114);
    FProgGroups = FRegNPar;

    const unsigned char* prog = FProgram.get();
    FillFirstCharSet(prog + 1);

    // With one top-level alternative, its first node may give a start character or
    // an anchor, and its main sequence the literal every match must hold.
    const unsigned char* scan = prog + 1;
    const unsigned char* next = NextNode(scan);
    if (next && next[0] == opEnd) {
        scan = Operand(scan);
        if (scan[0] == opExactly)
            FStartChar = Operand(scan)[0];
        else if (scan[0] == opBol)
            ++FAnchored;
        if (flags & SpStart) {
            const unsigned char* longest = nullptr;
            std::size_t len = 0;
            for (; scan; scan = NextNode(scan)) {
                if (scan[0] != opExactly)
                    continue;
                const std::size_t l = std::strlen(reinterpret_cast<const char*>(Operand(scan)));
                if (l >= len) {
                    longest = Operand(scan);
                    len = l;
                }
            }
            FRegMust = longest;
            FRegMustLen = len;
        }
    }
    FCompiled = true;
}

// ---- Emitting ---------------------------------------------------------------

unsigned char* TRegExpr::EmitNode(unsigned char op)
{
    unsigned char* ret = FRegCode;
    if (ret == &FRegDummy) {
        FRegSize += NodeHeaderSize;
        return ret;
    }
    if (static_cast<std::size_t>(FRegCode - FProgram.get()) + NodeHeaderSize > FProgramSize)
        Error(114);
    ret[0] = op;
    WriteInt32(ret + 1, 0);
    FRegCode += NodeHeaderSize;
    return ret;
}

void TRegExpr::EmitC(unsigned char b)
{
    if (FRegCode == &FRegDummy) {
        ++FRegSize;
        return;
    }
    if (static_cast<std::size_t>(FRegCode - FProgram.get()) + 1 > FProgramSize)
        Error(114);
    *FRegCode++ = b;
}

void TRegExpr::EmitInt(std::int32_t v)
{
    unsigned char bytes[4];
    WriteInt32(bytes, v);
    for (unsigned char b : bytes)
        EmitC(b);
}

void TRegExpr::InsertOperator(unsigned char op, unsigned char* opnd, int size)
{
    if (FRegCode == &FRegDummy) {
        FRegSize += static_cast<std::size_t>(size);
        return;
    }
    if (static_cast<std::size_t>(FRegCode - FProgram.get()) + static_cast<std::size_t>(size) > FProgramSize)
        Error(114);
    // Links are relative, so the operand moves as a block without fixing anything.
    std::memmove(opnd + size, opnd, static_cast<std::size_t>(FRegCode - opnd));
    FRegCode += size;
    opnd[0] = op;
    WriteInt32(opnd + 1, 0);
    std::memset(opnd + NodeHeaderSize, 0, static_cast<std::size_t>(size - NodeHeaderSize));
}

unsigned char* TRegExpr::Next(unsigned char* p)
{
    if (p == &FRegDummy)
        return nullptr;
    return const_cast<unsigned char*>(NextNode(p));
}

void TRegExpr::Tail(unsigned char* p, const unsigned char* val)
{
    if (p == &FRegDummy)
        return;
    unsigned char* scan = p;
    for (unsigned char* t = Next(scan); t; t = Next(scan))
        scan = t;
    WriteInt32(scan + 1, static_cast<std::int32_t>(val - scan));
}

void TRegExpr::OpTail(unsigned char* p, const unsigned char* val)
{
    // Only a branch has an operand chain to lengthen.
    if (p == &FRegDummy || p[0] != opBranch)
        return;
    Tail(p + NodeHeaderSize, val);
}

unsigned char* TRegExpr::EmitSet(const std::array<std::uint8_t, 32>& members, bool negate)
{
    unsigned char chars[3] = {0, 0, 0};
    int count = 0;
    for (int c = 0; c < 256 && count <= 3; ++c) {
        if (!SetHas(members.data(), static_cast<unsigned char>(c)))
            continue;
        if (count < 3)
            chars[count] = static_cast<unsigned char>(c);
        ++count;
    }
    unsigned char* ret;
    if (count <= 3) {
        // Padding repeats the largest member. An empty set keeps three NULs, which
        // match nothing, since the end of the subject never matches a character.
        for (int i = count; i < 3 && count > 0; ++i)
            chars[i] = chars[count - 1];
        ret = EmitNode(negate ? opAnyBut3 : opAnyOf3);
        for (unsigned char c : chars)
            EmitC(c);
    } else {
        ret = EmitNode(opAnyOfSet);
        for (std::uint8_t byte : members)
            EmitC(static_cast<unsigned char>(negate ? ~byte : byte));
    }
    return ret;
}

// ---- Parsing ----------------------------------------------------------------

unsigned char* TRegExpr::ParseReg(bool paren, int& flagp)
{
    const int savedModifiers = FCompModifiers;
    flagp = HasWidth;
    unsigned char* ret = nullptr;
    int parno = 0;
    if (paren) {
        if (FRegNPar >= NSubExp)
            Error(102);
        parno = FRegNPar++;
        ret = EmitNode(static_cast<unsigned char>(opOpen + parno));
    }

    int flags = 0;
    unsigned char* br = ParseBranch(flags);
    if (ret)
        Tail(ret, br);
    else
        ret = br;
    if (!(flags & HasWidth))
        flagp &= ~HasWidth;
    flagp |= flags & SpStart;
    while (*FRegParse == '|') {
        ++FRegParse;
        unsigned char* previous = br;
        br = ParseBranch(flags);
        // Linking from the previous branch, not from the first, keeps a long list of
        // alternatives linear to compile.
        Tail(previous, br);
        if (!(flags & HasWidth))
            flagp &= ~HasWidth;
        flagp |= flags & SpStart;
    }

    unsigned char* ender = EmitNode(static_cast<unsigned char>(paren ? opClose + parno : opEnd));
    Tail(ret, ender);
    for (unsigned char* b = ret; b; b = Next(b))
        OpTail(b, ender);

    if (paren) {
        if (*FRegParse != ')')
            Error(103);
        ++FRegParse;
    } else if (*FRegParse != '\0') {
        Error(*FRegParse == ')' ? 104 : 105);
    }
    FCompModifiers = savedModifiers;
    return ret;
}

unsigned char* TRegExpr::ParseBranch(int& flagp)
{
    flagp = 0;
    unsigned char* ret = EmitNode(opBranch);
    unsigned char* chain = nullptr;
    while (*FRegParse != '\0' && *FRegParse != '|' && *FRegParse != ')') {
        int flags = 0;
        unsigned char* latest = ParsePiece(flags);
        flagp |= flags & HasWidth;
        if (!chain)
            flagp |= flags & SpStart;
        else
            Tail(chain, latest);
        chain = latest;
    }
    if (!chain)
        EmitNode(opNothing);
    return ret;
}

std::int32_t TRegExpr::ParseBraceCount()
{
    const char* start = FRegParse;
    while (IsDigit(*FRegParse))
        ++FRegParse;
    if (FRegParse - start > 8)
        Error(122);
    std::int32_t v = 0;
    for (const char* p = start; p < FRegParse; ++p)
        v = v * 10 + (*p - '0');
    return v;
}

unsigned char* TRegExpr::ParsePiece(int& flagp)
{
    int flags = 0;
    unsigned char* ret = ParseAtom(flags);
    const char op = *FRegParse;
    if (!IsQuantifier(op)) {
        flagp = flags;
        return ret;
    }
    if (!(flags & HasWidth) && op != '?')
        Error(106);

    switch (op) {
    case '*':
        flagp = SpStart;
        if (flags & Simple) {
            InsertOperator(opStar, ret, NodeHeaderSize);
        } else {
            // x* as (x&|), & looping back to the branch.
            InsertOperator(opBranch, ret, NodeHeaderSize);
            OpTail(ret, EmitNode(opBack));
            OpTail(ret, ret);
            Tail(ret, EmitNode(opBranch));
            Tail(ret, EmitNode(opNothing));
        }
        ++FRegParse;
        break;
    case '+':
        flagp = HasWidth | SpStart;
        if (flags & Simple) {
            InsertOperator(opPlus, ret, NodeHeaderSize);
        } else {
            // x+ as x(&|), & looping back to x.
            unsigned char* next = EmitNode(opBranch);
            Tail(ret, next);
            Tail(EmitNode(opBack), ret);
            Tail(next, EmitNode(opBranch));
            Tail(ret, EmitNode(opNothing));
        }
        ++FRegParse;
        break;
    case '?': {
        flagp = 0;
        // x? as (x|).
        InsertOperator(opBranch, ret, NodeHeaderSize);
        Tail(ret, EmitNode(opBranch));
        unsigned char* next = EmitNode(opNothing);
        Tail(ret, next);
        OpTail(ret, next);
        ++FRegParse;
        break;
    }
    case '{': {
        // Only "{digits}", "{digits,}" and "{digits,digits}" repeat; any other "{" is
        // left where it is, to be read as literal text by the next atom.
        const char* brace = FRegParse;
        const char* p = brace + 1;
        while (IsDigit(*p))
            ++p;
        if (p == brace + 1 || (*p != '}' && *p != ',')) {
            flagp = flags;
            return ret;
        }
        FRegParse = brace + 1;
        const std::int32_t bmin = ParseBraceCount();
        std::int32_t bmax = bmin;
        if (*FRegParse == ',') {
            ++FRegParse;
            bmax = IsDigit(*FRegParse) ? ParseBraceCount() : BracesInfinite;
        }
        if (*FRegParse != '}') {
            FRegParse = brace;
            flagp = flags;
            return ret;
        }
        ++FRegParse;
        if (bmax < bmin)
            Error(124);
        flagp = bmin > 0 ? (HasWidth | SpStart) : SpStart;
        if (!(flags & Simple))
            Error(126);
        InsertOperator(opBraces, ret, NodeHeaderSize + BracesCountsSize);
        if (ret != &FRegDummy) {
            WriteInt32(ret + NodeHeaderSize, bmin);
            WriteInt32(ret + NodeHeaderSize + 4, bmax);
        }
        break;
    }
    }
    if (IsQuantifier(*FRegParse))
        Error(107);
    return ret;
}

unsigned char TRegExpr::UnquoteChar()
{
    const char c = *FRegParse++;
    switch (c) {
    case 't': return 9;
    case 'n': return 10;
    case 'r': return 13;
    case 'f': return 12;
    case 'a': return 7;
    case 'e': return 27;
    case 'x': {
        int value = 0;
        for (int i = 0; i < 2; ++i) {
            if (*FRegParse == '\0')
                Error(i == 0 ? 111 : 112);
            const int digit = HexValue(*FRegParse);
            if (digit < 0)
                Error(108);
            value = value * 16 + digit;
            ++FRegParse;
        }
        return static_cast<unsigned char>(value);
    }
    default:
        return static_cast<unsigned char>(c);
    }
}

unsigned char* TRegExpr::ParseSet(int& flagp)
{
    TCharSet members{};
    auto addClass = [&](char kind) {
        if (kind == 'd')
            SetAddRange(members, '0', '9');
        else if (kind == 's')
            SetAddChars(members, FSpaceCharSet);
        else
            SetAddChars(members, FWordCharSet);
    };
    const bool cyrillic = (FCompModifiers & ModifierRBit) != 0;

    bool negate = false;
    if (*FRegParse == '^') {
        negate = true;
        ++FRegParse;
    }
    bool first = true;
    for (;;) {
        const char c = *FRegParse;
        if (c == '\0')
            Error(113);
        if (c == ']' && !first) {
            ++FRegParse;
            break;
        }
        first = false;

        unsigned char lo;
        if (c == '\\') {
            ++FRegParse;
            const char e = *FRegParse;
            if (e == '\0')
                Error(110);
            if (e == 'd' || e == 's' || e == 'w') {
                addClass(e);
                ++FRegParse;
                continue;
            }
            // \D, \S and \W, like any other escape, stand for their letter here.
            lo = UnquoteChar();
        } else {
            lo = static_cast<unsigned char>(c);
            ++FRegParse;
        }

        // A "-" before "]" is a member; before a class escape it separates.
        if (FRegParse[0] != '-' || FRegParse[1] == ']' || FRegParse[1] == '\0') {
            SetAdd(members, lo);
            continue;
        }
        if (FRegParse[1] == '\\' && FRegParse[2] != '\0' && std::strchr("dDsSwW", FRegParse[2])) {
            SetAdd(members, lo);
            SetAdd(members, '-');
            ++FRegParse;
            continue;
        }
        ++FRegParse;
        unsigned char hi;
        if (*FRegParse == '\\') {
            ++FRegParse;
            if (*FRegParse == '\0')
                Error(110);
            hi = UnquoteChar();
        } else {
            hi = static_cast<unsigned char>(*FRegParse++);
        }
        // Code page 1251: small letters 224..255 plus 184, capitals 192..223 plus 168.
        if (cyrillic && lo == 224 && hi == 255) {
            SetAddRange(members, 224, 255);
            SetAdd(members, 184);
        } else if (cyrillic && lo == 192 && hi == 223) {
            SetAddRange(members, 192, 223);
            SetAdd(members, 168);
        } else if (cyrillic && lo == 224 && hi == 223) {
            SetAddRange(members, 192, 255);
            SetAdd(members, 168);
            SetAdd(members, 184);
        } else {
            if (hi < lo)
                Error(109);
            SetAddRange(members, lo, hi);
        }
    }

    if (FCompModifiers & ModifierIBit) {
        const TCharSet written = members;
        for (int c = 0; c < 256; ++c)
            if (SetHas(written.data(), static_cast<unsigned char>(c)))
                SetAdd(members, FInvertTable[c]);
    }
    flagp = HasWidth | Simple;
    return EmitSet(members, negate);
}

unsigned char* TRegExpr::ParseAtom(int& flagp)
{
    flagp = 0;
    const bool caseless = (FCompModifiers & ModifierIBit) != 0;
    unsigned char* ret = nullptr;
    const char c = *FRegParse;
    if (c == '\0' || c == '|' || c == ')')
        Error(114);
    ++FRegParse;
    switch (c) {
    case '^':
        ret = EmitNode(opBol);
        break;
    case '$':
        ret = EmitNode(opEol);
        break;
    case '.':
        if (FCompModifiers & ModifierSBit) {
            ret = EmitNode(opAny);
        } else {
            TCharSet lf{};
            SetAdd(lf, '\n');
            ret = EmitSet(lf, true);
        }
        flagp = HasWidth | Simple;
        break;
    case '[':
        ret = ParseSet(flagp);
        break;
    case '(':
        if (*FRegParse == '?' && FRegParse[1] == '#') {
            FRegParse += 2;
            while (*FRegParse != '\0' && *FRegParse != ')')
                ++FRegParse;
            if (*FRegParse == '\0')
                Error(125);
            ++FRegParse;
            ret = EmitNode(opComment);
        } else if (*FRegParse == '?') {
            ++FRegParse;
            int modifiers = FCompModifiers;
            bool off = false;
            while (*FRegParse != ')') {
                int bit = 0;
                switch (*FRegParse) {
                case 'i': case 'I': bit = ModifierIBit; break;
                case 'r': case 'R': bit = ModifierRBit; break;
                case 's': case 'S': bit = ModifierSBit; break;
                case '-': off = true; break;
                default: Error(127);
                }
                modifiers = off ? (modifiers & ~bit) : (modifiers | bit);
                ++FRegParse;
            }
            ++FRegParse;
            // Lasts until the enclosing ParseReg restores the modifiers it began with.
            FCompModifiers = modifiers;
            ret = EmitNode(opComment);
        } else {
            int flags = 0;
            ret = ParseReg(true, flags);
            flagp |= flags & (HasWidth | SpStart);
        }
        break;
    case '?':
    case '+':
    case '*':
        Error(115);
    case '\\': {
        const char e = *FRegParse;
        if (e == '\0')
            Error(116);
        switch (e) {
        case 'd':
            ret = EmitNode(opAnyDigit);
            ++FRegParse;
            break;
        case 'D':
            ret = EmitNode(opNotDigit);
            ++FRegParse;
            break;
        case 's':
        case 'S':
        case 'w':
        case 'W': {
            TCharSet members{};
            SetAddChars(members, (e == 's' || e == 'S') ? FSpaceCharSet : FWordCharSet);
            ret = EmitSet(members, e == 'S' || e == 'W');
            ++FRegParse;
            break;
        }
        default: {
            const unsigned char ch = UnquoteChar();
            if (ch == 0) {
                // A string node cannot hold a NUL, and no subject character is one:
                // a one-member set of NUL keeps the width and matches nothing.
                TCharSet nul{};
                SetAdd(nul, 0);
                ret = EmitSet(nul, false);
            } else {
                ret = EmitNode(caseless ? opExactlyCI : opExactly);
                EmitC(ch);
                EmitC(0);
            }
            break;
        }
        }
        flagp = HasWidth | Simple;
        break;
    }
    default: {
        // A literal run up to the next metacharacter; a leading "{" belongs to it.
        --FRegParse;
        std::size_t len = *FRegParse == '{' ? 1 + std::strcspn(FRegParse + 1, MetaChars)
                                            : std::strcspn(FRegParse, MetaChars);
        if (len == 0)
            Error(119);
        // A quantifier that follows applies to the last character alone.
        if (len > 1 && IsQuantifier(FRegParse[len]))
            --len;
        flagp = HasWidth | (len == 1 ? Simple : 0);
        ret = EmitNode(caseless ? opExactlyCI : opExactly);
        for (; len > 0; --len)
            EmitC(static_cast<unsigned char>(*FRegParse++));
        EmitC(0);
        break;
    }
    }
    return ret;
}

// ---- Start characters ---------------------------------------------------------

void TRegExpr::AddNodeChars(const unsigned char* node)
{
    FillFirstCharSet(node);
}

void TRegExpr::FillFirstCharSet(const unsigned char* node)
{
    TCharSet& set = FFirstCharSet;
    while (node) {
        const unsigned char* next = NextNode(node);
        const unsigned char* opnd = Operand(node);
        const unsigned char op = node[0];
        switch (op) {
        case opEnd:
        case opEol:
            return;
        case opBol:
            // The subject's first position can begin a match whatever it holds.
            FFirstAtBol = true;
            return;
        case opAny:
            set.fill(0xFF);
            return;
        case opExactly:
            SetAdd(set, opnd[0]);
            return;
        case opExactlyCI:
            SetAdd(set, opnd[0]);
            SetAdd(set, FInvertTable[opnd[0]]);
            return;
        case opAnyDigit:
            SetAddRange(set, '0', '9');
            return;
        case opNotDigit:
            SetAddRange(set, 0, '0' - 1);
            SetAddRange(set, '9' + 1, 255);
            return;
        case opAnyOf3:
            SetAdd(set, opnd[0]);
            SetAdd(set, opnd[1]);
            SetAdd(set, opnd[2]);
            return;
        case opAnyBut3:
            for (int c = 0; c < 256; ++c)
                if (c != opnd[0] && c != opnd[1] && c != opnd[2])
                    SetAdd(set, static_cast<unsigned char>(c));
            return;
        case opAnyOfSet:
            for (int i = 0; i < 32; ++i)
                set[i] |= opnd[i];
            return;
        case opBack:
        case opNothing:
        case opComment:
            node = next;
            break;
        case opBranch:
            if (next && next[0] == opBranch) {
                for (const unsigned char* b = node; b && b[0] == opBranch; b = NextNode(b))
                    FillFirstCharSet(Operand(b));
                return;
            }
            node = opnd;
            break;
        case opStar:
            AddNodeChars(RepeatedNode(node));
            node = next;
            break;
        case opPlus:
            AddNodeChars(RepeatedNode(node));
            return;
        case opBraces:
            AddNodeChars(RepeatedNode(node));
            if (ReadInt32(opnd) > 0)
                return;
            node = next;
            break;
        default:
            if ((op > opOpen && op < opOpen + NSubExp) || (op > opClose && op < opClose + NSubExp)) {
                node = next;
                break;
            }
            return;
        }
    }
}
