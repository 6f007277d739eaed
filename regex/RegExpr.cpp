// TRegExpr: object state, modifiers, error reporting, group access, template
// expansion and the program listing. The compiler and matcher have files of their own.
#include "regex/RegExpr.h"

#include "regex/RegExprProgram.h"

#include <cstdio>
#include <cstring>

using namespace regexpr;

namespace {

const char* const DefaultSpaceCharSet = " \t\n\r\f";
const char* const DefaultWordCharSet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_";

// The default inverter: upper case, or lower case for a character already in upper
// case. Only ASCII letters have cases here: the system's text is UTF-8, whose bytes
// above 127 are no characters of their own and must never be changed one by one.
char DefaultInvertCase(char c)
{
    if (c >= 'a' && c <= 'z')
        return static_cast<char>(c - 'a' + 'A');
    if (c >= 'A' && c <= 'Z')
        return static_cast<char>(c - 'A' + 'a');
    return c;
}

}  // namespace

ERegExpr::ERegExpr(int code, int pos, std::string message)
    : ErrorCode(code), CompilerErrorPos(pos), FMessage(std::move(message))
{
}

const char* ERegExpr::what() const noexcept
{
    return FMessage.c_str();
}

TRegExpr::TRegExpr()
    : FModifiers(ModifierRBit | ModifierSBit),
      FSpaceCharSet(DefaultSpaceCharSet),
      FWordCharSet(DefaultWordCharSet)
{
    for (int i = 0; i < NSubExp; ++i)
        FStartP[i] = FEndP[i] = nullptr;
    BuildInvertTable();
    FStack.resize(InitialStackEntries);
}

TRegExpr::~TRegExpr() = default;

void TRegExpr::SetExpression(const std::string& expression)
{
    if (expression == FExpression && FCompiled)
        return;
    FCompiled = false;
    FExpression.clear();
    if (expression.empty())
        return;
    FExpression = expression;
    Compile();
}

const std::string& TRegExpr::Expression() const
{
    return FExpression;
}

int TRegExpr::Modifiers() const
{
    return FModifiers;
}

namespace {

int ModifierBit(int which)
{
    switch (which) {
    case 1: return TRegExpr::ModifierIBit;
    case 2: return TRegExpr::ModifierRBit;
    case 3: return TRegExpr::ModifierSBit;
    default: return 0;
    }
}

}  // namespace

bool TRegExpr::Modifier(int which) const
{
    return (FModifiers & ModifierBit(which)) != 0;
}

void TRegExpr::SetModifier(int which, bool on)
{
    const int bit = ModifierBit(which);
    if (bit == 0)
        Error(1013);
    ApplyModifiers(on ? (FModifiers | bit) : (FModifiers & ~bit));
}

void TRegExpr::ApplyModifiers(int modifiers)
{
    FModifiers = modifiers;
    // The program bakes the modifiers in; a compiled one must follow the change.
    if (FCompiled && FModifiers != FProgModifiers)
        Compile();
}

bool TRegExpr::ModifierI() const { return (FModifiers & ModifierIBit) != 0; }
void TRegExpr::SetModifierI(bool on) { SetModifier(1, on); }
bool TRegExpr::ModifierR() const { return (FModifiers & ModifierRBit) != 0; }
void TRegExpr::SetModifierR(bool on) { SetModifier(2, on); }
bool TRegExpr::ModifierS() const { return (FModifiers & ModifierSBit) != 0; }
void TRegExpr::SetModifierS(bool on) { SetModifier(3, on); }

const std::string& TRegExpr::SpaceCharSet() const { return FSpaceCharSet; }
void TRegExpr::SetSpaceCharSet(const std::string& chars) { FSpaceCharSet = chars; }
const std::string& TRegExpr::WordCharSet() const { return FWordCharSet; }
void TRegExpr::SetWordCharSet(const std::string& chars) { FWordCharSet = chars; }

const TRegExpr::TCaseInverter& TRegExpr::CaseInverter() const
{
    return FCaseInverter;
}

void TRegExpr::SetCaseInverter(TCaseInverter inverter)
{
    FCaseInverter = std::move(inverter);
    BuildInvertTable();
}

