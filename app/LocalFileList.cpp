// Reading a directory's files under a mask, the sorted names and their selection.
#include "app/LocalFileList.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace {

char FoldCase(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Wildcard match; a mismatch after a '*' retries one character further on from that
// star only, which keeps the work linear in practice and never recursive.
bool WildMatch(const char* name, size_t nameLen, const char* pat, size_t patLen)
{
    size_t n = 0, p = 0;
    size_t starP = SIZE_MAX, starN = 0;
    while (n < nameLen) {
        if (p < patLen && pat[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < patLen && (pat[p] == '?' || FoldCase(pat[p]) == FoldCase(name[n]))) {
            ++p;
            ++n;
        } else if (starP != SIZE_MAX) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < patLen && pat[p] == '*')
        ++p;
    return p == patLen;
}

std::string Trimmed(const std::string& s, size_t from, size_t to)
{
    while (from < to && (s[from] == ' ' || s[from] == '\t'))
        ++from;
    while (to > from && (s[to - 1] == ' ' || s[to - 1] == '\t'))
        --to;
    return s.substr(from, to - from);
}

std::vector<std::string> SplitMask(const std::string& mask)
{
    std::vector<std::string> patterns;
    size_t start = 0;
    while (start <= mask.size()) {
        size_t end = mask.find(';', start);
        if (end == std::string::npos)
            end = mask.size();
        std::string pattern = Trimmed(mask, start, end);
        if (!pattern.empty())
            patterns.push_back(std::move(pattern));
        start = end + 1;
    }
    return patterns;
}

std::string CurrentDirectory()
{
    std::string buffer(PATH_MAX, '\0');
    if (!::getcwd(buffer.data(), buffer.size()))
        return {};
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

// Regular files and links to them are listed; folders, devices, pipes and sockets are
// not (reading a pipe for an upload would block the program).
bool IsListedFile(int dirFd, const dirent* entry)
{
    switch (entry->d_type) {
    case DT_REG:
        return true;
    case DT_LNK:
    case DT_UNKNOWN: {
        struct stat st {};
        return ::fstatat(dirFd, entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
    }
    default:
        return false;
    }
}

} // namespace

bool MatchesFilePattern(const std::string& name, const std::string& pattern)
{
    if (WildMatch(name.data(), name.size(), pattern.data(), pattern.size()))
        return true;
    // A trailing ".*" also stands for "no extension at all", so "*.*" lists every file
    // and "readme.*" finds "readme".
    if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0)
        return WildMatch(name.data(), name.size(), pattern.data(), pattern.size() - 2);
    return false;
}

bool MatchesFileMask(const std::string& name, const std::string& mask)
{
    std::vector<std::string> patterns = SplitMask(mask);
    if (patterns.empty())
        return true;
    return std::any_of(patterns.begin(), patterns.end(),
                       [&](const std::string& p) { return MatchesFilePattern(name, p); });
}

bool FileNameLess(const std::string& a, const std::string& b)
{
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char x = FoldCase(a[i]), y = FoldCase(b[i]);
        if (x != y)
            return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b;
}

TLocalFileList::TLocalFileList() : FDirectory(CurrentDirectory())
{
}

void TLocalFileList::SetDirectory(const std::string& dir)
{
    if (dir == FDirectory)
        return;
    FDirectory = dir;
    // Relative names anywhere in the program then mean this directory. A directory that
    // cannot be entered simply lists nothing when read; there is no one to tell.
    if (!FDirectory.empty() && ::chdir(FDirectory.c_str()) != 0) {
    }
    FStale = true;
}

void TLocalFileList::SetMask(const std::string& mask)
{
    if (mask == FMask)
        return;
    FMask = mask;
    FStale = true;
}

void TLocalFileList::SetShowHidden(bool show)
{
    if (show == FShowHidden)
        return;
    FShowHidden = show;
    FStale = true;
}

std::vector<TLocalEntry> ReadLocalFolders(const std::string& path, bool showHidden)
{
    std::vector<TLocalEntry> folders;
    DIR* dir = path.empty() ? nullptr : ::opendir(path.c_str());
    if (!dir)
        return folders;
    const int fd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        if (name[0] == '.' && !showHidden)
            continue;
        if (entry->d_type != DT_DIR && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
            continue;
        struct stat st {};
        if (::fstatat(fd, name, &st, 0) != 0 || !S_ISDIR(st.st_mode))
            continue;
        folders.push_back({name, 0, static_cast<long long>(st.st_mtime)});
    }
    ::closedir(dir);
    std::sort(folders.begin(), folders.end(),
              [](const TLocalEntry& a, const TLocalEntry& b) { return FileNameLess(a.Name, b.Name); });
    return folders;
}

bool StatLocalEntry(const std::string& path, TLocalEntry& entry)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    entry.Size = S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size) : 0;
    entry.Modified = static_cast<long long>(st.st_mtime);
    return true;
}

