// The remote directory listing: the parser of Unix long-listing lines, the rows of the
// remote list built from them, what the rest of the window reads back from a row, and the
// order of the list.
#pragma once

#include "app/FileListModel.h"
#include "listing/ListingParsers.h"
#include "regex/RegExpr.h"

#include <QHash>
#include <QString>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// One parsed listing entry (name, type, link target, size, attributes, time), as bytes.
using TListingEntry = TListEntry;

// Parses the lines of one listing of a given source (LIST or MLSD).
class TListingParser {
public:
    // A parser of LIST lines (Unix in all its forms, DOS/IIS) or of MLSD lines.
    explicit TListingParser(TListingSource source = lsList) : FSource(source) {}

    // Fills entry from line and returns true when the line is an entry. The name is kept
    // whole, blanks included (a NUL ends the line; trailing CR and LF are not part of it).
    bool Parse(const std::string& line, TListingEntry& entry) { return ParseLine(line, entry) == lrEntry; }
    // The same, telling an entry, a line to pass over quietly (MLSD's "." and "..") and a
    // line not understood apart.
    TLineResult ParseLine(std::string_view line, TListingEntry& entry) const
    {
        return ParseListingLine(FSource, line, entry);
    }

private:
    TListingSource FSource;
};

// Splits the raw listing into lines ended by LF or CR LF; a last line without a line end
// counts, an empty tail after the last line end does not.
std::vector<std::string> SplitListingLines(std::string_view data);
// Reads the listing file in one go and splits it into lines; no lines when it cannot be read.
std::vector<std::string> ReadListingFile(const QString& path);

// Column indexes of the remote list.
enum TRemoteColumn { rcName = 0, rcSize = 1, rcType = 2, rcAttributes = 3, rcModified = 4 };

// The fixed first row: "..", size "0", "Parent directory", "dr-xr-xr-x", image 0.
TFileListItem ParentDirItem();
// The row of one listing entry: caption = name, sub-items size, type text, attributes and
// modification time ("YYYY-MM-DD HH:MM", local), image 4 for a directory (and a link to one)
// and 1 for a file. A link's type text names its target: "Directory link -> t" when it is
// known to point at a folder, "File link -> t" at a file, else "Link -> t". The caption holds the name as TextFromBytes
// gives it, so that RemoteItemName returns the listed bytes.
TFileListItem RemoteItemFromEntry(const TListingEntry& entry);
// "Directory" for a directory, else the extension of name (last dot included) + " file".
QString RemoteTypeText(const QString& name, bool directory);

// Builds the rows of one listing as RemoteItemFromEntry does, sharing the texts that repeat
// from row to row (attribute strings, type texts) instead of making each anew.
class TRemoteRowBuilder {
public:
    // Times without a year are placed relative to the moment the builder is made.
    TRemoteRowBuilder();
    // It points into its own tables.
    TRemoteRowBuilder(const TRemoteRowBuilder&) = delete;
    TRemoteRowBuilder& operator=(const TRemoteRowBuilder&) = delete;
    // The row of one listing entry.
    TFileListItem Build(const TListingEntry& entry);
    // The same row appended to compact rows.
    void Append(const TListingEntry& entry, TCompactFileRows& rows);

private:
    // Caption and shared texts (type, attributes, time) of a row; returns its image.
    int Parts(const TListingEntry& entry, QString& caption, QString (&texts)[3]);

    QString FCaption;   // reused: its buffer serves row after row
    QString FDirectory;
    std::unordered_map<std::string, QString> FAttributes;
    const std::pair<const std::string, QString>* FLastAttributes = nullptr;   // stays put: a node
    // Looked up by a view of the caption's extension: no text made per row.
    struct TViewHash {
        using is_transparent = void;
        std::size_t operator()(std::u16string_view s) const
        {
            std::uint64_t h = 14695981039346656037ULL;   // FNV-1a: extensions are a few characters
            for (char16_t c : s)
                h = (h ^ c) * 1099511628211ULL;
            return static_cast<std::size_t>(h);
        }
    };
    std::unordered_map<std::u16string, QString, TViewHash, std::equal_to<>> FTypes;   // extension -> type text
    std::unordered_map<std::uint64_t, QString> FModified;   // time (to the minute) -> text
    std::time_t FNow;
};