void TRegExpr::BuildInvertTable()
{
    // The inverter is asked once per character here, not once per compared
    // character while matching.
    if (!FCaseInverter)
        FCaseInverter = DefaultInvertCase;
    for (int c = 0; c < 256; ++c)
        FInvertTable[c] = static_cast<unsigned char>(FCaseInverter(static_cast<char>(c)));
}

const std::string& TRegExpr::InputString() const
{
    return FInputString;
}

std::ptrdiff_t TRegExpr::GroupStart(int n) const
{
    if (n < 0 || n >= NSubExp || !FStartP[n] || !FEndP[n])
        return -1;
    return FStartP[n] - FInputString.data();
}

std::ptrdiff_t TRegExpr::GroupEnd(int n) const
{
    if (n < 0 || n >= NSubExp || !FStartP[n] || !FEndP[n])
        return -1;
    return FEndP[n] - FInputString.data();
}

std::ptrdiff_t TRegExpr::MatchLen(int n) const
{
    if (GroupStart(n) < 0)
        return -1;
    return FEndP[n] - FStartP[n];
}

std::string TRegExpr::Match(int n) const
{
    if (GroupStart(n) < 0)
        return std::string();
    return std::string(FStartP[n], FEndP[n]);
}

int TRegExpr::SubExprMatchCount() const
{
    if (!FMatched)
        return -1;
    for (int n = NSubExp - 1; n > 0; --n)
        if (FStartP[n] && FEndP[n])
            return n;
    return 0;
}

std::size_t TRegExpr::MaxMatchDepth() const { return FMaxMatchDepth; }
void TRegExpr::SetMaxMatchDepth(std::size_t depth) { FMaxMatchDepth = depth < 16 ? 16 : depth; }
std::uint64_t TRegExpr::MatchStepLimit() const { return FMatchStepLimit; }
void TRegExpr::SetMatchStepLimit(std::uint64_t steps) { FMatchStepLimit = steps; }

int TRegExpr::LastErrorCode() const
{
    return FLastErrorCode;
}

int TRegExpr::ErrorPos() const
{
    if (!FRegExpBegin)
        return 0;
    return static_cast<int>(FRegParse - FRegExpBegin);
}

std::string TRegExpr::ErrorText(int code)
{
    switch (code) {
    case 0: return "No errors";
    case 100: return "TRegExpr(comp): Null Argument";
    case 101: return "TRegExpr(comp): Regexp Too Big";
    case 102: return "TRegExpr(comp): ParseReg Too Many ()";
    case 103:
    case 104: return "TRegExpr(comp): ParseReg Unmatched ()";
    case 105: return "TRegExpr(comp): ParseReg Junk On End";
    case 106: return "TRegExpr(comp): *+ Operand Could Be Empty";
    case 107: return "TRegExpr(comp): Nested *?+";
    case 108: return "TRegExpr(comp): Bad Hex Digit";
    case 109: return "TRegExpr(comp): Invalid [] Range";
    case 110: return "TRegExpr(comp): Parse Atom Trailing \\";
    case 111:
    case 112: return "TRegExpr(comp): No Hex Code After \\x";
    case 113: return "TRegExpr(comp): Unmatched []";
    case 114: return "TRegExpr(comp): Internal Urp";
    case 115: return "TRegExpr(comp): ?+*{ Follows Nothing";
    case 116: return "TRegExpr(comp): Trailing \\";
    case 119: return "TRegExpr(comp): RarseAtom Internal Disaster";
    case 122: return "TRegExpr(comp): BRACES Argument Too Big";
    case 124: return "TRegExpr(comp): BRACE Min Param Greater then Max";
    case 125: return "TRegExpr(comp): Unclosed (?#Comment)";
    case 126:
        return "TRegExpr(comp): If you want take part in beta-testing BRACES '{min,max}' for "
               "complex cases - remove '.' from {.$DEFINE ComplexBraces}";
    case 127: return "TRegExpr(comp): Urecognized Modifier";
    case 1000: return "TRegExpr(exec): RegRepeat Called Inappropriately";
    case 1001: return "TRegExpr(exec): MatchPrim Memory Corruption";
    case 1002: return "TRegExpr(exec): MatchPrim Corrupted Pointers";
    case 1003: return "TRegExpr(exec): Not Assigned Expression Property";
    case 1004: return "TRegExpr(exec): Corrupted Program";
    case 1005: return "TRegExpr(exec): No Inpit String Specified";
    case 1006: return "TRegExpr(exec): Offset Must Be Greater Then 0";
    case 1007: return "TRegExpr(exec): ExecNext Without Exec[Pos]";
    case 1008: return "TRegExpr(exec): GetInputString Without InputString";
    case 1011: return "TRegExpr(dump): Corrupted Opcode";
    case 1012: return "TRegExpr(exec): Exec After Compilation Error";
    case 1014: return "TRegExpr(exec): Loop Stack Exceeded";
    case 1015: return "TRegExpr(exec): Loop Without LoopEntry !";
    default: return "Unknown error";
    }
}

