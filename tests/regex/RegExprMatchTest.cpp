// TRegExpr matcher: search and backtracking, groups, anchors, sets and case,
// templates, the remote listing pattern, the bound on backtracking and former bugs.
#include "regex/RegExpr.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char* const ListingPattern =
    "([dD\\-][rR\\-][wW\\-][xX\\-][rR\\-][wW\\-][xX\\-][rR-][wW\\-][xX\\-])"
    "\\s*\\S*\\s*\\S*\\s*\\S*\\s*"
    "(\\d*)"
    "\\s*\\S*\\s*\\S*\\s*\\S*\\s*"
    "(\\S*)";

// One search: pattern, subject, whether it matches, the whole match and group 1
// ("-" when group 1 did not take part).
struct TMatchCase {
    const char* Pattern;
    std::string Subject;
    bool Matches;
    const char* Whole;
    const char* Group1;
};

void RunCases(const TMatchCase* cases, std::size_t n, int modifierOff = 0, bool caseless = false)
{
    for (std::size_t i = 0; i < n; ++i) {
        const TMatchCase& c = cases[i];
        SCOPED_TRACE(std::string(c.Pattern) + " on \"" + c.Subject + "\"");
        TRegExpr r;
        if (modifierOff)
            r.SetModifier(modifierOff, false);
        r.SetModifierI(caseless);
        r.SetExpression(c.Pattern);
        ASSERT_EQ(r.Exec(c.Subject), c.Matches);
        if (!c.Matches) {
            EXPECT_EQ(r.SubExprMatchCount(), -1);
            EXPECT_EQ(r.GroupStart(0), -1);
            continue;
        }
        EXPECT_EQ(r.Match(0), c.Whole);
        if (std::string(c.Group1) == "-")
            EXPECT_EQ(r.GroupStart(1), -1);
        else
            EXPECT_EQ(r.Match(1), c.Group1);
    }
}

// ---- Greedy repetition and backtracking ---------------------------------------

const TMatchCase Backtracking[] = {
    {"a*b", "xaaab", true, "aaab", "-"},
    {"a*ab", "aaab", true, "aaab", "-"},              // gives back one "a"
    {"(a|ab)c", "abc", true, "abc", "ab"},            // second alternative after the first fails
    {"(a*)(a)", "aaa", true, "aaa", "aa"},
    {"x(a|b)*c", "xababc", true, "xababc", "b"},      // the last pass through the loop is kept
    {"(a)+b", "aaab", true, "aaab", "a"},
    {"((a)|(b))+", "ab", true, "ab", "b"},
    {"(ab)+c", "ababab", false, "", ""},
    {"a{2,3}", "aaaa", true, "aaa", "-"},
    {"a{2}", "xa", false, "", ""},
    {"x{2,}y", "xxxxxy", true, "xxxxxy", "-"},
    {"a{0}b", "aab", true, "b", "-"},
    {"[ab]{1,2}b", "abb", true, "abb", "-"},
    {"b+", "abbb", true, "bbb", "-"},                 // leftmost, then longest
    {"a(|b)c", "ac", true, "ac", ""},                 // empty alternative
    {"a(|b)c", "abc", true, "abc", "b"},
    {"a|b|c", "zzc", true, "c", "-"},
    {"(a|b)?c", "c", true, "c", "-"},
    {"\\d+\\.\\d+", "v 10.25.", true, "10.25", "-"},
    {".*x", "abxcdxe", true, "abxcdx", "-"},
    {"(.*)(\\d+)", "ab123", true, "ab123", "ab12"},
    {"x*", "", false, "", ""},                         // never tried on an empty subject
    {"(a+)+b", "aaaaaaaaaaaaaaaab", true, "aaaaaaaaaaaaaaaab", "aaaaaaaaaaaaaaaa"},
};

TEST(RegExprMatch, GreedyAndBacktracking)
{
    RunCases(Backtracking, std::size(Backtracking));
}

