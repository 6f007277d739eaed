// Fuzzes TRegExpr with arbitrary pattern/subject pairs: compile, search, read the
// groups, expand templates and dump the program, checking what must always hold.
// Input: one byte of modifier switches, the pattern, a NUL, then the subject.
#include "regex/RegExpr.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t switches = data[0];
    const char* text = reinterpret_cast<const char*>(data + 1);
    const std::size_t textSize = size - 1;
    const void* nul = std::memchr(text, 0, textSize);
    const std::size_t patternSize = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : textSize;
    const std::string pattern(text, patternSize);
    const std::string subject = nul ? std::string(text + patternSize + 1, textSize - patternSize - 1) : pattern;

    TRegExpr r;
    // Backtracking may take exponential time by design; bound the work so that
    // only real faults end a run.
    r.SetMatchStepLimit(200000);
    if (switches & 8)
        r.SetMaxMatchDepth(64);
    if (switches & 16) {
        r.SetSpaceCharSet(switches & 32 ? std::string() : std::string("\0 x", 3));
        r.SetWordCharSet(switches & 64 ? std::string("\x80\xff") : std::string());
    }
    r.SetModifierI(switches & 1);
    r.SetModifierR(switches & 2);
    r.SetModifierS(switches & 4);
    try {
        r.SetExpression(pattern);
    } catch (const ERegExpr& e) {
        Check(e.ErrorCode >= 100 && e.ErrorCode < 1000);
        Check(r.LastErrorCode() == e.ErrorCode);
        Check(e.CompilerErrorPos >= 0 && static_cast<std::size_t>(e.CompilerErrorPos) <= pattern.size());
        Check(std::strstr(e.what(), " (pos ") != nullptr);
        return 0;
    }
    if (pattern.empty())
        return 0;
    const std::string dump = r.Dump();
    Check(!dump.empty());
    Check(!r.ProgramBytes().empty() && static_cast<unsigned char>(r.ProgramBytes()[0]) == 216);

    bool found = false;
    try {
        found = r.Exec(subject);
    } catch (const ERegExpr& e) {
        Check(e.ErrorCode == 1014);
        return 0;
    }
    const std::size_t visible = std::strlen(subject.c_str());
    if (found) {
        Check(r.SubExprMatchCount() >= 0);
        for (int n = 0; n < TRegExpr::NSubExp; ++n) {
            const std::ptrdiff_t s = r.GroupStart(n);
            const std::ptrdiff_t e = r.GroupEnd(n);
            if (s < 0) {
                Check(e < 0 && n != 0);
                continue;
            }
            Check(s <= e && static_cast<std::size_t>(e) <= visible);
        }
        // Group 0 through the template syntax, plain and escaped.
        const std::string whole = r.Match(0);
        Check(r.ExpandTemplate("$&") == whole);
        Check(r.ExpandTemplate("${0}\\$1") == whole + "$1");
    } else {
        Check(r.SubExprMatchCount() == -1);
        Check(r.GroupStart(0) == -1);
    }
    // The subject as a template: whatever it holds, expansion must stay in bounds.
    const std::string expanded = r.ExpandTemplate(subject);
    (void)expanded;
    try {
        r.ExecPos(static_cast<int>(switches % 5));
    } catch (const ERegExpr& e) {
        Check(e.ErrorCode == 1006 || e.ErrorCode == 1014);
    }
    return 0;
}
