// Fuzzes the listing parsers: any listing, read as LIST and as MLSD. What must hold: a name
// and a link target are bytes of their line, a size is digits, the type is one of the three,
// a time prints as a date or "-", and link resolution keeps the entries.
#include "listing/ListingParsers.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "listing_parsers_fuzz: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (TListingSource source : {lsList, lsMlsd}) {
        std::vector<TListEntry> entries;
        for (std::string_view line : SplitListingData(text)) {
            Check(line.find('\n') == std::string_view::npos, "a line holds its line end");
            TListEntry e;
            if (ParseListingLine(source, line, e) != lrEntry)
                continue;
            Check(!e.Name.empty(), "an entry without a name");
            Check(line.find(e.Name) != std::string_view::npos, "the name is not part of the line");
            Check(e.Name.find('\0') == std::string::npos, "a name holds a NUL");
            Check(e.Target.empty() || line.find(e.Target) != std::string_view::npos, "the target is not part of the line");
            Check(e.Size.find_first_not_of("0123456789") == std::string::npos, "a size with other characters");
            Check(e.Type == letFile || e.Type == letDirectory || e.Type == letLink, "an unknown type");
            Check(!e.Attributes.empty(), "no attributes");
            std::string t = FormatListTime(e.Modified, 1796731200);
            Check(t == "-" || (t.size() >= 16 && t[4] == '-' && t[10] == 'T'), "a time that is no date");
            entries.push_back(std::move(e));
        }
        std::size_t n = entries.size();
        ResolveLinkTargets(entries);
        Check(entries.size() == n, "link resolution changed the entries");
    }
    return 0;
}