TEST(RegExprMatch, GroupPositionsAndCounts)
{
    TRegExpr r;
    r.SetExpression("(a)|(b)(c)?");
    ASSERT_TRUE(r.Exec("xxb"));
    EXPECT_EQ(r.GroupStart(0), 2);
    EXPECT_EQ(r.GroupEnd(0), 3);
    EXPECT_EQ(r.GroupStart(1), -1);
    EXPECT_EQ(r.MatchLen(1), -1);
    EXPECT_EQ(r.Match(2), "b");
    EXPECT_EQ(r.GroupStart(3), -1);
    EXPECT_EQ(r.SubExprMatchCount(), 2);
    EXPECT_EQ(r.GroupStart(15), -1);
    EXPECT_EQ(r.GroupStart(-1), -1);
    // A new search clears what the last one found.
    ASSERT_TRUE(r.Exec("a"));
    EXPECT_EQ(r.GroupStart(2), -1);
    EXPECT_EQ(r.SubExprMatchCount(), 1);
    EXPECT_FALSE(r.Exec("zzz"));
    EXPECT_EQ(r.GroupStart(1), -1);
}

// ---- Anchors, line breaks and the end of the subject -------------------------------

const TMatchCase Anchors[] = {
    {"^abc", "xabc", false, "", ""},
    {"^abc", "abcx", true, "abc", "-"},
    {"^b", "a\nb", false, "", ""},                     // no line starts inside the subject
    {"a$", "a\nb", false, "", ""},
    {"abc$", "abc\n", false, "", ""},
    {"b$", "a\nb", true, "b", "-"},
    {"^$", "", true, "", "-"},                         // anchored: tried once, at the start
    {"^", "", true, "", "-"},
    {"$", "abc", false, "", ""},                       // never tried at the end
    {"a.b", "a\nb", true, "a\nb", "-"},                // s is on by default
    {"a.c", std::string("ab\0c", 4), false, "", ""},  // the NUL ends the subject
    {"b$", std::string("ab\0c", 4), true, "b", "-"},
    {"c", std::string("ab\0c", 4), false, "", ""},
    {"b.*", std::string("ab\0cd", 5), true, "b", "-"},
    {"(a|^b)c", "bc", true, "bc", "b"},
};

TEST(RegExprMatch, AnchorsOnlyAtTheEndsAndTheNulCut)
{
    RunCases(Anchors, std::size(Anchors));
}

TEST(RegExprMatch, DotWithoutModifierS)
{
    const TMatchCase cases[] = {
        {"a.b", "a\nb", false, "", ""},
        {"a.b", "a\rb", true, "a\rb", "-"},
        {".+", "xy\nz", true, "xy", "-"},
    };
    RunCases(cases, std::size(cases), 3);
}

// ---- Sets, classes and case -------------------------------------------------------

