// Remote names and paths, and the local containment check.
#include "transfer/RemotePath.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <vector>

namespace transfer {

bool IsPlainName(const std::string& Name)
{
    if (Name.empty() || Name == "." || Name == "..")
        return false;
    for (char c : Name)
        if (c == '/' || c == '\0' || c == '\r' || c == '\n')
            return false;
    return true;
}

std::string JoinRemote(const std::string& Parent, const std::string& Name)
{
    if (Parent.empty())
        return Name;
    if (Parent.back() == '/')
        return Parent + Name;
    return Parent + "/" + Name;
}

std::string RemoteParent(const std::string& Path)
{
    std::string p = Path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    std::size_t slash = p.rfind('/');
    if (slash == std::string::npos)
        return "";
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}

std::string BaseName(const std::string& Path)
{
    std::string p = Path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    std::size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string NormalizeRemote(const std::string& Base, const std::string& Path)
{
    std::string full = !Path.empty() && Path[0] == '/' ? Path : JoinRemote(Base.empty() ? "/" : Base, Path);
    std::vector<std::string> parts;
    std::size_t pos = 0;
    while (pos <= full.size()) {
        std::size_t slash = full.find('/', pos);
        if (slash == std::string::npos)
            slash = full.size();
        std::string part = full.substr(pos, slash - pos);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = slash + 1;
    }
    std::string out;
    for (const auto& part : parts)
        out += "/" + part;
    return out.empty() ? "/" : out;
}

bool RemoteWithin(const std::string& Path, const std::string& Ancestor)
{
    if (Ancestor == "/")
        return true;
    return Path == Ancestor || (Path.size() > Ancestor.size() && Path.compare(0, Ancestor.size(), Ancestor) == 0
                                && Path[Ancestor.size()] == '/');
}

namespace {

// The resolved form of the deepest existing folder of Path, followed by the part of Path
// that does not exist yet.
std::string ResolveExisting(const std::string& Path)
{
    std::string head = Path;
    std::string tail;
    for (;;) {
        char buf[PATH_MAX];
        if (::realpath(head.c_str(), buf))
            return std::string(buf) + tail;
        std::size_t slash = head.rfind('/');
        if (slash == std::string::npos || head.empty())
            return Path;
        tail = head.substr(slash) + tail;
        head = slash == 0 ? "/" : head.substr(0, slash);
        if (head == "/" && slash == 0)
            return tail;
    }
}

} // namespace

bool LocalInside(const std::string& Root, const std::string& Path)
{
    // The destination itself is what the user chose, a link to elsewhere included.
    if (Path == Root)
        return true;
    struct stat st {};
    if (::lstat(Path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return false;
    std::string root = ResolveExisting(Root);
    std::string parent = Path;
    std::size_t slash = parent.rfind('/');
    std::string name = slash == std::string::npos ? parent : parent.substr(slash + 1);
    parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
    std::string resolved = ResolveExisting(parent) + "/" + name;
    return RemoteWithin(NormalizeRemote("/", resolved), NormalizeRemote("/", root));
}

} // namespace transfer
