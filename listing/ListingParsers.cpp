// The listing parsers: Unix LIST lines, DOS/IIS lines, MLSD facts, and the resolution of
// link targets and listing times.
#include "listing/ListingParsers.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool AllDigits(std::string_view s)
{
    // A plain loop: through std::all_of the test was called by address for every character.
    for (char c : s)
        if (!IsDigit(c))
            return false;
    return !s.empty();
}

int Number(std::string_view s)
{
    int v = 0;
    for (char c : s) {
        if (v > 100000000)
            break;
        v = v * 10 + (c - '0');
    }
    return v;
}

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

// The line as a parser sees it: up to a NUL (no name holds one), without its line end.
std::string_view CleanLine(std::string_view Line)
{
    std::size_t nul = Line.find('\0');
    if (nul != std::string_view::npos)
        Line = Line.substr(0, nul);
    while (!Line.empty() && (Line.back() == '\r' || Line.back() == '\n'))
        Line.remove_suffix(1);
    return Line;
}

// 1..12 for an English month abbreviation (any case, "Sept" too), else 0.
int MonthNumber(std::string_view s)
{
    // Called for several columns of every line: no lengths taken, no loop over names that
    // cannot match.
    static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                   "jul", "aug", "sep", "oct", "nov", "dec"};
    if (s.size() == 4)
        return EqualNoCase(s, "sept") ? 9 : 0;
    if (s.size() != 3 || IsDigit(s[0]))
        return 0;
    for (int m = 0; m < 12; ++m)
        if (Lower(s[0]) == kMonths[m][0] && EqualNoCase(s, kMonths[m]))
            return m + 1;
    return 0;
}

bool IsDay(std::string_view s)
{
    if (s.size() < 1 || s.size() > 2 || !AllDigits(s))
        return false;
    int d = Number(s);
    return d >= 1 && d <= 31;
}

// "HH:MM" (or "H:MM") into Hour and Minute.
bool ParseClock(std::string_view s, TListTime& t)
{
    std::size_t colon = s.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2 || s.size() != colon + 3)
        return false;
    std::string_view h = s.substr(0, colon);
    std::string_view m = s.substr(colon + 1);
    if (!AllDigits(h) || !AllDigits(m))
        return false;
    int hour = Number(h);
    int minute = Number(m);
    if (hour > 23 || minute > 59)
        return false;
    t.Hour = hour;
    t.Minute = minute;
    return true;
}

bool ParseYear(std::string_view s, TListTime& t)
{
    if (s.size() != 4 || !AllDigits(s))
        return false;
    t.Year = Number(s);
    return t.Year >= 1900;
}

// "YYYY-MM-DD".
bool ParseIsoDate(std::string_view s, TListTime& t)
{
    if (s.size() != 10 || s[4] != '-' || s[7] != '-' || !AllDigits(s.substr(0, 4)) || !AllDigits(s.substr(5, 2))
        || !AllDigits(s.substr(8, 2)))
        return false;
    t.Year = Number(s.substr(0, 4));
    t.Month = Number(s.substr(5, 2));
    t.Day = Number(s.substr(8, 2));
    return t.Month >= 1 && t.Month <= 12 && t.Day >= 1 && t.Day <= 31;
}

struct TToken {
    std::size_t Begin;
    std::size_t End;
};

// A permission string: a type letter and nine permission letters, then an optional ACL or
// extended-attribute marker.
bool IsPermissions(std::string_view s)
{
    if (s.size() < 10 || s.size() > 11)
        return false;
    static constexpr std::string_view kTypes = "-dDlLbcpsn?";
    if (kTypes.find(s[0]) == std::string_view::npos)
        return false;
    for (std::size_t i = 1; i < 10; ++i) {
        char c = Lower(s[i]);
        if (c != '-' && c != 'r' && c != 'w' && c != 'x' && c != 's' && c != 't' && c != 'l')
            return false;
    }
    return s.size() == 10 || s[10] == '+' || s[10] == '@' || s[10] == '.';
}

