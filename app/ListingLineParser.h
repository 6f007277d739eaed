// The listing line parser on its own (no Qt): the columns of one Unix long-listing line and
// the split of a raw listing into lines, shared by the window and the folder transfers.
#pragma once

#include "regex/RegExpr.h"

#include <string>
#include <string_view>
#include <vector>

// The columns a listing line yields, as bytes.
struct TListingEntry {
    std::string Attributes;   // the ten-character attribute string
    std::string Size;         // decimal digits, may be empty
    std::string Name;         // the rest of the line after the date columns
};

// Matches listing lines with one compiled pattern. Create one per listing; not thread-safe.
class TListingParser {
public:
    // Compiles the listing pattern.
    TListingParser();

    // The listing pattern: attribute string (group 1), three fields, the size (group 2),
    // three more fields, the first character run of the name (group 3).
    static std::string Pattern();

    // Fills entry from line and returns true when the line matches. The name runs from the
    // start of group 3 to the end of the line (a NUL ends the line; trailing CR and LF are
    // not part of it), so names with blanks stay whole.
    bool Parse(const std::string& line, TListingEntry& entry);

private:
    TRegExpr FExpr;
};

// Splits the raw listing into lines ended by LF or CR LF; a last line without a line end
// counts, an empty tail after the last line end does not.
std::vector<std::string> SplitListingLines(std::string_view data);
