// TRegExpr's matcher: the search with its start filters, and MatchPrim, a
// backtracking walk of the program that keeps its choice points on a heap stack.
#include "regex/RegExpr.h"

#include "regex/RegExprProgram.h"

#include <cstring>

using namespace regexpr;

namespace {

// Kinds of backtracking stack entries.
enum : unsigned char {
    fkBranch,  // alternatives: Node is the branch being tried
    fkRepeat,  // a counted repetition: Count is the count being tried
    fkOpen,    // group Count starts at Save once the match succeeds
    fkClose,   // group Count ends at Save once the match succeeds
};

// Entries above this many are not kept between searches.
constexpr std::size_t KeptStackEntries = 4096;

}  // namespace

// Entries the stack starts with; it doubles as needed up to the bound.
const std::size_t TRegExpr::InitialStackEntries = 64;

bool TRegExpr::Exec(const std::string& subject)
{
    FInputString = subject;  // reuses the buffer when it is large enough
    FHasInput = true;
    return ExecPos(1);
}

bool TRegExpr::ExecPos(int offset)
{
    for (int i = 0; i < NSubExp; ++i)
        FStartP[i] = FEndP[i] = nullptr;
    FMatched = false;
    // A deep search may leave a large stack behind; it is not kept for the next one.
    struct TTrimStack {
        std::vector<TMatchFrame>& Stack;
        ~TTrimStack()
        {
            if (Stack.size() > KeptStackEntries)
                std::vector<TMatchFrame>(InitialStackEntries).swap(Stack);
        }
    } trim{FStack};
    FMatched = ExecPrim(offset);
    return FMatched;
}

bool TRegExpr::ExecPrim(int offset)
{
    CheckProgram();
    if (!FHasInput)
        Error(1005);
    if (offset < 1)
        Error(1006);
    // The subject ends at its first NUL, as a C string would.
    FInputStart = FInputString.c_str();
    FInputEnd = FInputStart + std::strlen(FInputStart);
    const std::size_t length = static_cast<std::size_t>(FInputEnd - FInputStart);
    if (static_cast<std::size_t>(offset) > length + 1)
        return false;
    const char* s = FInputStart + (offset - 1);
    FSteps = 0;

    // A literal every match contains rules the subject out at once when missing.
    if (FRegMust) {
        const void* found = memmem(s, static_cast<std::size_t>(FInputEnd - s), FRegMust, FRegMustLen);
        if (!found)
            return false;
    }

    if (FAnchored)
        return RegTry(s);

    if (FStartChar) {
        const char* end = FInputEnd;
        while (s < end) {
            s = static_cast<const char*>(std::memchr(s, FStartChar, static_cast<std::size_t>(end - s)));
            if (!s)
                return false;
            if (RegTry(s))
                return true;
            ++s;
        }
        return false;
    }

    const unsigned char* set = FFirstCharSet.data();
    for (; s < FInputEnd; ++s) {
        if (SetHas(set, static_cast<unsigned char>(*s)) || (FFirstAtBol && s == FInputStart)) {
            if (RegTry(s))
                return true;
        }
    }
    return false;
}

bool TRegExpr::RegTry(const char* at)
{
    // Groups the program does not have are never set, so only its own are cleared.
    for (int i = 0; i < FProgGroups; ++i)
        FStartP[i] = FEndP[i] = nullptr;
    const char* in = at;
    if (!MatchPrim(FProgram.get() + 1, in))
        return false;
    FStartP[0] = at;
    FEndP[0] = in;
    return true;
}

void TRegExpr::GrowStack()
{
    const std::size_t used = FStack.size();
    if (used >= FMaxMatchDepth)
        Error(1014);
    std::size_t size = used < InitialStackEntries ? InitialStackEntries : used * 2;
    if (size > FMaxMatchDepth)
        size = FMaxMatchDepth;
    FStack.resize(size);
}