// Matches a date at token I (of Count); Used is the number of tokens the date takes.
bool MatchDate(std::string_view Line, const TToken* Tok, std::size_t I, std::size_t Count, TListTime& t,
               std::size_t& Used)
{
    auto text = [&](std::size_t k) { return Line.substr(Tok[k].Begin, Tok[k].End - Tok[k].Begin); };
    t = TListTime{};
    if (I + 2 < Count) {
        // "Jan 10 12:00", "Jan 10  2000"
        int month = MonthNumber(text(I));
        if (month != 0 && IsDay(text(I + 1)) && (ParseClock(text(I + 2), t) || ParseYear(text(I + 2), t))) {
            t.Month = month;
            t.Day = Number(text(I + 1));
            Used = 3;
            return true;
        }
        t = TListTime{};
        // "10 Jan 12:00" (servers with a day-first locale)
        month = MonthNumber(text(I + 1));
        if (month != 0 && IsDay(text(I)) && (ParseClock(text(I + 2), t) || ParseYear(text(I + 2), t))) {
            t.Month = month;
            t.Day = Number(text(I));
            Used = 3;
            return true;
        }
        t = TListTime{};
    }
    if (I + 1 < Count && ParseIsoDate(text(I), t)) {
        // "2026-12-08 11:27" (ls --time-style=long-iso)
        if (ParseClock(text(I + 1), t)) {
            Used = 2;
            return true;
        }
    }
    t = TListTime{};
    return false;
}

void SetTypeFromAttributes(TListEntry& Entry)
{
    char c = Lower(Entry.Attributes[0]);
    Entry.Type = c == 'd' ? letDirectory : c == 'l' ? letLink : letFile;
}

// Empties an entry for the next line; its strings keep their buffers, so a listing is not
// a few allocations per line.
void ResetEntry(TListEntry& Entry)
{
    Entry.Attributes.clear();
    Entry.Size.clear();
    Entry.Name.clear();
    Entry.Type = letFile;
    Entry.Target.clear();
    Entry.TargetKind = ltkUnknown;
    Entry.Owner.clear();
    Entry.Group.clear();
    Entry.Perm.clear();
    Entry.Modified = TListTime{};
}

void SplitLink(TListEntry& Entry)
{
    if (Entry.Type != letLink)
        return;
    std::size_t arrow = Entry.Name.find(" -> ");
    if (arrow == std::string::npos)
        return;
    Entry.Target.assign(Entry.Name, arrow + 4);
    Entry.Name.resize(arrow);
}

} // namespace

