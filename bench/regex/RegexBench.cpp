// Parses generated remote listing lines with the listing pattern, as the remote pane
// does, and compares TRegExpr with std::regex and PCRE2 (no JIT) in ns per line.
// Usage: bench_regex [--lines N] [--rounds R] [--seed S] [--engine ours|std|pcre2|all]
// Each engine runs R rounds over the same lines; the fastest round counts.
#include "regex/RegExpr.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#ifdef OMBREX_HAVE_PCRE2
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#endif

namespace {

const char* const ListingPattern =
    "([dD\\-][rR\\-][wW\\-][xX\\-][rR\\-][wW\\-][xX\\-][rR-][wW\\-][xX\\-])"
    "\\s*\\S*\\s*\\S*\\s*\\S*\\s*"
    "(\\d*)"
    "\\s*\\S*\\s*\\S*\\s*\\S*\\s*"
    "(\\S*)";

// A small deterministic generator, so every run parses the same lines.
struct TRandom {
    std::uint64_t State;
    std::uint64_t Next()
    {
        State ^= State << 13;
        State ^= State >> 7;
        State ^= State << 17;
        return State;
    }
    std::uint64_t Below(std::uint64_t n) { return Next() % n; }
    template <typename T, std::size_t N>
    const T& Pick(const T (&items)[N]) { return items[Below(N)]; }
};

// Lines as Unix FTP servers send them: mostly files and directories with aligned
// columns, dates in both forms, a "total" line and symbolic links now and then.
std::vector<std::string> GenerateListing(std::size_t count, std::uint64_t seed)
{
    static const char* const filePerms[] = {"-rw-r--r--", "-rw-rw-r--", "-rwxr-xr-x", "-rw-------",
                                            "-r--r--r--", "-rwxrwxrwx"};
    static const char* const dirPerms[] = {"drwxr-xr-x", "drwxrwxr-x", "drwx------", "drwxrwxrwx",
                                           "dr-xr-xr-x"};
    static const char* const users[] = {"ftp", "root", "www-data", "alice", "bob", "1000", "nobody",
                                        "backup"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static const char* const words[] = {"report", "data", "backup", "photo", "IMG_2041", "setup",
                                        "README", "notes", "linux-6.1.12", "archive", "draft",
                                        "invoice_2023", "music", "release-notes", "db_dump", "x"};
    static const char* const exts[] = {".txt", ".tar.gz", ".zip", ".jpg", ".iso", ".pdf", ".c",
                                       ".html", "", ".bin", ".log", ".deb"};
    TRandom rnd{seed * 2654435761u + 88172645463325252ull};
    std::vector<std::string> lines;
    lines.reserve(count);
    char buf[512];
    while (lines.size() < count) {
        const std::uint64_t kind = rnd.Below(100);
        if (kind == 0) {
            std::snprintf(buf, sizeof buf, "total %llu", static_cast<unsigned long long>(rnd.Below(100000)));
            lines.emplace_back(buf);
            continue;
        }
        const bool dir = kind < 22;
        const bool link = kind >= 97;
        const char* perms = link ? "lrwxrwxrwx" : dir ? rnd.Pick(dirPerms) : rnd.Pick(filePerms);
        const char* user = rnd.Pick(users);
        const char* group = rnd.Pick(users);
        unsigned long long size = dir ? 4096 : 1;
        if (!dir) {
            const int digits = static_cast<int>(rnd.Below(11));
            for (int i = 0; i < digits; ++i)
                size *= 10;
            size = rnd.Below(size) + rnd.Below(1000);
        }
        char date[32];
        if (rnd.Below(3) == 0)
            std::snprintf(date, sizeof date, "%s %2d  %d", rnd.Pick(months), static_cast<int>(rnd.Below(28) + 1),
                          static_cast<int>(1995 + rnd.Below(29)));
        else
            std::snprintf(date, sizeof date, "%s %2d %02d:%02d", rnd.Pick(months),
                          static_cast<int>(rnd.Below(28) + 1), static_cast<int>(rnd.Below(24)),
                          static_cast<int>(rnd.Below(60)));
        std::string name = rnd.Pick(words);
        if (rnd.Below(4) == 0) {
            name += rnd.Below(2) ? "_" : " ";  // now and then a name with a blank
            name += rnd.Pick(words);
        }
        if (!dir)
            name += rnd.Pick(exts);
        if (link)
            name += " -> ../target";
        std::snprintf(buf, sizeof buf, "%s %3d %-8s %-8s %10llu %s %s", perms,
                      static_cast<int>(rnd.Below(40) + 1), user, group, size, date, name.c_str());
        lines.emplace_back(buf);
    }
    return lines;
}

// What one engine made of the listing: matched lines and a checksum of the groups.
struct TResult {
    double NsPerLine = 0;
    std::size_t Matched = 0;
    std::uint64_t Checksum = 0;
};

std::uint64_t Mix(std::uint64_t h, const std::string& s)
{
    for (unsigned char c : s)
        h = (h ^ c) * 1099511628211ull;
    return (h ^ 0xFF) * 1099511628211ull;
}

int Rounds = 3;

template <typename F>
TResult MeasureOnce(const std::vector<std::string>& lines, F& parseLine)
{
    TResult result;
    std::string attrs, size, name;
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& line : lines) {
        if (parseLine(line, attrs, size, name)) {
            ++result.Matched;
            result.Checksum = Mix(Mix(Mix(result.Checksum, attrs), size), name);
        }
    }
    const auto stop = std::chrono::steady_clock::now();
    result.NsPerLine = std::chrono::duration<double, std::nano>(stop - start).count() /
                       static_cast<double>(lines.empty() ? 1 : lines.size());
    return result;
}

// The fastest of Rounds runs: other work on the machine only ever adds time.
template <typename F>
TResult Measure(const std::vector<std::string>& lines, F parseLine)
{
    TResult best = MeasureOnce(lines, parseLine);
    for (int i = 1; i < Rounds; ++i) {
        const TResult r = MeasureOnce(lines, parseLine);
        if (r.NsPerLine < best.NsPerLine)
            best = r;
    }
    return best;
}

void Print(const char* engine, const TResult& r, const TResult* ours)
{
    std::printf("%-34s %9.1f ns/line  matched %zu  checksum %016llx", engine, r.NsPerLine, r.Matched,
                static_cast<unsigned long long>(r.Checksum));
    if (ours && ours->NsPerLine > 0)
        std::printf("  (%.2fx TRegExpr)", r.NsPerLine / ours->NsPerLine);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv)
{
    std::size_t count = 1000000;
    std::uint64_t seed = 1;
    std::string engine = "all";
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--lines") && i + 1 < argc)
            count = std::strtoull(argv[++i], nullptr, 10);
        else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            Rounds = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--seed") && i + 1 < argc)
            seed = std::strtoull(argv[++i], nullptr, 10);
        else if (!std::strcmp(argv[i], "--engine") && i + 1 < argc)
            engine = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--lines N] [--rounds R] [--seed S] [--engine ours|std|pcre2|all]\n",
                         argv[0]);
            return 2;
        }
    }
    const std::vector<std::string> lines = GenerateListing(count, seed);
    std::size_t bytes = 0;
    for (const std::string& l : lines)
        bytes += l.size() + 1;
    std::printf("listing pattern over %zu generated lines (%.1f MB), best of %d rounds, e.g.\n  %s\n  %s\n",
                lines.size(), bytes / 1e6, Rounds, lines.size() > 1 ? lines[1].c_str() : "", lines.size() > 2 ? lines[2].c_str() : "");

    const bool all = engine == "all";
    TResult ours;
    bool haveOurs = false;
    if (all || engine == "ours") {
        TRegExpr r;
        r.SetExpression(ListingPattern);
        ours = Measure(lines, [&](const std::string& line, std::string& a, std::string& s, std::string& n) {
            if (!r.Exec(line))
                return false;
            a = r.ExpandTemplate("$1");
            s = r.ExpandTemplate("$2");
            n = r.ExpandTemplate("$3");
            return true;
        });
        haveOurs = true;
        Print("TRegExpr (Exec + ExpandTemplate)", ours, nullptr);
        const TResult groups = Measure(lines, [&](const std::string& line, std::string& a, std::string& s,
                                                  std::string& n) {
            if (!r.Exec(line))
                return false;
            a = r.Match(1);
            s = r.Match(2);
            n = r.Match(3);
            return true;
        });
        Print("TRegExpr (Exec + Match)", groups, nullptr);
    }

    int status = 0;
    auto check = [&](const char* name, const TResult& other) {
        if (haveOurs && (other.Matched != ours.Matched || other.Checksum != ours.Checksum)) {
            std::printf("  !! %s disagrees with TRegExpr\n", name);
            status = 1;
        }
    };

    if (all || engine == "std") {
        const std::regex re(ListingPattern, std::regex::ECMAScript);
        std::smatch m;
        const TResult r = Measure(lines, [&](const std::string& line, std::string& a, std::string& s,
                                             std::string& n) {
            if (!std::regex_search(line, m, re))
                return false;
            a = m[1].str();
            s = m[2].str();
            n = m[3].str();
            return true;
        });
        Print("std::regex (ECMAScript)", r, haveOurs ? &ours : nullptr);
        check("std::regex", r);
    }

#ifdef OMBREX_HAVE_PCRE2
    if (all || engine == "pcre2") {
        int err = 0;
        PCRE2_SIZE errOffset = 0;
        pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(ListingPattern), PCRE2_ZERO_TERMINATED, 0,
                                         &err, &errOffset, nullptr);
        if (!code) {
            std::fprintf(stderr, "pcre2_compile failed: %d at %zu\n", err, static_cast<std::size_t>(errOffset));
            return 1;
        }
        pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
        const TResult r = Measure(lines, [&](const std::string& line, std::string& a, std::string& s,
                                             std::string& n) {
            if (pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(line.data()), line.size(), 0, 0, md, nullptr) < 0)
                return false;
            const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
            a.assign(line, ov[2], ov[3] - ov[2]);
            s.assign(line, ov[4], ov[5] - ov[4]);
            n.assign(line, ov[6], ov[7] - ov[6]);
            return true;
        });
        pcre2_match_data_free(md);
        pcre2_code_free(code);
        Print("PCRE2 (interpreter, no JIT)", r, haveOurs ? &ours : nullptr);
        check("PCRE2", r);
    }
#else
    if (engine == "pcre2")
        std::printf("PCRE2 was not found when this benchmark was built\n");
#endif
    return status;
}