void TLocalFileList::Update()
{
    Read();
}

void TLocalFileList::EnsureRead() const
{
    if (FStale)
        Read();
}

void TLocalFileList::Read() const
{
    FStale = false;
    FNames.clear();
    FSelected.clear();
    FItemIndex = -1;
    if (FDirectory.empty())
        return;
    DIR* dir = ::opendir(FDirectory.c_str());
    if (!dir)
        return;
    const std::vector<std::string> patterns = SplitMask(FMask);
    auto matches = [&](const std::string& name) {
        return patterns.empty()
               || std::any_of(patterns.begin(), patterns.end(),
                              [&](const std::string& p) { return MatchesFilePattern(name, p); });
    };
    const int fd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        std::string name(entry->d_name);
        if (!FShowHidden && name[0] == '.')
            continue;
        // The mask first: it is cheaper than the stat that a link needs.
        if (matches(name) && IsListedFile(fd, entry))
            FNames.push_back(std::move(name));
    }
    ::closedir(dir);
    std::sort(FNames.begin(), FNames.end(), FileNameLess);
    FSelected.assign(FNames.size(), 0);
}

int TLocalFileList::Count() const
{
    EnsureRead();
    return static_cast<int>(FNames.size());
}

const std::string& TLocalFileList::Name(int index) const
{
    EnsureRead();
    return FNames[static_cast<size_t>(index)];
}

const std::vector<std::string>& TLocalFileList::Names() const
{
    EnsureRead();
    return FNames;
}

int TLocalFileList::IndexOf(const std::string& name) const
{
    EnsureRead();
    auto it = std::lower_bound(FNames.begin(), FNames.end(), name, FileNameLess);
    if (it == FNames.end() || *it != name)
        return -1;
    return static_cast<int>(it - FNames.begin());
}

std::string TLocalFileList::FullPath(const std::string& name) const
{
    // The root directory already ends in the separator.
    if (!FDirectory.empty() && FDirectory.back() == '/')
        return FDirectory + name;
    return FDirectory + "/" + name;
}

bool TLocalFileList::Selected(int index) const
{
    EnsureRead();
    return index >= 0 && index < static_cast<int>(FSelected.size())
           && FSelected[static_cast<size_t>(index)];
}

void TLocalFileList::SetSelected(int index, bool selected)
{
    EnsureRead();
    if (index >= 0 && index < static_cast<int>(FSelected.size()))
        FSelected[static_cast<size_t>(index)] = selected ? 1 : 0;
}

void TLocalFileList::ClearSelection()
{
    EnsureRead();
    std::fill(FSelected.begin(), FSelected.end(), 0);
}

int TLocalFileList::SelCount() const
{
    EnsureRead();
    return static_cast<int>(std::count(FSelected.begin(), FSelected.end(), 1));
}

std::vector<std::string> TLocalFileList::SelectedNames() const
{
    EnsureRead();
    std::vector<std::string> names;
    for (size_t i = 0; i < FNames.size(); ++i)
        if (FSelected[i])
            names.push_back(FNames[i]);
    return names;
}

int TLocalFileList::ItemIndex() const
{
    EnsureRead();
    return FItemIndex;
}

void TLocalFileList::SetItemIndex(int index)
{
    EnsureRead();
    FItemIndex = (index >= 0 && index < static_cast<int>(FNames.size())) ? index : -1;
}

std::string TLocalFileList::FileName() const
{
    int index = ItemIndex();
    return index < 0 ? std::string() : FullPath(Name(index));
}
