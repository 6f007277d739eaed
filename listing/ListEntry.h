// One entry of a remote directory listing, whatever format the server sent it in, and the
// times listings carry (with or without a year, with or without a time of day, local or UTC).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// A modification time as a listing gives it. Unix LIST lines give either a year or a time of
// day (the year is then the most recent one that fits); DOS lines give both; MLSD gives UTC.
struct TListTime {
    int Year = 0;      // 0 = not given
    int Month = 0;     // 1..12; 0 = no date at all
    int Day = 0;       // 1..31
    int Hour = -1;     // -1 = no time of day (the date is at 00:00)
    int Minute = 0;
    int Second = 0;
    bool Utc = false;  // an MLSD "modify" fact: shown in local time

    // True when the listing gave a date.
    bool Valid() const { return Month != 0; }
};

// The kinds of entry a listing tells apart.
enum TListEntryType : char {
    letFile = 'f',
    letDirectory = 'd',
    letLink = 'l',
};

// What is known of where a symbolic link points.
enum TLinkTargetKind {
    ltkUnknown,
    ltkDirectory,
    ltkFile,
};

// One parsed entry. Names and targets are the server's bytes, unchanged (they need not be
// valid UTF-8, and they may begin or end with blanks). The parsers empty an entry field by
// field (ResetEntry) to keep its buffers: a new field goes there too.
struct TListEntry {
    std::string Attributes;      // Unix permission string ("drwxr-xr-x", "-rwsr-xr-x+"); a
                                 // single type letter when the server gave no permissions
    std::string Size;            // decimal digits; empty when not given
    std::string Name;
    TListEntryType Type = letFile;
    std::string Target;          // a link's target, as listed
    TLinkTargetKind TargetKind = ltkUnknown;
    std::string Owner;
    std::string Group;
    std::string Perm;            // MLSD "perm" fact
    TListTime Modified;
};

// A listing time resolved to the local calendar.
struct TLocalListTime {
    int Year = 0;
    int Month = 0;
    int Day = 0;
    int Hour = 0;
    int Minute = 0;
};

// Resolves a listing time against Now: UTC is converted to local time; a date without a year
// takes the most recent year that does not put it more than a day after Now; a date without
// a time of day is at 00:00. False when the time has no date.
bool ResolveListTime(const TListTime& Time, std::time_t Now, TLocalListTime& Out);

// "YYYY-MM-DDTHH:MM" of the resolved time, or "-" when there is no date. Separator replaces
// the "T" (the window shows a blank there).
std::string FormatListTime(const TListTime& Time, std::time_t Now, char Separator = 'T');