// True for the parent-directory row "..".
bool IsParentDirItem(const TFileListItem& item);
// The directory test of the transfers and file operations: the first character of the
// attribute string, in upper case, is "D" (the ".." row passes it too).
bool IsRemoteDirectory(const TFileListItem& item);
// True for a symbolic link's row.
bool IsRemoteLink(const TFileListItem& item);
// True for a row that a double-click opens as a folder: a directory, or a link not known to
// point at a file.
bool RemoteOpensAsFolder(const TFileListItem& item);
// The name as the server listed it, byte for byte (BytesFromText of the caption).
std::string RemoteItemName(const TFileListItem& item);
// The Size column text.
QString RemoteItemSize(const TFileListItem& item);
// The Type column text.
QString RemoteItemType(const TFileListItem& item);
// The Attributes column text.
QString RemoteItemAttributes(const TFileListItem& item);
// The Modified column text ("YYYY-MM-DD HH:MM", empty when the listing gave no date).
QString RemoteItemModified(const TFileListItem& item);

// Compares two texts ignoring the case of a to z, other characters by their code; a prefix
// comes first.
int CompareTextNoCase(const QString& a, const QString& b);
// A size text as a 64-bit number: empty or not a number gives 0, beyond the range the
// largest value.
std::int64_t RemoteSizeValue(const QString& text);
// The order of the remote list under sort column: ".." first, then directories (by their
// type column), then by name, size, type or attributes; negative, zero or positive.
int CompareRemoteItems(const TFileListItem& a, const TFileListItem& b, int column);
// The rows of model in the order of a stable sort by CompareRemoteItems under column:
// element i is the row that goes to place i (for TFileListModel::Permute). Each row's key
// is taken once, so 100,000 rows sort in tens of milliseconds rather than a second.
// Descending reverses the order within the directories and within the files; ".." stays
// first and directories stay before files.
std::vector<int> RemoteSortOrder(const TFileListModel& model, int column, bool descending = false);
// The same over rows not yet in a model (any thread).
std::vector<int> RemoteSortOrder(const std::vector<TFileListItem>& items, int column, bool descending = false);
// The same over compact rows (any thread); empty when cancel is set meanwhile.
std::vector<int> RemoteSortOrder(const TCompactFileRows& rows, int column, bool descending = false,
                                 const std::atomic<bool>* cancel = nullptr);

// The rows of one listing, ".." first, in the order of the sort column, and the lines not
// understood (the last 101 of them, with their count). Needs no window: runs on any thread.
struct TRemoteListing {
    std::shared_ptr<TCompactFileRows> Rows;
    std::vector<std::string> InvalidLines;
    std::size_t InvalidCount = 0;
};
// Builds a TRemoteListing line by line, as the lines come (any one thread).
class TRemoteListingBuilder {
public:
    explicit TRemoteListingBuilder(TListingSource source);
    ~TRemoteListingBuilder();
    // Room for this many lines and name characters, when known.
    void Reserve(std::size_t lines, std::size_t nameUnits);
    // Before the first Add: sorts the rows by column in runs of runRows as they come, on a
    // thread of the builder's own, so that a Finish in the same order only merges the runs
    // (from mergeInTwo rows on, in two halves at once).
    void Presort(int column, bool descending, std::size_t runRows = 32768, std::size_t mergeInTwo = 100000);
    // One line of the listing, without its line end.
    void Add(std::string_view line);
    // The rows in their order (see BuildRemoteListing); once only. Cancel as there.
    TRemoteListing Finish(int column, bool descending, const std::atomic<bool>* cancel = nullptr);

private:
    TListingSource FSource;
    std::shared_ptr<TCompactFileRows> FRows;
    TRemoteRowBuilder FBuilder;
    std::vector<std::pair<std::size_t, std::string>> FLinks;   // rows whose target may be listed
    std::deque<std::string> FInvalid;   // the last lines not understood
    std::size_t FInvalidCount = 0;
    TListEntry FEntry;
    struct TPresort;
    std::unique_ptr<TPresort> FPresort;
};

// Builds a TRemoteListing from the lines of a listing of the given source; a link whose
// target is another entry of the listing takes that entry's kind. Cancel (may be null) is
// looked at now and then; when it is set the result is incomplete and should be dropped.
TRemoteListing BuildRemoteListing(const std::vector<std::string_view>& lines, TListingSource source, int column,
                                  bool descending, const std::atomic<bool>* cancel = nullptr);