void TRegExpr::Error(int code)
{
    FLastErrorCode = code;
    const int pos = ErrorPos();
    std::string message = ErrorText(code);
    if (code < 1000)
        message += " (pos " + std::to_string(pos) + ")";
    throw ERegExpr(code, pos, std::move(message));
}

void TRegExpr::CheckProgram()
{
    if (!FProgram)
        Error(1003);
    if (FProgram[0] != ProgramMagic)
        Error(1004);
    if (!FCompiled)
        Error(1012);
}

char TRegExpr::StartChar() const
{
    return static_cast<char>(FStartChar);
}

bool TRegExpr::Anchored() const
{
    return FAnchored != 0;
}

std::string TRegExpr::MustString() const
{
    if (!FRegMust)
        return std::string();
    return std::string(reinterpret_cast<const char*>(FRegMust), FRegMustLen);
}

const std::array<std::uint8_t, 32>& TRegExpr::StartCharSet() const
{
    return FFirstCharSet;
}

std::string_view TRegExpr::ProgramBytes() const
{
    if (!FProgram)
        return std::string_view();
    return std::string_view(reinterpret_cast<const char*>(FProgram.get()), FProgramSize);
}

// ---- Template expansion ----------------------------------------------------

std::size_t TRegExpr::ExpandPass(const std::string& templ, char* out) const
{
    // One walk serves both passes: with out null it only adds up the length.
    std::size_t len = 0;
    auto put = [&](const char* s, std::size_t n) {
        if (out)
            std::memcpy(out + len, s, n);
        len += n;
    };
    const char* t = templ.data();
    const std::size_t size = templ.size();
    std::size_t i = 0;
    while (i < size) {
        const char c = t[i++];
        if (c == '\\' && i < size) {
            put(&t[i], 1);
            ++i;
            continue;
        }
        if (c == '$' && i < size) {
            std::size_t j = i;
            long group = -1;
            auto digits = [&]() {
                long n = 0;
                while (j < size && t[j] >= '0' && t[j] <= '9') {
                    if (n < 1000000)  // anything this large names no group
                        n = n * 10 + (t[j] - '0');
                    ++j;
                }
                return n;
            };
            if (t[j] == '&') {
                group = 0;
                ++j;
            } else if (t[j] >= '0' && t[j] <= '9') {
                group = digits();
            } else if (t[j] == '{') {
                ++j;
                if (j < size && t[j] == '&') {
                    group = 0;
                    ++j;
                } else if (j < size && t[j] >= '0' && t[j] <= '9') {
                    group = digits();
                }
                if (group >= 0 && j < size && t[j] == '}')
                    ++j;
                else
                    group = -1;
            }
            if (group >= 0) {
                if (group < NSubExp && FStartP[group] && FEndP[group])
                    put(FStartP[group], static_cast<std::size_t>(FEndP[group] - FStartP[group]));
                i = j;
                continue;
            }
        }
        put(&c, 1);
    }
    return len;
}

std::string TRegExpr::ExpandTemplate(const std::string& templ)
{
    CheckProgram();
    if (!FHasInput)
        Error(1005);
    if (templ.empty())
        return std::string();
    const std::size_t len = ExpandPass(templ, nullptr);
    if (len == 0)
        return std::string();
    std::string result(len, '\0');
    ExpandPass(templ, result.data());
    return result;
}

// ---- Program listing -------------------------------------------------------

