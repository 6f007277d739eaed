// TRegExpr compiler: error codes with their messages and positions, the shape of
// compiled programs, the start filters and the modifiers.
#include "regex/RegExpr.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Compiles a pattern and returns the error it raised (code 0 and empty text for none).
struct TCompileResult {
    int Code = 0;
    std::string Message;
};

TCompileResult CompileError(const std::string& pattern, int modifiersOff = 0)
{
    TRegExpr r;
    if (modifiersOff)
        r.SetModifier(modifiersOff, false);
    try {
        r.SetExpression(pattern);
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorCode, r.LastErrorCode());
        return {e.ErrorCode, e.what()};
    }
    return {};
}

std::string Dumped(const std::string& pattern, bool caseless = false)
{
    TRegExpr r;
    r.SetModifierI(caseless);
    r.SetExpression(pattern);
    return r.Dump();
}

bool InSet(const std::array<std::uint8_t, 32>& set, unsigned char c)
{
    return (set[c >> 3] >> (c & 7)) & 1;
}

std::string SetChars(const std::array<std::uint8_t, 32>& set)
{
    std::string s;
    for (int c = 1; c < 256; ++c)
        if (InSet(set, static_cast<unsigned char>(c)))
            s += static_cast<char>(c);
    return s;
}

// ---- Compile errors ------------------------------------------------------------

struct TErrorCase {
    const char* Pattern;
    int Code;
    const char* Message;
};

const TErrorCase ErrorCases[] = {
    {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)(m)(n)(o)", 102, "TRegExpr(comp): ParseReg Too Many () (pos 43)"},
    {"(abc", 103, "TRegExpr(comp): ParseReg Unmatched () (pos 4)"},
    {"a(b|c", 103, "TRegExpr(comp): ParseReg Unmatched () (pos 5)"},
    {"abc)", 104, "TRegExpr(comp): ParseReg Unmatched () (pos 3)"},
    {"()*", 106, "TRegExpr(comp): *+ Operand Could Be Empty (pos 2)"},
    {"(a|)+", 106, "TRegExpr(comp): *+ Operand Could Be Empty (pos 4)"},
    {"^*", 106, "TRegExpr(comp): *+ Operand Could Be Empty (pos 1)"},
    {"(?#note){2}", 106, "TRegExpr(comp): *+ Operand Could Be Empty (pos 8)"},
    {"a**", 107, "TRegExpr(comp): Nested *?+ (pos 2)"},
    {"a+?", 107, "TRegExpr(comp): Nested *?+ (pos 2)"},
    {"a{2}*", 107, "TRegExpr(comp): Nested *?+ (pos 4)"},
    {"\\xG1", 108, "TRegExpr(comp): Bad Hex Digit (pos 2)"},
    {"\\x1G", 108, "TRegExpr(comp): Bad Hex Digit (pos 3)"},
    {"[\\xZZ]", 108, "TRegExpr(comp): Bad Hex Digit (pos 3)"},
    {"[z-a]", 109, "TRegExpr(comp): Invalid [] Range (pos 4)"},
    {"[\\xE0-\\xDF]", 109, "TRegExpr(comp): Invalid [] Range (pos 10)"},  // with r off, below
    {"[a\\", 110, "TRegExpr(comp): Parse Atom Trailing \\ (pos 3)"},
    {"[a-\\", 110, "TRegExpr(comp): Parse Atom Trailing \\ (pos 4)"},
    {"\\x", 111, "TRegExpr(comp): No Hex Code After \\x (pos 2)"},
    {"\\x4", 112, "TRegExpr(comp): No Hex Code After \\x (pos 3)"},
    {"[abc", 113, "TRegExpr(comp): Unmatched [] (pos 4)"},
    {"[]", 113, "TRegExpr(comp): Unmatched [] (pos 2)"},
    {"[^]", 113, "TRegExpr(comp): Unmatched [] (pos 3)"},
    {"*a", 115, "TRegExpr(comp): ?+*{ Follows Nothing (pos 1)"},
    {"a|+b", 115, "TRegExpr(comp): ?+*{ Follows Nothing (pos 3)"},
    {"(?b", 127, "TRegExpr(comp): Urecognized Modifier (pos 2)"},
    {"ab\\", 116, "TRegExpr(comp): Trailing \\ (pos 3)"},
    {"a{123456789}", 122, "TRegExpr(comp): BRACES Argument Too Big (pos 11)"},
    {"a{1,123456789}", 122, "TRegExpr(comp): BRACES Argument Too Big (pos 13)"},
    {"a{3,2}", 124, "TRegExpr(comp): BRACE Min Param Greater then Max (pos 6)"},
    {"(?#abc", 125, "TRegExpr(comp): Unclosed (?#Comment) (pos 6)"},
    {"(ab){2}", 126,
     "TRegExpr(comp): If you want take part in beta-testing BRACES '{min,max}' for complex cases - "
     "remove '.' from {.$DEFINE ComplexBraces} (pos 7)"},
    {"ab{2}", 0, ""},  // the run gives up its last character to the braces
    {"(?x)", 127, "TRegExpr(comp): Urecognized Modifier (pos 2)"},
    {"(?i", 127, "TRegExpr(comp): Urecognized Modifier (pos 3)"},
};