TLineResult ParseUnixLine(std::string_view Line, TListEntry& Entry)
{
    Line = CleanLine(Line);
    std::size_t pos = 0;
    while (pos < Line.size() && IsBlank(Line[pos]))
        ++pos;
    std::size_t permEnd = pos;
    while (permEnd < Line.size() && !IsBlank(Line[permEnd]))
        ++permEnd;
    std::string_view perm = Line.substr(pos, permEnd - pos);
    if (!IsPermissions(perm))
        return lrInvalid;

    // The columns after the permissions, split only as far as they are looked at: the date
    // is searched among the first of them, so the name's words are not split at all.
    constexpr std::size_t kMaxTokens = 12;
    TToken tok[kMaxTokens];
    std::size_t count = 0;
    std::size_t p = permEnd;
    auto have = [&](std::size_t k) {   // true when column k (counted from 0) is there
        while (count <= k && count < kMaxTokens) {
            while (p < Line.size() && IsBlank(Line[p]))
                ++p;
            if (p >= Line.size())
                break;
            std::size_t b = p;
            while (p < Line.size() && !IsBlank(Line[p]))
                ++p;
            tok[count++] = {b, p};
        }
        return count > k;
    };
    auto text = [&](std::size_t k) { return Line.substr(tok[k].Begin, tok[k].End - tok[k].Begin); };

    ResetEntry(Entry);
    Entry.Attributes.assign(perm);
    SetTypeFromAttributes(Entry);

    // The date follows the size: links, owner, [group,] size, date. The owner needs to be
    // there, so the date is not looked for before the third column.
    std::size_t nameFrom = std::string_view::npos;
    // A date after a size first; then a date after no size at all (some servers leave the
    // column empty for what has none).
    for (int pass = 0; pass < 2 && nameFrom == std::string_view::npos; ++pass)
    for (std::size_t i = 2; i < 8 && have(i + 1); ++i) {
        std::size_t used = 0;
        bool sized = AllDigits(text(i - 1));
        if (pass == 0 && !sized)
            continue;
        have(i + 2);   // a date takes up to three columns
        // Straight into the entry (a date not matched leaves it empty, as it was).
        if (!MatchDate(Line, tok, i, count, Entry.Modified, used))
            continue;
        std::size_t sizeIndex = sized ? i - 1 : i;
        if (sized)
            Entry.Size.assign(text(i - 1));
        std::size_t first = AllDigits(text(0)) && sizeIndex >= 2 ? 1 : 0;   // skip the link count
        if (first < sizeIndex)
            Entry.Owner.assign(text(first));
        if (first + 1 < sizeIndex)
            Entry.Group.assign(text(first + 1));
        std::size_t dateEnd = tok[i + used - 1].End;
        // ls separates the name from the date by one blank; everything after it is the name,
        // leading and trailing blanks included.
        if (dateEnd + 1 < Line.size() && IsBlank(Line[dateEnd]))
            nameFrom = dateEnd + 1;
        break;
    }
    if (nameFrom == std::string_view::npos) {
        // No date we know (a month name in another language): the columns as the classic
        // pattern has them: three fields, the size, three fields, the name.
        if (!Entry.Modified.Valid() && have(7) && tok[6].End + 1 < Line.size()) {
            if (AllDigits(text(3)))
                Entry.Size.assign(text(3));
            Entry.Owner.assign(text(1));
            Entry.Group.assign(text(2));
            nameFrom = tok[6].End + 1;
        } else {
            return lrInvalid;
        }
    }
    Entry.Name.assign(Line.substr(nameFrom));
    SplitLink(Entry);
    if (Entry.Name.empty())
        return lrInvalid;
    if (Entry.Type == letLink && !Entry.Target.empty() && Entry.Target.back() == '/')
        Entry.TargetKind = ltkDirectory;
    return lrEntry;
}

