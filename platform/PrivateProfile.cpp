// The settings-file reader/writer: parsing into lines, look-up without regard to case,
// and the all-or-nothing rewrite of the file.
#include "platform/PrivateProfile.h"

#include <QString>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// One line of the file as it stands, with what it means.
struct TLine {
    enum TKind { Other, Section, Key };
    std::string Text;     // the line without its line break
    TKind Kind = Other;
    std::string Name;     // section or key name, blanks removed
    std::string Value;    // key value, blanks and one pair of quotes removed
};

struct TDocument {
    std::vector<TLine> Lines;
    std::string LineBreak = "\n";   // CR LF when the file used it (hand-written on Windows)
};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& text)
{
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && IsBlank(text[first]))
        ++first;
    while (last > first && IsBlank(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

bool IsQuote(char c)
{
    return c == '"' || c == '\'';
}

bool QuotedWhole(const std::string& text)
{
    return text.size() >= 2 && IsQuote(text.front()) && text.back() == text.front();
}

bool IsAscii(const std::string& text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Names are compared as the user reads them: without regard to case, also beyond ASCII.
bool SameName(const std::string& a, const std::string& b)
{
    if (IsAscii(a) && IsAscii(b)) {
        return a.size() == b.size()
               && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                      return std::tolower(static_cast<unsigned char>(x))
                             == std::tolower(static_cast<unsigned char>(y));
                  });
    }
    return QString::fromLocal8Bit(a.data(), qsizetype(a.size()))
               .compare(QString::fromLocal8Bit(b.data(), qsizetype(b.size())),
                        Qt::CaseInsensitive)
           == 0;
}

TLine ParseLine(std::string text)
{
    TLine line;
    line.Text = std::move(text);
    std::string trimmed = Trim(line.Text);
    if (!trimmed.empty() && trimmed.front() == '[') {
        // Up to the last "]", so that a name holding "]" is read back whole.
        std::size_t close = trimmed.rfind(']');
        std::size_t end = close == std::string::npos || close == 0 ? trimmed.size() : close;
        line.Kind = TLine::Section;
        line.Name = Trim(trimmed.substr(1, end - 1));
        return line;
    }
    if (trimmed.empty() || trimmed.front() == ';')
        return line;
    std::size_t eq = trimmed.find('=');
    if (eq == std::string::npos || eq == 0)
        return line;
    line.Kind = TLine::Key;
    line.Name = Trim(trimmed.substr(0, eq));
    line.Value = Trim(trimmed.substr(eq + 1));
    if (QuotedWhole(line.Value))
        line.Value = line.Value.substr(1, line.Value.size() - 2);
    return line;
}

// Reads the whole file: 0, or the errno of the failure (ENOENT for a missing file).
int ReadFileBytes(const std::string& path, std::string& data)
{
    data.clear();
    // Non-blocking open: a FIFO put where the file should be must not hang the program.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return EISDIR;
    }
    char buffer[16384];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            int error = errno;
            ::close(fd);
            return error;
        }
        if (got == 0)
            break;
        data.append(buffer, std::size_t(got));
    }
    ::close(fd);
    return 0;
}

TDocument ParseDocument(const std::string& data)
{
    TDocument doc;
    std::size_t firstBreak = data.find('\n');
    if (firstBreak != std::string::npos && firstBreak > 0 && data[firstBreak - 1] == '\r')
        doc.LineBreak = "\r\n";
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = data.find('\n', start);
        std::size_t next = end == std::string::npos ? data.size() : end + 1;
        if (end == std::string::npos)
            end = data.size();
        std::size_t stop = end;
        // Every CR before the line end goes, not just one: a file whose CR LF lines were
        // converted twice ends them in CR CR LF, and a value must not keep a CR that the
        // next rewrite (with single line ends) would drop.
        while (stop > start && data[stop - 1] == '\r')
            --stop;
        doc.Lines.push_back(ParseLine(data.substr(start, stop - start)));
        start = next;
    }
    return doc;
}

// Loads for reading: a file that cannot be read reads as empty.
TDocument LoadForRead(const std::string& path)
{
    std::string data;
    if (ReadFileBytes(path, data) != 0)
        return {};
    return ParseDocument(data);
}

[[noreturn]] void FailWrite(const std::string& path)
{
    throw EIniFileException("Unable to write to " + path);
}