TEST(RegExprCompileErrors, CodeMessageAndPosition)
{
    for (const TErrorCase& c : ErrorCases) {
        SCOPED_TRACE(c.Pattern);
        // The 1251 range row needs r off; r on makes it a valid range.
        const bool rOff = std::string(c.Pattern) == "[\\xE0-\\xDF]";
        const TCompileResult got = CompileError(c.Pattern, rOff ? 2 : 0);
        EXPECT_EQ(got.Code, c.Code);
        EXPECT_EQ(got.Message, c.Message);
    }
}

TEST(RegExprCompileErrors, FifteenGroupsTooMany_FourteenFine)
{
    EXPECT_EQ(CompileError("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)(m)(n)").Code, 0);
    EXPECT_EQ(CompileError("((((((((((((((x))))))))))))))").Code, 0);
    EXPECT_EQ(CompileError("(((((((((((((((x)))))))))))))))").Code, 102);
}

TEST(RegExprCompileErrors, ErrorLeavesNoProgramAndPositionIsForgotten)
{
    TRegExpr r;
    r.SetExpression("abc");
    EXPECT_THROW(r.SetExpression("(abc"), ERegExpr);
    EXPECT_EQ(r.LastErrorCode(), 103);
    EXPECT_EQ(r.ErrorPos(), 0);
    EXPECT_TRUE(r.ProgramBytes().empty());
    try {
        r.Exec("abc");
        FAIL() << "Exec without a program must raise";
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorCode, 1003);
        EXPECT_STREQ(e.what(), "TRegExpr(exec): Not Assigned Expression Property");
    }
    // The same text is compiled again, since the program is not compiled.
    EXPECT_THROW(r.SetExpression("(abc"), ERegExpr);
    r.SetExpression("abc");
    EXPECT_TRUE(r.Exec("xabc"));
}

TEST(RegExprCompileErrors, MissingPatternAndBadModifierNumber)
{
    TRegExpr r;
    try {
        r.Compile();
        FAIL();
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorCode, 100);
        EXPECT_STREQ(e.what(), "TRegExpr(comp): Null Argument (pos 0)");
    }
    for (int which : {0, 4, -1}) {
        try {
            r.SetModifier(which, true);
            FAIL();
        } catch (const ERegExpr& e) {
            EXPECT_EQ(e.ErrorCode, 1013);
            EXPECT_STREQ(e.what(), "Unknown error");
        }
    }
    EXPECT_EQ(r.LastErrorCode(), 1013);
    EXPECT_EQ(TRegExpr::ErrorText(0), "No errors");
    EXPECT_EQ(TRegExpr::ErrorText(1014), "TRegExpr(exec): Loop Stack Exceeded");
    EXPECT_EQ(TRegExpr::ErrorText(9999), "Unknown error");
}