// Inlined: it runs once per repetition on every subject, and a call costs as much as the count.
[[gnu::always_inline]] inline std::size_t TRegExpr::RegRepeat(const unsigned char* node, std::size_t max,
                                                              const char*& in)
{
    const unsigned char* opnd = Operand(node);
    const std::size_t avail = static_cast<std::size_t>(FInputEnd - in);
    const std::size_t limit = max < avail ? max : avail;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(in);
    std::size_t n = 0;
    switch (node[0]) {
    case opAny:
        n = limit;
        break;
    case opExactly: {
        const unsigned char c = opnd[0];
        while (n < limit && p[n] == c)
            ++n;
        break;
    }
    case opExactlyCI: {
        const unsigned char c = opnd[0];
        const unsigned char other = FInvertTable[c];
        while (n < limit && (p[n] == c || p[n] == other))
            ++n;
        break;
    }
    case opAnyDigit:
        while (n < limit && p[n] >= '0' && p[n] <= '9')
            ++n;
        break;
    case opNotDigit:
        while (n < limit && (p[n] < '0' || p[n] > '9'))
            ++n;
        break;
    case opAnyOf3:
        while (n < limit && (p[n] == opnd[0] || p[n] == opnd[1] || p[n] == opnd[2]))
            ++n;
        break;
    case opAnyBut3:
        while (n < limit && p[n] != opnd[0] && p[n] != opnd[1] && p[n] != opnd[2])
            ++n;
        break;
    case opAnyOfSet:
        while (n < limit && SetHas(opnd, p[n]))
            ++n;
        break;
    default:
        Error(1000);
    }
    in += n;
    return n;
}