TLineResult ParseDosLine(std::string_view Line, TListEntry& Entry)
{
    Line = CleanLine(Line);
    // MM-DD-YY or MM-DD-YYYY
    std::size_t p = 0;
    auto digits = [&](std::size_t n) {
        if (p + n > Line.size() || !AllDigits(Line.substr(p, n)))
            return -1;
        int v = Number(Line.substr(p, n));
        p += n;
        return v;
    };
    TListTime t;
    int month = digits(2);
    if (month < 1 || month > 12 || p >= Line.size() || (Line[p] != '-' && Line[p] != '/'))
        return lrInvalid;
    ++p;
    int day = digits(2);
    if (day < 1 || day > 31 || p >= Line.size() || (Line[p] != '-' && Line[p] != '/'))
        return lrInvalid;
    ++p;
    std::size_t yearBegin = p;
    while (p < Line.size() && IsDigit(Line[p]))
        ++p;
    std::size_t yearLen = p - yearBegin;
    if (yearLen != 2 && yearLen != 4)
        return lrInvalid;
    int year = Number(Line.substr(yearBegin, yearLen));
    if (yearLen == 2)
        year += year < 70 ? 2000 : 1900;   // the window IIS uses for two-digit years
    if (p >= Line.size() || !IsBlank(Line[p]))
        return lrInvalid;
    while (p < Line.size() && IsBlank(Line[p]))
        ++p;
    // HH:MM with AM or PM, or 24-hour
    std::size_t clockBegin = p;
    while (p < Line.size() && (IsDigit(Line[p]) || Line[p] == ':'))
        ++p;
    if (!ParseClock(Line.substr(clockBegin, p - clockBegin), t))
        return lrInvalid;
    if (p + 1 < Line.size() && (Lower(Line[p]) == 'a' || Lower(Line[p]) == 'p') && Lower(Line[p + 1]) == 'm') {
        if (t.Hour < 1 || t.Hour > 12)
            return lrInvalid;
        bool pm = Lower(Line[p]) == 'p';
        t.Hour = t.Hour % 12 + (pm ? 12 : 0);
        p += 2;
    }
    if (p >= Line.size() || !IsBlank(Line[p]))
        return lrInvalid;
    while (p < Line.size() && IsBlank(Line[p]))
        ++p;
    std::size_t fieldBegin = p;
    while (p < Line.size() && !IsBlank(Line[p]))
        ++p;
    std::string_view field = Line.substr(fieldBegin, p - fieldBegin);
    ResetEntry(Entry);
    t.Year = year;
    t.Month = month;
    t.Day = day;
    Entry.Modified = t;
    if (field == "<DIR>" || field == "<dir>") {
        Entry.Type = letDirectory;
        // IIS pads "<DIR>" to its column with ten blanks; a name's own leading blanks follow.
        std::size_t padded = 0;
        while (p < Line.size() && IsBlank(Line[p]) && padded < 10) {
            ++p;
            ++padded;
        }
        if (padded < 10) {
            while (p < Line.size() && IsBlank(Line[p]))
                ++p;
        }
    } else {
        std::string size;
        for (char c : field) {
            if (IsDigit(c))
                size += c;
            else if (c != ',' && c != '.')
                return lrInvalid;   // "1,234" in some locales; nothing else
        }
        if (size.empty())
            return lrInvalid;
        Entry.Size = size;
        // The size is right-aligned: exactly one blank separates it from the name.
        if (p >= Line.size() || !IsBlank(Line[p]))
            return lrInvalid;
        ++p;
    }
    if (p >= Line.size())
        return lrInvalid;
    Entry.Name.assign(Line.substr(p));
    Entry.Attributes = Entry.Type == letDirectory ? "d" : "-";
    return lrEntry;
}