TEST(RegExprCompileErrors, EmptyExpressionKeepsTheOldProgramUncompiled)
{
    TRegExpr r;
    r.SetExpression("abc");
    r.SetExpression("");
    EXPECT_EQ(r.Expression(), "");
    try {
        r.Exec("abc");
        FAIL();
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorCode, 1012);
    }
}

// ---- Program shape ---------------------------------------------------------------

TEST(RegExprProgram, ByteLayoutOfOneLiteral)
{
    TRegExpr r;
    r.SetExpression("a");
    const std::string_view p = r.ProgramBytes();
    const std::vector<unsigned char> expected = {
        216,                    // magic
        6, 12, 0, 0, 0,         // BRANCH at 1, next at 13
        8, 7, 0, 0, 0, 'a', 0,  // EXACTLY at 6, next at 13
        0, 0, 0, 0, 0,          // END
    };
    ASSERT_EQ(p.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(static_cast<unsigned char>(p[i]), expected[i]) << "byte " << i;
}

TEST(RegExprProgram, BackLinkIsNegative)
{
    TRegExpr r;
    r.SetExpression("(ab)*");
    EXPECT_EQ(r.Dump(),
              "   1: BRANCH (49)\n"      // top level
              "   6: BRANCH (39)\n"      // loop: x
              "  11: OPEN1 (16)\n"
              "  16: BRANCH (29)\n"
              "  21: EXACTLY (29) \"ab\"\n"
              "  29: CLOSE1 (34)\n"
              "  34: BACK (6)\n"         // back to the loop's branch
              "  39: BRANCH (44)\n"      // or
              "  44: NOTHING (49)\n"     // nothing
              "  49: END (0)\n"
              "StartCharSet [a]\n");
    const std::string_view p = r.ProgramBytes();
    std::int32_t link;
    std::memcpy(&link, p.data() + 35, 4);
    EXPECT_EQ(link, -28);
}

struct TShapeCase {
    const char* Pattern;
    bool Caseless;
    const char* Dump;
};

const TShapeCase ShapeCases[] = {
    // Small sets: three characters, ascending, padded with the largest.
    {"[cab]", false, "   1: BRANCH (14)\n   6: ANYOF3 (14) \"abc\"\n  14: END (0)\nStartCharSet [a-c]\n"},
    {"[ba]", false, "   1: BRANCH (14)\n   6: ANYOF3 (14) \"abb\"\n  14: END (0)\nStartCharSet [ab]\n"},
    {"[^q]", false,
     "   1: BRANCH (14)\n   6: ANYBUT3 (14) \"qqq\"\n  14: END (0)\n"
     "StartCharSet [\\x00-pr-\\xFF]\n"},
    // Large sets are bitmaps; a negated one is stored complemented.
    {"[a-d]", false, "   1: BRANCH (43)\n   6: ANYOFSET (43) [a-d]\n  43: END (0)\nStartCharSet [a-d]\n"},
    {"[^\\x01-\\xFD]", false,
     "   1: BRANCH (43)\n   6: ANYOFSET (43) [\\x00\\xFE\\xFF]\n  43: END (0)\n"
     "StartCharSet [\\x00\\xFE\\xFF]\n"},
    // Case-insensitive sets hold both cases.
    {"[ab]", true, "   1: BRANCH (43)\n   6: ANYOFSET (43) [ABab]\n  43: END (0)\nStartCharSet [ABab]\n"},
    {"x", true, "   1: BRANCH (13)\n   6: EXACTLYCI (13) \"x\"\n  13: END (0)\nStartCharSet [Xx]\n"},
    // Braces go in front of the last character of a run.
    {"ab{2,5}", false,
     "   1: BRANCH (33)\n   6: EXACTLY (13) \"a\"\n  13: BRACES (33) {2,5}\n  26: EXACTLY (0) \"b\"\n"
     "  33: END (0)\nStartChar 'a'\nStartCharSet [a]\n"},
    {"a{3,}", false,
     "   1: BRANCH (26)\n   6: BRACES (26) {3,2147483646}\n  19: EXACTLY (0) \"a\"\n  26: END (0)\n"
     "StartCharSet [a]\n"},
    // A "{" that starts no repetition is literal text of the next run.
    {"a{,3}", false,
     "   1: BRANCH (23)\n   6: EXACTLY (13) \"a\"\n  13: EXACTLY (23) \"{,3}\"\n  23: END (0)\n"
     "StartChar 'a'\nStartCharSet [a]\n"},
    {"x{1,y}", false,
     "   1: BRANCH (24)\n   6: EXACTLY (13) \"x\"\n  13: EXACTLY (24) \"{1,y}\"\n  24: END (0)\n"
     "StartChar 'x'\nStartCharSet [x]\n"},
    // Simple repetitions are counted nodes; "?" always uses branches.
    {"a*b", false,
     "   1: BRANCH (25)\n   6: STAR (18)\n  11: EXACTLY (0) \"a\"\n  18: EXACTLY (25) \"b\"\n  25: END (0)\n"
     "MustString \"b\"\nStartCharSet [ab]\n"},
    {"a?", false,
     "   1: BRANCH (28)\n   6: BRANCH (18)\n  11: EXACTLY (23) \"a\"\n  18: BRANCH (23)\n  23: NOTHING (28)\n"
     "  28: END (0)\nStartCharSet [a]\n"},
    {"\\d+\\D", false,
     "   1: BRANCH (21)\n   6: PLUS (16)\n  11: ANYDIGIT (0)\n  16: NOTDIGIT (21)\n  21: END (0)\n"
     "StartCharSet [0-9]\n"},
    // Anchors and start characters.
    {"^ab", false,
     "   1: BRANCH (19)\n   6: BOL (11)\n  11: EXACTLY (19) \"ab\"\n  19: END (0)\nAnchored\nStartCharSet []\n"},
    {"a|b", false,
     "   1: BRANCH (13)\n   6: EXACTLY (25) \"a\"\n  13: BRANCH (25)\n  18: EXACTLY (25) \"b\"\n  25: END (0)\n"
     "StartCharSet [ab]\n"},
    // Comments and modifier groups leave COMMENT nodes.
    {"(?#c)(?i)a", false,
     "   1: BRANCH (23)\n   6: COMMENT (11)\n  11: COMMENT (16)\n  16: EXACTLYCI (23) \"a\"\n  23: END (0)\n"
     "StartCharSet [Aa]\n"},
};

TEST(RegExprProgram, ShapeOfSetsBracesAndRuns)
{
    for (const TShapeCase& c : ShapeCases) {
        SCOPED_TRACE(c.Pattern);
        EXPECT_EQ(Dumped(c.Pattern, c.Caseless), c.Dump);
    }
}

TEST(RegExprProgram, MustStringIsTheLongestLaterLiteralOfTheMainSequence)
{
    struct {
        const char* Pattern;
        const char* Must;
    } cases[] = {
        {"x*abc", "abc"},
        {"x*ab(c)defg", "defg"},
        {"x*ab.cd", "cd"},        // equal length: the later one
        {"x*(abcdef)g", "g"},     // literals inside groups are not on the main sequence
        {"abc", ""},              // no leading repetition: not sought
        {"x*abc|y", ""},          // two alternatives
        {"(?i)x*abc", ""},        // caseless literals are not used
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Pattern);
        TRegExpr r;
        r.SetExpression(c.Pattern);
        EXPECT_EQ(r.MustString(), c.Must);
    }
}

