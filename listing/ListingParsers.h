// Parsers of remote directory listings: Unix long-listing lines in the forms servers send
// them, DOS/IIS lines, and MLSD fact lines, each into one TListEntry.
#pragma once

#include "listing/ListEntry.h"

#include <string_view>
#include <vector>

// Where a listing came from: a LIST answer or an MLSD answer.
enum TListingSource {
    lsList,
    lsMlsd,
};

// What a line gave.
enum TLineResult {
    lrEntry,     // an entry was filled in
    lrSkip,      // a line that is no entry and no error (MLSD's own and parent directory)
    lrInvalid,   // a line not understood
};

// A Unix long-listing line: permissions (with s, S, t, T and a trailing + or @), links,
// numeric or named owner and group (the group may be missing), size, a date with a year or
// a time ("Jan 10 12:00", "Jan 10  2000", "10 Jan 12:00", "2026-12-08 11:27"), then the name
// after one blank, kept whole; a link's " -> target" goes to Target.
TLineResult ParseUnixLine(std::string_view Line, TListEntry& Entry);
// A DOS/IIS line: "12-08-26  11:27AM  <DIR>  name" or "12-08-26  11:27AM  1234 name".
TLineResult ParseDosLine(std::string_view Line, TListEntry& Entry);
// An MLSD line: "fact=value;fact=value; name" (RFC 3659). The facts type, size (or sizd),
// modify, perm, unix.mode, unix.owner and unix.group are used; "cdir" and "pdir" are skipped.
TLineResult ParseMlsdLine(std::string_view Line, TListEntry& Entry);
// A LIST line in any of the forms above.
TLineResult ParseListLine(std::string_view Line, TListEntry& Entry);
// One line of a listing of the given source.
TLineResult ParseListingLine(TListingSource Source, std::string_view Line, TListEntry& Entry);

// Settles the TargetKind of the links of one listing where the listing itself tells: a
// target ending in "/" is a directory; a target naming an entry of the same listing takes
// that entry's kind.
void ResolveLinkTargets(std::vector<TListEntry>& Entries);

// The listing data split into lines ended by LF or CR LF; a last line without a line end
// counts, an empty tail after the last line end does not.
std::vector<std::string_view> SplitListingData(std::string_view Data);