TLineResult ParseMlsdLine(std::string_view Line, TListEntry& Entry)
{
    Line = CleanLine(Line);
    // RFC 3659: facts, each "name=value;", then one blank and the name (which may itself
    // hold ";", "=" and blanks).
    std::size_t blank = Line.find(' ');
    if (blank == std::string_view::npos || blank + 1 >= Line.size())
        return lrInvalid;
    std::string_view facts = Line.substr(0, blank);
    if (facts.empty() || facts.find('=') == std::string_view::npos)
        return lrInvalid;
    ResetEntry(Entry);
    Entry.Name.assign(Line.substr(blank + 1));
    bool haveType = false;
    std::string mode;
    std::size_t p = 0;
    while (p < facts.size()) {
        std::size_t semi = facts.find(';', p);
        std::string_view fact = facts.substr(p, semi == std::string_view::npos ? std::string_view::npos : semi - p);
        p = semi == std::string_view::npos ? facts.size() : semi + 1;
        std::size_t eq = fact.find('=');
        if (eq == std::string_view::npos)
            continue;
        std::string_view key = fact.substr(0, eq);
        std::string_view value = fact.substr(eq + 1);
        if (EqualNoCase(key, "type")) {
            haveType = true;
            if (EqualNoCase(value, "cdir") || EqualNoCase(value, "pdir"))
                return lrSkip;
            if (EqualNoCase(value, "dir")) {
                Entry.Type = letDirectory;
            } else if (value.size() >= 7 && EqualNoCase(value.substr(0, 7), "os.unix")) {
                // "OS.unix=slink:/target" (ProFTPD) or "OS.unix=symlink"
                std::string_view kind = value.size() > 8 ? value.substr(8) : std::string_view();
                if ((kind.size() >= 5 && EqualNoCase(kind.substr(0, 5), "slink"))
                    || (kind.size() >= 7 && EqualNoCase(kind.substr(0, 7), "symlink"))) {
                    Entry.Type = letLink;
                    std::size_t colon = kind.find(':');
                    if (colon != std::string_view::npos)
                        Entry.Target.assign(kind.substr(colon + 1));
                }
            } else {
                Entry.Type = letFile;
            }
        } else if (EqualNoCase(key, "size") || EqualNoCase(key, "sizd")) {
            if (AllDigits(value))
                Entry.Size.assign(value);
        } else if (EqualNoCase(key, "modify")) {
            // YYYYMMDDHHMMSS[.sss], in UTC
            if (value.size() >= 14 && AllDigits(value.substr(0, 14))) {
                TListTime t;
                t.Year = Number(value.substr(0, 4));
                t.Month = Number(value.substr(4, 2));
                t.Day = Number(value.substr(6, 2));
                t.Hour = Number(value.substr(8, 2));
                t.Minute = Number(value.substr(10, 2));
                t.Second = Number(value.substr(12, 2));
                t.Utc = true;
                if (t.Month >= 1 && t.Month <= 12 && t.Day >= 1 && t.Day <= 31 && t.Hour <= 23 && t.Minute <= 59)
                    Entry.Modified = t;
            }
        } else if (EqualNoCase(key, "perm")) {
            Entry.Perm.assign(value);
        } else if (EqualNoCase(key, "unix.mode")) {
            // "0755"; pyftpdlib writes Python's "0o755"
            if (value.size() > 2 && value[0] == '0' && (value[1] == 'o' || value[1] == 'O'))
                value.remove_prefix(2);
            mode.assign(value);
        } else if (EqualNoCase(key, "unix.owner") || (EqualNoCase(key, "unix.uid") && Entry.Owner.empty())) {
            Entry.Owner.assign(value);
        } else if (EqualNoCase(key, "unix.group") || (EqualNoCase(key, "unix.gid") && Entry.Group.empty())) {
            Entry.Group.assign(value);
        }
    }
    if (!haveType && Entry.Name.empty())
        return lrInvalid;
    if (Entry.Name.empty())
        return lrInvalid;
    char typeLetter = Entry.Type == letDirectory ? 'd' : Entry.Type == letLink ? 'l' : '-';
    Entry.Attributes.assign(1, typeLetter);
    if (!mode.empty() && mode.size() <= 6 && std::all_of(mode.begin(), mode.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        unsigned m = 0;
        for (char c : mode)
            m = m * 8 + unsigned(c - '0');
        std::string s = "---------";
        const char* rwx = "rwx";
        for (int i = 0; i < 9; ++i)
            if (m & (1u << (8 - i)))
                s[std::size_t(i)] = rwx[i % 3];
        auto special = [&](unsigned bit, std::size_t at, char set, char unset) {
            if (m & bit)
                s[at] = s[at] == 'x' ? set : unset;
        };
        special(04000, 2, 's', 'S');
        special(02000, 5, 's', 'S');
        special(01000, 8, 't', 'T');
        Entry.Attributes += s;
    }
    if (Entry.Type == letLink && !Entry.Target.empty() && Entry.Target.back() == '/')
        Entry.TargetKind = ltkDirectory;
    return lrEntry;
}

TLineResult ParseListLine(std::string_view Line, TListEntry& Entry)
{
    std::string_view clean = CleanLine(Line);
    std::size_t first = clean.find_first_not_of(" \t");
    if (first != std::string_view::npos && IsDigit(clean[first]) && first == 0)
        return ParseDosLine(clean, Entry);
    return ParseUnixLine(clean, Entry);
}

TLineResult ParseListingLine(TListingSource Source, std::string_view Line, TListEntry& Entry)
{
    return Source == lsMlsd ? ParseMlsdLine(Line, Entry) : ParseListLine(Line, Entry);
}

void ResolveLinkTargets(std::vector<TListEntry>& Entries)
{
    bool anyLink = false;
    for (const TListEntry& e : Entries)
        anyLink = anyLink || (e.Type == letLink && e.TargetKind == ltkUnknown);
    if (!anyLink)
        return;
    std::unordered_map<std::string_view, TListEntryType> kinds;
    for (const TListEntry& e : Entries)
        if (e.Type != letLink)
            kinds.emplace(e.Name, e.Type);
    for (TListEntry& e : Entries) {
        if (e.Type != letLink || e.TargetKind != ltkUnknown)
            continue;
        std::string_view target = e.Target;
        if (target.size() > 2 && target.substr(0, 2) == "./")
            target.remove_prefix(2);
        auto found = kinds.find(target);
        if (found != kinds.end())
            e.TargetKind = found->second == letDirectory ? ltkDirectory : ltkFile;
    }
}

std::vector<std::string_view> SplitListingData(std::string_view Data)
{
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    while (pos < Data.size()) {
        std::size_t lf = Data.find('\n', pos);
        std::size_t next = lf == std::string_view::npos ? Data.size() : lf + 1;
        std::size_t end = lf == std::string_view::npos ? Data.size() : lf;
        if (lf != std::string_view::npos && end > pos && Data[end - 1] == '\r')
            --end;
        lines.push_back(Data.substr(pos, end - pos));
        pos = next;
    }
    return lines;
}

// ---- times ----

namespace {

bool LocalFields(std::time_t t, std::tm& out)
{
    return localtime_r(&t, &out) != nullptr;
}

// Seconds of a local calendar time (mktime with the daylight-saving flag left to the system).
std::time_t LocalSeconds(int year, int month, int day, int hour, int minute)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

} // namespace

bool ResolveListTime(const TListTime& Time, std::time_t Now, TLocalListTime& Out)
{
    if (!Time.Valid())
        return false;
    if (Time.Utc) {
        std::tm tm{};
        tm.tm_year = Time.Year - 1900;
        tm.tm_mon = Time.Month - 1;
        tm.tm_mday = Time.Day;
        tm.tm_hour = Time.Hour < 0 ? 0 : Time.Hour;
        tm.tm_min = Time.Minute;
        tm.tm_sec = Time.Second;
        std::time_t t = timegm(&tm);
        std::tm local{};
        if (!LocalFields(t, local))
            return false;
        Out = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min};
        return true;
    }
    Out.Month = Time.Month;
    Out.Day = Time.Day;
    Out.Hour = Time.Hour < 0 ? 0 : Time.Hour;
    Out.Minute = Time.Hour < 0 ? 0 : Time.Minute;
    if (Time.Year != 0) {
        Out.Year = Time.Year;
        return true;
    }
    // ls shows the time instead of the year for the last six months; the year is the most
    // recent one that does not put the date more than a day into the future (servers' clocks
    // run a little ahead or behind, and time zones differ).
    std::tm now{};
    if (!LocalFields(Now, now))
        return false;
    int year = now.tm_year + 1900;
    if (LocalSeconds(year, Out.Month, Out.Day, Out.Hour, Out.Minute) > Now + 86400)
        --year;
    Out.Year = year;
    return true;
}

std::string FormatListTime(const TListTime& Time, std::time_t Now, char Separator)
{
    TLocalListTime t;
    if (!ResolveListTime(Time, Now, t))
        return "-";
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d%c%02d:%02d", t.Year, t.Month, t.Day, Separator, t.Hour, t.Minute);
    return buf;
}