const TMatchCase Sets[] = {
    {"\\w+", "12ab_C3", true, "ab_C", "-"},           // \w has no digits
    {"\\W+", "ab12 !c", true, "12 !", "-"},
    {"\\s+", "a \t\r\n\fb", true, " \t\r\n\f", "-"},
    {"\\S+", "  ab ", true, "ab", "-"},
    {"\\D+", "12ab34", true, "ab", "-"},
    {"[]a]+", "x]a]", true, "]a]", "-"},             // "]" first is a member
    {"[^]a]+", "]]bc", true, "bc", "-"},
    {"[\\D]", "xD", true, "D", "-"},                  // \D in a set is the letter D
    {"[\\D]", "xy", false, "", ""},
    {"[a-\\d]+", "b-5a", true, "-5a", "-"},           // a, "-" and the digits
    {"[\\d-z]+", "y-z9", true, "-z9", "-"},           // "-" after a class is a member
    {"[a-c-e]+", "d-ec", true, "-ec", "-"},           // "-" after a range is a member
    {"[-a]+", "b-a", true, "-a", "-"},
    {"[a-]+", "b-a", true, "-a", "-"},
    {"[\\n\\t]+", "a\t\nb", true, "\t\n", "-"},
    {"[\\x41-\\x43]+", "zABCD", true, "ABC", "-"},
    {"[\\]\\\\]+", "a]\\b", true, "]\\", "-"},
    {"[^abc]+", "abxyc", true, "xy", "-"},
    {"[^\\s]+", " ab ", true, "ab", "-"},
    {"\\x41\\x62", "xAb", true, "Ab", "-"},
    {"\\t\\e\\a\\f", "\t\x1b\a\f", true, "\t\x1b\a\f", "-"},
    {"\\.\\-\\{", "a.-{", true, ".-{", "-"},
    {"a{", "a{", true, "a{", "-"},                    // "{" without digits is literal
    {"a{x}", "a{x}", true, "a{x}", "-"},
    {"a{1,x}", "a{1,x}", true, "a{1,x}", "-"},
    {"{2}", "x{2}", true, "{2}", "-"},
};

TEST(RegExprMatch, SetsClassesAndEscapes)
{
    RunCases(Sets, std::size(Sets));
}

TEST(RegExprMatch, CaseInsensitiveLiteralsAndSets)
{
    const TMatchCase cases[] = {
        {"abc", "xAbC", true, "AbC", "-"},
        {"a+b", "AaAB", true, "AaAB", "-"},
        {"[a-c]+", "XbCaY", true, "bCa", "-"},
        {"[^a]+", "aAbB", true, "bB", "-"},
        {"x{2}", "xX", true, "xX", "-"},
        {"\\x41", "a", true, "a", "-"},
        {"1-2", "1-2", true, "1-2", "-"},
    };
    RunCases(cases, std::size(cases), 0, true);

    TRegExpr r;
    r.SetExpression("abc");
    EXPECT_FALSE(r.Exec("ABC"));
}

TEST(RegExprMatch, CustomCaseInverter)
{
    TRegExpr r;
    r.SetCaseInverter([](char c) { return c == 'x' ? 'y' : c == 'y' ? 'x' : c; });
    r.SetModifierI(true);
    r.SetExpression("x[x]");
    EXPECT_TRUE(r.Exec("yy"));
    EXPECT_FALSE(r.Exec("XX"));
    r.SetCaseInverter(nullptr);  // back to the default
    r.SetModifierI(false);
    r.SetModifierI(true);
    EXPECT_TRUE(r.Exec("XX"));
}

TEST(RegExprMatch, CharacterSetsOfTheObject)
{
    TRegExpr r;
    EXPECT_EQ(r.SpaceCharSet(), std::string(" \t\n\r\f"));
    r.SetWordCharSet("abc0");
    r.SetSpaceCharSet("_");
    r.SetExpression("\\w+\\s[\\w]");
    EXPECT_TRUE(r.Exec("zz0ab_c"));
    EXPECT_EQ(r.Match(0), "0ab_c");
}

TEST(RegExprMatch, CyrillicRangesUnderModifierR)
{
    TRegExpr r;
    r.SetExpression("[\xE0-\xFF]+");
    ASSERT_TRUE(r.Exec("A\xE0\xB8\xFF\xC0"));
    EXPECT_EQ(r.Match(0), "\xE0\xB8\xFF");            // small letters and yo
    r.SetExpression("[\xC0-\xDF]+");
    ASSERT_TRUE(r.Exec("\xE0\xC0\xA8\xDF\xB8"));
    EXPECT_EQ(r.Match(0), "\xC0\xA8\xDF");            // capitals and Yo
    r.SetExpression("[\xE0-\xDF]+");
    ASSERT_TRUE(r.Exec("z\xC0\xFF\xA8\xB8\xE5y"));
    EXPECT_EQ(r.Match(0), "\xC0\xFF\xA8\xB8\xE5");
    // Switching r off recompiles the pattern, where the range is now reversed.
    EXPECT_THROW(r.SetModifierR(false), ERegExpr);
    EXPECT_EQ(r.LastErrorCode(), 109);
    r.SetExpression("[\xE0-\xFF]+");
    ASSERT_TRUE(r.Exec("\xB8\xE0"));
    EXPECT_EQ(r.Match(0), "\xE0");
    EXPECT_THROW(r.SetExpression("[\xE0-\xDF]"), ERegExpr);
}

