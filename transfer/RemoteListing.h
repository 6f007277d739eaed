// The entries of one remote folder as the folder walk needs them, read from a raw LIST
// answer through the shared listing parsers (Unix in all its forms, DOS/IIS).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace transfer {

// What a listing line says about one name.
enum class TRemoteKind { File, Folder, Link };

// One entry of a remote folder.
struct TRemoteEntry {
    std::string Name;          // as listed (for a link: the part before " -> ")
    TRemoteKind Kind = TRemoteKind::File;
    std::int64_t Size = -1;    // -1 when the line gives none
    std::string LinkTarget;    // a link's target as listed ("" when not shown)
};

// The entries of a raw LIST answer, in listed order. Lines that are no entries ("total 3")
// are left out; names are not checked here (see IsPlainName).
std::vector<TRemoteEntry> ParseRemoteListing(std::string_view Data);

} // namespace transfer