TEST(RegExprProgram, StartFilters)
{
    struct {
        const char* Pattern;
        char StartChar;
        bool Anchored;
        const char* StartSet;
    } cases[] = {
        {"abc", 'a', false, "a"},
        {"^abc", 0, true, ""},
        {"(abc)", 0, false, "a"},
        {"x*y", 0, false, "xy"},
        {"x+y", 0, false, "x"},
        {"x{0,2}y", 0, false, "xy"},
        {"x{1,2}y", 0, false, "x"},
        {"(a|b*)c", 0, false, "abc"},
        {"(?i)k", 0, false, "Kk"},
        {"[0-2]|z", 0, false, "012z"},
        {"$a", 0, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Pattern);
        TRegExpr r;
        r.SetExpression(c.Pattern);
        EXPECT_EQ(r.StartChar(), c.StartChar);
        EXPECT_EQ(r.Anchored(), c.Anchored);
        EXPECT_EQ(SetChars(r.StartCharSet()), c.StartSet);
    }
}

TEST(RegExprProgram, ListingPatternCompiles)
{
    TRegExpr r;
    r.SetExpression("([dD\\-][rR\\-][wW\\-][xX\\-][rR\\-][wW\\-][xX\\-][rR-][wW\\-][xX\\-])"
                    "\\s*\\S*\\s*\\S*\\s*\\S*\\s*(\\d*)\\s*\\S*\\s*\\S*\\s*\\S*\\s*(\\S*)");
    const std::string dump = r.Dump();
    EXPECT_NE(dump.find("   6: OPEN1"), std::string::npos) << dump;
    // The eighth set, whose "-" stands unescaped before "]", is the same as the others.
    std::size_t count = 0;
    for (std::size_t at = dump.find("ANYOF3"); at != std::string::npos; at = dump.find("ANYOF3", at + 1))
        ++count;
    EXPECT_EQ(count, 10u);
    count = 0;
    for (std::size_t at = dump.find("\"-Rr\""); at != std::string::npos; at = dump.find("\"-Rr\"", at + 1))
        ++count;
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(SetChars(r.StartCharSet()), "-Dd");
    EXPECT_EQ(r.StartChar(), 0);
    EXPECT_FALSE(r.Anchored());
    EXPECT_EQ(r.MustString(), "");
}