// Loads for a change: a missing file is empty, but a file that exists and cannot be read
// must not be replaced by what little we know of it.
TDocument LoadForWrite(const std::string& path)
{
    std::string data;
    int error = ReadFileBytes(path, data);
    if (error == ENOENT)
        return {};
    if (error != 0)
        FailWrite(path);
    return ParseDocument(data);
}

// Index of the header of the first section of that name, or npos.
std::size_t FindSection(const TDocument& doc, const std::string& section)
{
    std::string wanted = Trim(section);
    for (std::size_t i = 0; i < doc.Lines.size(); ++i)
        if (doc.Lines[i].Kind == TLine::Section && SameName(doc.Lines[i].Name, wanted))
            return i;
    return std::string::npos;
}

// One past the last line of the section whose header is at index header.
std::size_t SectionEnd(const TDocument& doc, std::size_t header)
{
    std::size_t i = header + 1;
    while (i < doc.Lines.size() && doc.Lines[i].Kind != TLine::Section)
        ++i;
    return i;
}

bool HasLineBreakOrNul(const std::string& text)
{
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// A value as it must stand in the file to be read back unchanged: blanks at either end
// or a pair of quotes around it would be stripped on reading, so such a value is quoted.
std::string EncodeValue(const std::string& value)
{
    if (value.empty())
        return value;
    if (IsBlank(value.front()) || IsBlank(value.back()) || QuotedWhole(value))
        return '"' + value + '"';
    return value;
}

// Replaces the file by content, all or nothing (see the class comment for the modes).
void SaveDocument(const std::string& path, const TDocument& doc)
{
    std::string content;
    for (const TLine& line : doc.Lines)
        content += line.Text + doc.LineBreak;

    // Write where the file really is, so that a link to it stays a link.
    std::string target = path;
    struct stat st {};
    bool exists = ::lstat(path.c_str(), &st) == 0;
    if (exists && S_ISLNK(st.st_mode)) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (!resolved)
            FailWrite(path);
        target = resolved;
        std::free(resolved);
        if (::stat(target.c_str(), &st) != 0)
            FailWrite(path);
    }
    mode_t mode = 0600;
    if (exists) {
        // A read-only file stays unwritten, whoever we are: its owner chose so.
        if (!S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0
            || ::access(target.c_str(), W_OK) != 0)
            FailWrite(path);
        mode = st.st_mode & 0600;
    }

    std::size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? std::string(".")
                         : slash == 0              ? std::string("/")
                                                   : target.substr(0, slash);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = (folder == "/" ? std::string() : folder) + "/." + base + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0)
        FailWrite(path);
    bool ok = ::fchmod(fd, mode) == 0;
    if (ok && exists && ::geteuid() == 0)
        (void)!::fchown(fd, st.st_uid, st.st_gid);   // root keeps the user's file the user's
    std::size_t done = 0;
    while (ok && done < content.size()) {
        ssize_t put = ::write(fd, content.data() + done, content.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            ok = false;
        else
            done += std::size_t(put);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(name.data(), target.c_str()) != 0) {
        ::unlink(name.data());
        FailWrite(path);
    }
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);   // the rename itself survives a crash only once its folder is synced
        ::close(dir);
    }
}

std::string CutToBuffer(std::string text)
{
    const std::size_t limit = ProfileStringBufferSize - 1;
    if (text.size() <= limit)
        return text;
    std::size_t cut = limit;
    // Never end inside a UTF-8 sequence: drop the character the buffer split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    if (cut > 0 && limit - cut < 4)
        text.resize(cut);
    else
        text.resize(limit);
    return text;
}

} // namespace

bool ParseProfileInteger(const std::string& text, std::int32_t& value)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    bool hex = text.size() - i > 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X');
    if (hex)
        i += 2;
    if (i >= text.size())
        return false;
    std::uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        magnitude = magnitude * (hex ? 16 : 10) + std::uint64_t(digit);
        if (magnitude > 0xFFFFFFFFull)
            return false;
    }
    if (hex) {
        // Hexadecimal spells the 32 bits: 0xFFFFFFFF is -1.
        std::uint32_t bits = std::uint32_t(magnitude);
        if (negative)
            bits = 0u - bits;
        value = std::int32_t(bits);
        return true;
    }
    if (negative ? magnitude > 0x80000000ull : magnitude > 0x7FFFFFFFull)
        return false;
    value = negative ? std::int32_t(-std::int64_t(magnitude)) : std::int32_t(magnitude);
    return true;
}

