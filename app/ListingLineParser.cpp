// Listing lines to their columns.
#include "app/ListingLineParser.h"

TListingParser::TListingParser()
{
    FExpr.SetExpression(Pattern());
}

std::string TListingParser::Pattern()
{
    return R"re(([dD\-][rR\-][wW\-][xX\-][rR\-][wW\-][xX\-][rR-][wW\-][xX\-]))re"
           R"re(\s*\S*\s*\S*\s*\S*\s*)re"
           R"re((\d*))re"
           R"re(\s*\S*\s*\S*\s*\S*\s*)re"
           R"re((\S*))re";
}

bool TListingParser::Parse(const std::string& line, TListingEntry& entry)
{
    if (!FExpr.Exec(line))
        return false;
    entry.Attributes = FExpr.Match(1);
    entry.Size = FExpr.Match(2);
    // Group 3 stops at the first blank, but a name may hold blanks ("my file.txt"): the
    // name is everything from where group 3 begins to the end of the line, or a later
    // download, delete or rename would act on another file.
    const std::string& input = FExpr.InputString();
    std::ptrdiff_t start = FExpr.GroupStart(3);
    if (start < 0) {
        entry.Name = FExpr.Match(3);
        return true;
    }
    std::size_t end = input.find('\0', static_cast<std::size_t>(start));
    if (end == std::string::npos)
        end = input.size();
    while (end > static_cast<std::size_t>(start) && (input[end - 1] == '\r' || input[end - 1] == '\n'))
        --end;
    entry.Name.assign(input, static_cast<std::size_t>(start), end - static_cast<std::size_t>(start));
    return true;
}

std::vector<std::string> SplitListingLines(std::string_view data)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < data.size()) {
        std::size_t lf = data.find('\n', pos);
        std::size_t next = lf == std::string_view::npos ? data.size() : lf + 1;
        std::size_t end = lf == std::string_view::npos ? data.size() : lf;
        if (lf != std::string_view::npos && end > pos && data[end - 1] == '\r')
            --end;
        lines.emplace_back(data.substr(pos, end - pos));
        pos = next;
    }
    return lines;
}