TEST(RegExprMatch, ExecPosSearchesFromAnOffset)
{
    TRegExpr r;
    r.SetExpression("a\\d");
    ASSERT_TRUE(r.Exec("a1 a2 a3"));
    EXPECT_EQ(r.Match(0), "a1");
    ASSERT_TRUE(r.ExecPos(2));
    EXPECT_EQ(r.Match(0), "a2");
    EXPECT_FALSE(r.ExecPos(8));
    EXPECT_FALSE(r.ExecPos(10));  // beyond the length + 1
    try {
        r.ExecPos(0);
        FAIL();
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorCode, 1006);
        EXPECT_STREQ(e.what(), "TRegExpr(exec): Offset Must Be Greater Then 0");
    }
}

// ---- Templates ----------------------------------------------------------------------

TEST(RegExprTemplate, References)
{
    TRegExpr r;
    r.SetExpression("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)");
    ASSERT_TRUE(r.Exec("xabcdefghijkly"));
    const struct {
        const char* Template;
        const char* Result;
    } cases[] = {
        {"$1", "a"},
        {"$12", "l"},           // all the digits form the number
        {"${1}2", "a2"},        // braces end the reference
        {"${12}x", "lx"},
        {"$1x", "ax"},
        {"$&", "abcdefghijkl"},
        {"[${&}]", "[abcdefghijkl]"},
        {"\\$1", "$1"},         // an escaped dollar keeps the reference text
        {"a\\\\b", "a\\b"},
        {"\\n", "n"},
        {"$", "$"},
        {"$x$", "$x$"},
        {"${1", "${1"},
        {"${}", "${}"},
        {"${&", "${&"},
        {"$15", ""},            // above 14
        {"$99999999999999999999", ""},
        {"$0", "abcdefghijkl"},
        {"", ""},
        {"<$3-$2>", "<c-b>"},
        {"trail\\", "trail\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Template);
        EXPECT_EQ(r.ExpandTemplate(c.Template), c.Result);
    }
}

TEST(RegExprTemplate, GroupsThatDidNotTakePartInsertNothing)
{
    TRegExpr r;
    r.SetExpression("(a)|(b)");
    ASSERT_TRUE(r.Exec("b"));
    EXPECT_EQ(r.ExpandTemplate("$1"), "");
    EXPECT_EQ(r.ExpandTemplate("[$1|$2]"), "[|b]");
    EXPECT_FALSE(r.Exec("c"));
    EXPECT_EQ(r.ExpandTemplate("$1$2"), "");
}

TEST(RegExprTemplate, NeedsAProgramAndASubject)
{
    TRegExpr r;
    try {
        r.ExpandTemplate("$1");
        FAIL();
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorCode, 1003);
    }
    r.SetExpression("a");
    try {
        r.ExpandTemplate("$1");
        FAIL();
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorCode, 1005);
        EXPECT_STREQ(e.what(), "TRegExpr(exec): No Inpit String Specified");
    }
}

// ---- The remote listing pattern -----------------------------------------------------

struct TListingCase {
    std::string Line;
    bool Matches;
    const char* Attributes;
    const char* Size;
    const char* Name;
};

