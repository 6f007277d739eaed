// Raw LIST answers to folder-walk entries through the shared listing parsers.
#include "transfer/RemoteListing.h"

#include "listing/ListingParsers.h"

namespace transfer {

std::vector<TRemoteEntry> ParseRemoteListing(std::string_view Data)
{
    std::vector<TRemoteEntry> out;
    for (std::string_view line : SplitListingData(Data)) {
        TListEntry entry;
        if (ParseListLine(line, entry) != lrEntry)
            continue;
        TRemoteEntry e;
        e.Name = entry.Name;
        // A parser may end a line at a NUL; the bytes after it belong to the name the server
        // sent, which is then no plain name and must be refused, not shortened.
        if (std::size_t nul = line.find('\0'); nul != std::string_view::npos && !e.Name.empty()) {
            std::size_t start = line.rfind(e.Name, nul);
            if (start != std::string_view::npos && start + e.Name.size() == nul) {
                std::string_view rest = line.substr(start);
                std::size_t arrow = entry.Type == letLink ? rest.find(" -> ") : std::string_view::npos;
                e.Name.assign(rest.substr(0, arrow));
            }
        }
        e.Kind = entry.Type == letLink ? TRemoteKind::Link
                 : entry.Type == letDirectory ? TRemoteKind::Folder
                                              : TRemoteKind::File;
        e.LinkTarget = entry.Target;
        if (!entry.Size.empty() && entry.Size.size() < 19) {
            e.Size = 0;
            for (char c : entry.Size)
                e.Size = e.Size * 10 + (c - '0');
        }
        out.push_back(std::move(e));
    }
    return out;
}

} // namespace transfer
