// The local folder walk: readdir with lstat, links checked against the root.
#include "transfer/LocalWalk.h"

#include "transfer/RemotePath.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace transfer {

namespace {

std::string RealPath(const std::string& Path)
{
    char buf[PATH_MAX];
    return ::realpath(Path.c_str(), buf) ? std::string(buf) : std::string();
}

void Walk(const std::string& Root, const std::string& RealRoot, const std::string& Dir, const std::string& Rel,
          std::vector<std::string>& Chain, std::vector<TLocalEntry>& Out)
{
    DIR* d = ::opendir(Dir.c_str());
    if (!d)
        return;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        std::string path = Dir + "/" + name;
        std::string rel = Rel.empty() ? name : Rel + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        TLocalEntry entry;
        entry.Relative = rel;
        if (S_ISLNK(st.st_mode)) {
            std::string real = RealPath(path);
            if (real.empty()) {
                entry.Problem = "Broken symbolic link";
                Out.push_back(entry);
                continue;
            }
            if (!RemoteWithin(real, RealRoot)) {
                entry.Problem = "Symbolic link leads out of the selected folder";
                Out.push_back(entry);
                continue;
            }
            if (::stat(path.c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode)
                && std::any_of(Chain.begin(), Chain.end(), [&](const std::string& c) { return RemoteWithin(c, real); })) {
                entry.Folder = true;
                entry.Problem = "Symbolic link loop not followed";
                Out.push_back(entry);
                continue;
            }
        }
        if (S_ISDIR(st.st_mode)) {
            entry.Folder = true;
            Out.push_back(entry);
            std::string real = RealPath(path);
            Chain.push_back(real);
            if (Chain.size() < 64)
                Walk(Root, RealRoot, path, rel, Chain, Out);
            Chain.pop_back();
        } else if (S_ISREG(st.st_mode)) {
            entry.Size = st.st_size;
            Out.push_back(entry);
        }
    }
}

} // namespace

std::vector<TLocalEntry> WalkLocalTree(const std::string& Root)
{
    std::vector<TLocalEntry> out;
    std::string real = RealPath(Root);
    if (real.empty())
        return out;
    std::vector<std::string> chain{real};
    Walk(Root, real, Root, "", chain, out);
    return out;
}

} // namespace transfer
