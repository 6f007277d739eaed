// Raw LIST answers to folder-walk entries through the window's listing line parser.
#include "transfer/RemoteListing.h"

#include "app/ListingLineParser.h"

namespace transfer {

std::vector<TRemoteEntry> ParseRemoteListing(std::string_view Data)
{
    std::vector<TRemoteEntry> out;
    TListingParser parser;
    TListingEntry entry;
    for (std::string line : SplitListingLines(Data)) {
        // The window's parser knows files and folders only; a link line is read as a file
        // line and marked afterwards, so links can be followed (or deleted) as links.
        bool link = !line.empty() && (line[0] == 'l' || line[0] == 'L');
        if (link)
            line[0] = '-';
        if (!parser.Parse(line, entry))
            continue;
        TRemoteEntry e;
        e.Name = entry.Name;
        // The line parser ends a line at a NUL; the bytes after it belong to the name the
        // server sent, which is then no plain name and must be refused, not shortened.
        if (std::size_t nul = line.find('\0'); nul != std::string::npos && !e.Name.empty()) {
            std::size_t start = line.rfind(e.Name, nul);
            if (start != std::string::npos && start + e.Name.size() == nul)
                e.Name = line.substr(start);
        }
        if (link) {
            e.Kind = TRemoteKind::Link;
            std::size_t arrow = e.Name.find(" -> ");
            if (arrow != std::string::npos) {
                e.LinkTarget = e.Name.substr(arrow + 4);
                e.Name.resize(arrow);
            }
        } else if (!entry.Attributes.empty() && (entry.Attributes[0] == 'd' || entry.Attributes[0] == 'D')) {
            e.Kind = TRemoteKind::Folder;
        }
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
