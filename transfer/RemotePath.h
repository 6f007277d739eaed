// Paths of a folder transfer: which remote names may be used at all, how remote paths are
// joined and normalised, and whether a local path stays inside its destination folder.
#pragma once

#include <string>

namespace transfer {

// True for a name that is one plain path component: not empty, not "." or "..", and free
// of "/", NUL, CR and LF. Anything else from a server is refused, never followed: sent in
// a command or joined to a path it would act on another file than the one listed.
bool IsPlainName(const std::string& Name);

// Parent + "/" + Name, without doubling a trailing "/" of Parent.
std::string JoinRemote(const std::string& Parent, const std::string& Name);

// The folder holding Path ("/a/b" -> "/a", "/a" -> "/", "a" -> "").
std::string RemoteParent(const std::string& Path);

// The last component of a remote or local path ("/a/b/" -> "b").
std::string BaseName(const std::string& Path);

// An absolute remote path with "." and ".." resolved and repeated "/" folded; a relative
// Path is taken from Base first. The result never climbs above "/".
std::string NormalizeRemote(const std::string& Base, const std::string& Path);

// True when Path is Ancestor itself or lies below it (both normalised absolute paths).
bool RemoteWithin(const std::string& Path, const std::string& Ancestor);

// True when the local Path (which need not exist yet) stays inside Root once symbolic links
// of its existing folders are resolved, and Path itself is no symbolic link: writing there
// cannot reach anything outside the destination the user chose.
bool LocalInside(const std::string& Root, const std::string& Path);

} // namespace transfer