namespace {

const char* OpName(unsigned char op)
{
    switch (op) {
    case opEnd: return "END";
    case opBol: return "BOL";
    case opEol: return "EOL";
    case opAny: return "ANY";
    case opBranch: return "BRANCH";
    case opBack: return "BACK";
    case opExactly: return "EXACTLY";
    case opNothing: return "NOTHING";
    case opStar: return "STAR";
    case opPlus: return "PLUS";
    case opAnyDigit: return "ANYDIGIT";
    case opNotDigit: return "NOTDIGIT";
    case opBraces: return "BRACES";
    case opComment: return "COMMENT";
    case opExactlyCI: return "EXACTLYCI";
    case opAnyOf3: return "ANYOF3";
    case opAnyBut3: return "ANYBUT3";
    case opAnyOfSet: return "ANYOFSET";
    default: return nullptr;
    }
}

// One character as Dump shows it inside quotes or brackets.
std::string DumpChar(unsigned char c, const char* special)
{
    if (c < 0x20 || c >= 0x7f || c == '\\' || std::strchr(special, c)) {
        if (c >= 0x20 && c < 0x7f)
            return std::string("\\") + static_cast<char>(c);
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02X", c);
        return buf;
    }
    return std::string(1, static_cast<char>(c));
}

std::string DumpSet(const unsigned char* bits)
{
    std::string s = "[";
    for (int c = 0; c < 256;) {
        if (!SetHas(bits, static_cast<unsigned char>(c))) {
            ++c;
            continue;
        }
        int e = c;
        while (e + 1 < 256 && SetHas(bits, static_cast<unsigned char>(e + 1)))
            ++e;
        s += DumpChar(static_cast<unsigned char>(c), "]-^");
        if (e > c) {
            if (e > c + 1)
                s += '-';
            s += DumpChar(static_cast<unsigned char>(e), "]-^");
        }
        c = e + 1;
    }
    return s + "]";
}

}  // namespace

std::string TRegExpr::Dump() const
{
    if (!FProgram)
        return "(no program)\n";
    const unsigned char* prog = FProgram.get();
    const unsigned char* end = prog + FProgramSize;
    std::string out;
    char buf[64];
    // The nodes lie one after another, operands of repetitions included.
    for (const unsigned char* s = prog + 1; s < end;) {
        const unsigned char op = s[0];
        const unsigned char* next = NextNode(s);
        std::string name;
        if (const char* n = OpName(op))
            name = n;
        else if (op > opOpen && op < opOpen + NSubExp)
            name = "OPEN" + std::to_string(op - opOpen);
        else if (op > opClose && op < opClose + NSubExp)
            name = "CLOSE" + std::to_string(op - opClose);
        else
            name = "?" + std::to_string(op);
        std::snprintf(buf, sizeof buf, "%4ld: ", static_cast<long>(s - prog));
        out += buf;
        out += name;
        out += " (" + std::to_string(next ? static_cast<long>(next - prog) : 0L) + ")";
        const unsigned char* opnd = Operand(s);
        s = opnd;
        switch (op) {
        case opExactly:
        case opExactlyCI: {
            out += " \"";
            for (; *s; ++s)
                out += DumpChar(*s, "\"");
            out += '"';
            ++s;
            break;
        }
        case opAnyOf3:
        case opAnyBut3:
            out += " \"" + DumpChar(s[0], "\"") + DumpChar(s[1], "\"") + DumpChar(s[2], "\"") + '"';
            s += 3;
            break;
        case opAnyOfSet:
            out += " " + DumpSet(s);
            s += 32;
            break;
        case opBraces:
            out += " {" + std::to_string(ReadInt32(s)) + "," + std::to_string(ReadInt32(s + 4)) + "}";
            s += BracesCountsSize;
            break;
        default:
            break;
        }
        out += '\n';
    }
    if (FAnchored)
        out += "Anchored\n";
    if (FStartChar)
        out += "StartChar '" + DumpChar(FStartChar, "'") + "'\n";
    if (FRegMust) {
        out += "MustString \"";
        for (std::size_t i = 0; i < FRegMustLen; ++i)
            out += DumpChar(FRegMust[i], "\"");
        out += "\"\n";
    }
    out += "StartCharSet " + DumpSet(FFirstCharSet.data()) + "\n";
    return out;
}