TPrivateProfile::TPrivateProfile(std::string fileName) : FFileName(std::move(fileName)) {}

std::string TPrivateProfile::ReadString(const std::string& section, const std::string& key,
                                        const std::string& defaultValue) const
{
    TDocument doc = LoadForRead(FFileName);
    std::size_t header = FindSection(doc, section);
    if (header != std::string::npos) {
        std::string wanted = Trim(key);
        std::size_t end = SectionEnd(doc, header);
        for (std::size_t i = header + 1; i < end; ++i)
            if (doc.Lines[i].Kind == TLine::Key && SameName(doc.Lines[i].Name, wanted))
                return CutToBuffer(doc.Lines[i].Value);
    }
    return CutToBuffer(defaultValue);
}

std::int32_t TPrivateProfile::ReadInteger(const std::string& section, const std::string& key,
                                          std::int32_t defaultValue) const
{
    std::string text = ReadString(section, key, std::string());
    std::int32_t value = defaultValue;
    if (!ParseProfileInteger(text, value))
        return defaultValue;
    return value;
}

std::vector<std::string> TPrivateProfile::ReadSections() const
{
    TDocument doc = LoadForRead(FFileName);
    std::vector<std::string> names;
    for (const TLine& line : doc.Lines) {
        if (line.Kind != TLine::Section)
            continue;
        bool seen = std::any_of(names.begin(), names.end(),
                                [&](const std::string& name) { return SameName(name, line.Name); });
        if (!seen)
            names.push_back(line.Name);
    }
    return names;
}

bool TPrivateProfile::SectionExists(const std::string& section) const
{
    return FindSection(LoadForRead(FFileName), section) != std::string::npos;
}

void TPrivateProfile::WriteString(const std::string& section, const std::string& key,
                                  const std::string& value)
{
    // What the format cannot hold would come back as other sections or keys.
    std::string keyName = Trim(key);
    if (HasLineBreakOrNul(section) || HasLineBreakOrNul(key) || HasLineBreakOrNul(value)
        || keyName.empty() || keyName.find('=') != std::string::npos || keyName.front() == '['
        || keyName.front() == ';')
        FailWrite(FFileName);

    TDocument doc = LoadForWrite(FFileName);
    TLine line = ParseLine(keyName + "=" + EncodeValue(value));
    std::size_t header = FindSection(doc, section);
    if (header == std::string::npos) {
        if (!doc.Lines.empty() && !Trim(doc.Lines.back().Text).empty())
            doc.Lines.push_back(TLine{});
        doc.Lines.push_back(ParseLine("[" + Trim(section) + "]"));
        doc.Lines.push_back(line);
    } else {
        std::size_t end = SectionEnd(doc, header);
        std::size_t lastKey = header;
        std::size_t found = std::string::npos;
        for (std::size_t i = header + 1; i < end; ++i) {
            if (doc.Lines[i].Kind != TLine::Key)
                continue;
            lastKey = i;
            if (found == std::string::npos && SameName(doc.Lines[i].Name, keyName))
                found = i;
        }
        if (found != std::string::npos)
            doc.Lines[found] = ParseLine(doc.Lines[found].Name + "=" + EncodeValue(value));
        else
            doc.Lines.insert(doc.Lines.begin() + std::ptrdiff_t(lastKey + 1), line);
    }
    SaveDocument(FFileName, doc);
}

void TPrivateProfile::EraseSection(const std::string& section)
{
    if (HasLineBreakOrNul(section))
        FailWrite(FFileName);
    TDocument doc = LoadForWrite(FFileName);
    bool erased = false;
    for (std::size_t header = FindSection(doc, section); header != std::string::npos;
         header = FindSection(doc, section)) {
        doc.Lines.erase(doc.Lines.begin() + std::ptrdiff_t(header),
                        doc.Lines.begin() + std::ptrdiff_t(SectionEnd(doc, header)));
        erased = true;
    }
    if (!erased)
        return;
    while (!doc.Lines.empty() && Trim(doc.Lines.back().Text).empty())
        doc.Lines.pop_back();
    SaveDocument(FFileName, doc);
}

} // namespace platform
