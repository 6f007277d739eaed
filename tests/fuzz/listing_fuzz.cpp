// Fuzzes the remote listing: an arbitrary listing file is split into lines, each line goes
// through the listing parser into a remote row, and the rows are sorted
// by every column. What must hold: parsed fields are what the pattern allows, a row gives
// back the listed name byte for byte, and the order of the list is a consistent order.
#include "app/ByteText.h"
#include "app/ListingParser.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "listing_fuzz: %s\n", what);
        std::abort();
    }
}

int Sign(int v)
{
    return (v > 0) - (v < 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // Bytes of any kind survive the trip through the window's text.
    Check(BytesFromText(TextFromBytes(text)) == text, "bytes do not survive the text round trip");

    const std::vector<std::string> lines = SplitListingLines(text);
    std::size_t total = 0;
    for (const std::string& line : lines) {
        Check(line.find('\n') == std::string::npos, "a line holds its line end");
        total += line.size();
    }
    Check(total <= size, "the lines hold more bytes than the file");

    TListingParser parser;
    std::vector<TFileListItem> rows{ParentDirItem()};
    for (const std::string& line : lines) {
        if (rows.size() > 64)
            break;   // the order checks below are quadratic
        TListingEntry entry;
        if (!parser.Parse(line, entry))
            continue;
        Check(!entry.Attributes.empty() && entry.Attributes.size() <= 11, "attributes of a wrong length");
        Check(entry.Size.find_first_not_of("0123456789") == std::string::npos, "a size with other characters");
        Check(line.find(entry.Name) != std::string::npos, "the name is not part of the line");
        Check(entry.Name.find('\0') == std::string::npos, "a name holds a NUL");
        TFileListItem row = RemoteItemFromEntry(entry);
        Check(RemoteItemName(row) == entry.Name, "the row does not give back the listed name");
        Check(IsRemoteDirectory(row) == (entry.Attributes[0] == 'd' || entry.Attributes[0] == 'D'),
              "the directory test disagrees with the attributes");
        Check(RemoteSizeValue(RemoteItemSize(row)) >= 0, "a negative size");
        rows.push_back(std::move(row));
    }

    // A sort needs an order: antisymmetric and transitive for every column.
    for (int column = rcName; column <= rcAttributes; ++column) {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            Check(CompareRemoteItems(rows[i], rows[i], column) == 0, "a row differs from itself");
            for (std::size_t j = i + 1; j < rows.size(); ++j)
                Check(Sign(CompareRemoteItems(rows[i], rows[j], column))
                          == -Sign(CompareRemoteItems(rows[j], rows[i], column)),
                      "the order is not antisymmetric");
        }
        std::vector<TFileListItem> sorted = rows;
        std::stable_sort(sorted.begin(), sorted.end(), [column](const TFileListItem& a, const TFileListItem& b) {
            return CompareRemoteItems(a, b, column) < 0;
        });
        for (std::size_t i = 1; i < sorted.size(); ++i)
            Check(CompareRemoteItems(sorted[i - 1], sorted[i], column) <= 0, "the sorted list is out of order");
        Check(IsParentDirItem(sorted.front()), "the parent row is not first");
    }
    return 0;
}