const TListingCase ListingLines[] = {
    {"drwxr-xr-x 2 user group 4096 Jan 10 12:00 pub", true, "drwxr-xr-x", "4096", "pub"},
    {"-rw-r--r-- 1 user group 1234 Jan 10 2000 readme.txt", true, "-rw-r--r--", "1234", "readme.txt"},
    {"-rw-r--r-- 1 owner 1234 Jan 10 2000 notes", true, "-rw-r--r--", "", "notes"},
    {"-rw-r--r-- 1 user group 99 Jan 10 2000 my file.txt", true, "-rw-r--r--", "99", "my"},
    {"total 12", false, "", "", ""},
    {"lrwxrwxrwx 1 user group 7 Jan 10 2000 link -> target", false, "", "", ""},
    {"drwxrwxrwt 2 user group 512 Jan 10 2000 tmp", false, "", "", ""},
    {"DRWXRWXRWX 1 user group 0 Jan 10 2000 UP", true, "DRWXRWXRWX", "0", "UP"},
    {"-rw-r--r--    1 ftp      ftp       1048576 Mar  3  2021 big.bin", true, "-rw-r--r--", "1048576",
     "big.bin"},
    {"drwxr-xr-x   5 1000     1000         4096 Feb 28 09:15 src", true, "drwxr-xr-x", "4096", "src"},
    {"-rw-r--r-- 1 u g 5 Jan 10 2000 a.tar.gz\r", true, "-rw-r--r--", "5", "a.tar.gz"},
    {"", false, "", "", ""},
};

TEST(RegExprListing, UnixLinesGiveAttributesSizeAndName)
{
    TRegExpr r;
    r.SetExpression(ListingPattern);
    for (const TListingCase& c : ListingLines) {
        SCOPED_TRACE(c.Line);
        ASSERT_EQ(r.Exec(c.Line), c.Matches);
        if (!c.Matches)
            continue;
        EXPECT_EQ(r.ExpandTemplate("$1"), c.Attributes);
        EXPECT_EQ(r.ExpandTemplate("$2"), c.Size);
        EXPECT_EQ(r.ExpandTemplate("$3"), c.Name);
    }
}

TEST(RegExprListing, LongLinesStillMatch)
{
    TRegExpr r;
    r.SetExpression(ListingPattern);
    for (std::size_t len : {1000u, 30000u, 200000u}) {
        const std::string name(len, 'n');
        const std::string line = "-rw-r--r-- 1 user group 77 Jan 10 2000 " + name + " " + std::string(len, ' ');
        ASSERT_TRUE(r.Exec(line)) << len;
        EXPECT_EQ(r.ExpandTemplate("$3"), name);
        EXPECT_EQ(r.ExpandTemplate("$2"), "77");
    }
    // A long run of blanks and words before the size.
    std::string fields;
    for (int i = 0; i < 5000; ++i)
        fields += "word ";
    ASSERT_TRUE(r.Exec("drwxr-xr-x " + fields + "x"));
    EXPECT_EQ(r.ExpandTemplate("$1"), "drwxr-xr-x");
}

// ---- Bounded backtracking --------------------------------------------------------------

std::string Repeat(const std::string& s, std::size_t times)
{
    std::string out;
    out.reserve(s.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        out += s;
    return out;
}

TEST(RegExprDepthBound, MegabyteLoopRaisesInsteadOfCrashing)
{
    TRegExpr r;
    r.SetExpression("(a|b)*c");
    // It has to reach the loop: without a "c" the literal filter rejects it at once.
    EXPECT_FALSE(r.Exec(Repeat("ab", 512 * 1024)));
    const std::string subject = Repeat("ab", 512 * 1024) + "c";
    try {
        r.Exec(subject);
        FAIL() << "the bound must be reached";
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorCode, 1014);
        EXPECT_STREQ(e.what(), "TRegExpr(exec): Loop Stack Exceeded");
    }
    EXPECT_EQ(r.LastErrorCode(), 1014);
    // The object stays usable.
    ASSERT_TRUE(r.Exec("xababc"));
    EXPECT_EQ(r.Match(0), "ababc");
    EXPECT_EQ(r.Match(1), "b");
}