// ---- Modifiers -------------------------------------------------------------------

TEST(RegExprModifiers, DefaultsAndLetters)
{
    TRegExpr r;
    EXPECT_FALSE(r.ModifierI());
    EXPECT_TRUE(r.ModifierR());
    EXPECT_TRUE(r.ModifierS());
    EXPECT_EQ(r.Modifiers(), TRegExpr::ModifierRBit | TRegExpr::ModifierSBit);
    r.SetModifier(1, true);
    EXPECT_TRUE(r.Modifier(1));
    EXPECT_FALSE(r.Modifier(7));
}

TEST(RegExprModifiers, ChangingOneRecompiles)
{
    TRegExpr r;
    r.SetExpression("a.b");
    EXPECT_TRUE(r.Exec("a\nb"));  // s is on by default
    EXPECT_NE(r.Dump().find("13: ANY ("), std::string::npos);
    r.SetModifierS(false);
    EXPECT_NE(r.Dump().find("13: ANYBUT3 (21) \"\\x0A\\x0A\\x0A\""), std::string::npos) << r.Dump();
    EXPECT_FALSE(r.Exec("a\nb"));
    EXPECT_TRUE(r.Exec("a-b"));
    r.SetModifierI(true);
    EXPECT_TRUE(r.Exec("A-B"));
    // Setting the same text again keeps the program.
    const char* before = r.ProgramBytes().data();
    r.SetExpression("a.b");
    EXPECT_EQ(r.ProgramBytes().data(), before);
}

TEST(RegExprModifiers, ModifierGroupLastsToTheEndOfItsGroup)
{
    TRegExpr r;
    r.SetExpression("((?i)a)b");
    EXPECT_TRUE(r.Exec("Ab"));
    EXPECT_FALSE(r.Exec("AB"));
    r.SetExpression("(?i)a(?-i)b");
    EXPECT_TRUE(r.Exec("Ab"));
    EXPECT_FALSE(r.Exec("AB"));
    r.SetExpression("(a(?i)b|c)d");  // the change reaches the next alternative too
    EXPECT_TRUE(r.Exec("Cd"));
    EXPECT_FALSE(r.Exec("CD"));
    r.SetExpression("(?-s).");
    EXPECT_FALSE(r.Exec("\n"));
    r.SetExpression("(?I-S)x.");
    EXPECT_TRUE(r.Exec("X!"));
    EXPECT_FALSE(r.Exec("X\n"));
}

}  // namespace