// The recursive algorithm (recurse for each alternative, each repetition count and
// each group boundary; record the group positions while returning from a success)
// runs here with an explicit stack, so a long subject cannot exhaust the thread's
// stack: each entry stands for one active recursive call, and the bound on their
// number becomes error 1014 instead of a crash.
bool TRegExpr::MatchPrim(const unsigned char* scan, const char*& input)
{
    const unsigned char* in = reinterpret_cast<const unsigned char*>(input);
    // The stack lives in FStack's elements; top counts the active entries.
    TMatchFrame* stack = FStack.data();
    std::size_t top = 0;
    std::size_t cap = FStack.size() < FMaxMatchDepth ? FStack.size() : FMaxMatchDepth;
    auto push = [&]() -> TMatchFrame& {
        if (top == cap) {
            if (top >= FMaxMatchDepth)
                Error(1014);
            GrowStack();
            stack = FStack.data();
            cap = FStack.size();
        }
        if (FMatchStepLimit && ++FSteps > FMatchStepLimit)
            Error(1014);
        return stack[top++];
    };
    for (;;) {
        // Forward: follow the program until something fails.
        for (;;) {
            if (!scan)
                Error(1002);
            const unsigned char* next = NextNode(scan);
            const unsigned char* opnd = Operand(scan);
            switch (scan[0]) {
            case opEnd: {
                // Success: every active call returns true; group boundaries are
                // recorded innermost first, so the last pass through a loop wins.
                for (std::size_t i = top; i-- > 0;) {
                    const TMatchFrame& f = stack[i];
                    if (f.Kind == fkOpen) {
                        if (!FStartP[f.Count])
                            FStartP[f.Count] = f.Save;
                    } else if (f.Kind == fkClose) {
                        if (!FEndP[f.Count])
                            FEndP[f.Count] = f.Save;
                    }
                }
                input = reinterpret_cast<const char*>(in);
                return true;
            }
            case opBol:
                if (reinterpret_cast<const char*>(in) != FInputStart)
                    goto fail;
                break;
            case opEol:
                if (*in != 0)
                    goto fail;
                break;
            case opAny:
                if (*in == 0)
                    goto fail;
                ++in;
                break;
            case opAnyDigit:
                if (*in < '0' || *in > '9')
                    goto fail;
                ++in;
                break;
            case opNotDigit:
                if (*in == 0 || (*in >= '0' && *in <= '9'))
                    goto fail;
                ++in;
                break;
            case opAnyOf3:
                if (*in == 0 || (*in != opnd[0] && *in != opnd[1] && *in != opnd[2]))
                    goto fail;
                ++in;
                break;
            case opAnyBut3:
                if (*in == 0 || *in == opnd[0] || *in == opnd[1] || *in == opnd[2])
                    goto fail;
                ++in;
                break;
            case opAnyOfSet:
                if (*in == 0 || !SetHas(opnd, *in))
                    goto fail;
                ++in;
                break;
            case opExactly: {
                if (*opnd != *in)
                    goto fail;
                std::size_t i = 1;
                for (; opnd[i]; ++i)
                    if (opnd[i] != in[i])
                        goto fail;
                in += i;
                break;
            }
            case opExactlyCI: {
                std::size_t i = 0;
                for (; opnd[i]; ++i)
                    if (in[i] == 0 || (in[i] != opnd[i] && in[i] != FInvertTable[opnd[i]]))
                        goto fail;
                in += i;
                break;
            }
            case opBack:
            case opNothing:
            case opComment:
                break;
            case opBranch:
                if (next && next[0] == opBranch) {
                    TMatchFrame& f = push();
                    f.Kind = fkBranch;
                    f.Node = scan;
                    f.Save = reinterpret_cast<const char*>(in);
                }
                // The first (or only) alternative.
                next = opnd;
                break;
            case opStar:
            case opPlus:
            case opBraces: {
                std::int32_t bmin = 0;
                std::int32_t bmax = RepeatInfinite;
                if (scan[0] == opPlus) {
                    bmin = 1;
                } else if (scan[0] == opBraces) {
                    bmin = ReadInt32(opnd);
                    bmax = ReadInt32(opnd + 4);
                }
                const unsigned char nextCh = (next && next[0] == opExactly) ? Operand(next)[0] : 0;
                const char* save = reinterpret_cast<const char*>(in);
                const char* pos = save;
                std::int64_t count = static_cast<std::int64_t>(
                    RegRepeat(RepeatedNode(scan), static_cast<std::size_t>(bmax < 0 ? 0 : bmax), pos));
                // A literal that follows must start right after the repetition.
                while (nextCh && count >= bmin && static_cast<unsigned char>(save[count]) != nextCh)
                    --count;
                if (count < bmin)
                    goto fail;
                TMatchFrame& f = push();
                f.Kind = fkRepeat;
                f.Node = next;
                f.Save = save;
                f.Count = static_cast<std::int32_t>(count);
                f.Min = bmin;
                f.NextCh = static_cast<char>(nextCh);
                in = reinterpret_cast<const unsigned char*>(save + count);
                break;
            }
            default: {
                const unsigned char op = scan[0];
                if (op > opOpen && op < opOpen + NSubExp) {
                    TMatchFrame& f = push();
                    f.Kind = fkOpen;
                    f.Count = op - opOpen;
                    f.Save = reinterpret_cast<const char*>(in);
                } else if (op > opClose && op < opClose + NSubExp) {
                    TMatchFrame& f = push();
                    f.Kind = fkClose;
                    f.Count = op - opClose;
                    f.Save = reinterpret_cast<const char*>(in);
                } else {
                    Error(1001);
                }
                break;
            }
            }
            scan = next;
        }

    fail:
        // Backward: resume the innermost call that still has a choice left.
        for (;;) {
            if (top == 0)
                return false;
            TMatchFrame& f = stack[top - 1];
            if (f.Kind == fkBranch) {
                const unsigned char* alt = NextNode(f.Node);
                if (alt && alt[0] == opBranch) {
                    if (FMatchStepLimit && ++FSteps > FMatchStepLimit)
                        Error(1014);
                    f.Node = alt;
                    in = reinterpret_cast<const unsigned char*>(f.Save);
                    scan = Operand(alt);
                    break;
                }
            } else if (f.Kind == fkRepeat) {
                std::int32_t count = f.Count - 1;
                while (count >= f.Min && f.NextCh && f.Save[count] != f.NextCh)
                    --count;
                if (count >= f.Min) {
                    if (FMatchStepLimit && ++FSteps > FMatchStepLimit)
                        Error(1014);
                    f.Count = count;
                    in = reinterpret_cast<const unsigned char*>(f.Save + count);
                    scan = f.Node;
                    break;
                }
            }
            --top;
        }
    }
}