TEST(RegExprDepthBound, LongLoopsWithinTheBoundMatch)
{
    TRegExpr r;
    r.SetExpression("(a|b)*c");
    const std::string subject = Repeat("ab", 50000) + "c";
    ASSERT_TRUE(r.Exec(subject));
    EXPECT_EQ(r.MatchLen(0), 100001);
    EXPECT_EQ(r.GroupStart(1), 99999);
}

TEST(RegExprDepthBound, SettableBound)
{
    TRegExpr r;
    r.SetMaxMatchDepth(100);
    EXPECT_EQ(r.MaxMatchDepth(), 100u);
    r.SetExpression("(a|b)*c");
    EXPECT_TRUE(r.Exec(Repeat("ab", 10) + "c"));
    EXPECT_THROW(r.Exec(Repeat("ab", 100) + "c"), ERegExpr);
    // Simple repetitions are counted, not stacked: no bound applies to their length.
    r.SetExpression("a*b+c");
    EXPECT_TRUE(r.Exec(Repeat("a", 100000) + Repeat("b", 100000) + "c"));
}

TEST(RegExprDepthBound, StepLimitStopsExponentialBacktracking)
{
    TRegExpr r;
    r.SetMatchStepLimit(100000);
    r.SetExpression("^(a|aa)*b");
    try {
        r.Exec(std::string(60, 'a') + "cb");  // holds the literal "b", so it is searched
        FAIL();
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorCode, 1014);
    }
    EXPECT_TRUE(r.Exec(std::string(60, 'a') + "b"));
    r.SetMatchStepLimit(0);
    EXPECT_FALSE(r.Exec(std::string(16, 'a') + "cb"));
}

TEST(RegExprMatch, ManyAlternatives)
{
    std::string pattern;
    for (int i = 0; i < 20000; ++i)
        pattern += "a" + std::to_string(i) + "x|";
    pattern += "(b)";
    TRegExpr r;
    r.SetExpression(pattern);
    ASSERT_TRUE(r.Exec("zz b"));
    EXPECT_EQ(r.GroupStart(1), 3);
    ASSERT_TRUE(r.Exec("a19999x"));
    EXPECT_EQ(r.MatchLen(0), 7);
}

// ---- Former bugs ------------------------------------------------------------------------

TEST(RegExprFormerBugs, AlternativeBeginningWithCaretIsTriedAtTheStart)
{
    // The start set holds nothing for "^": position 0 was skipped when its character
    // was not a start character of another alternative.
    TRegExpr r;
    r.SetExpression("x|^y");
    ASSERT_TRUE(r.Exec("yx"));
    EXPECT_EQ(r.GroupStart(0), 0);
    EXPECT_TRUE(r.Exec("ax"));
    EXPECT_FALSE(r.Exec("ay"));
    // With every alternative anchored the start set is empty: nothing was ever tried.
    r.SetExpression("^a|^b");
    EXPECT_FALSE(r.Anchored());
    ASSERT_TRUE(r.Exec("bc"));
    EXPECT_EQ(r.Match(0), "b");
    EXPECT_FALSE(r.Exec("cb"));
}

TEST(RegExprFormerBugs, EscapedNulMatchesNothing)
{
    // "\x00" made an empty string node that matched everywhere though it counted as
    // one character, so a loop over it never advanced.
    TRegExpr r;
    r.SetExpression("a\\x00");
    EXPECT_FALSE(r.Exec("a"));
    r.SetExpression("(\\x00)+a");
    EXPECT_FALSE(r.Exec("aaa"));
    r.SetExpression("(\\x00|b)*a");
    ASSERT_TRUE(r.Exec("bba"));
    EXPECT_EQ(r.Match(0), "bba");
    r.SetExpression("[\\x00-\\x01]+");
    EXPECT_FALSE(r.Exec(std::string("\0\0", 2)));
}

}  // namespace
