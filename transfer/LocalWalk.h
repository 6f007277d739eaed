// The walk of a local folder tree for an upload.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace transfer {

// One entry below the walked folder.
struct TLocalEntry {
    std::string Relative;      // path below the root, "/"-separated, never empty
    bool Folder = false;
    std::int64_t Size = 0;
    std::string Problem;       // why the entry cannot be sent ("" when it can)
};

// Every folder and file below Root, parents before their contents. Symbolic links are
// followed only when they point inside Root and not to a folder above themselves, so the
// walk neither leaves the selected tree nor loops; other links come back with a Problem.
std::vector<TLocalEntry> WalkLocalTree(const std::string& Root);

} // namespace transfer
