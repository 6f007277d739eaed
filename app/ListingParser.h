// The remote directory listing: the parser of Unix long-listing lines, the rows of the
// remote list built from them, what the rest of the window reads back from a row, and the
// order of the list.
#pragma once

#include "app/FileListModel.h"
#include "app/ListingLineParser.h"
#include "regex/RegExpr.h"

#include <QHash>
#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Reads the listing file in one go and splits it into lines; no lines when it cannot be read.
std::vector<std::string> ReadListingFile(const QString& path);

// Column indexes of the remote list.
enum TRemoteColumn { rcName = 0, rcSize = 1, rcType = 2, rcAttributes = 3 };

// The fixed first row: "..", size "0", "Parent directory", "dr-xr-xr-x", image 0.
TFileListItem ParentDirItem();
// The row of one listing entry: caption = name, sub-items size, type text and attributes,
// image 4 for a directory and 1 for a file. The caption holds the name as TextFromBytes
// gives it, so that RemoteItemName returns the listed bytes.
TFileListItem RemoteItemFromEntry(const TListingEntry& entry);
// "Directory" for a directory, else the extension of name (last dot included) + " file".
QString RemoteTypeText(const QString& name, bool directory);

// Builds the rows of one listing as RemoteItemFromEntry does, sharing the texts that repeat
// from row to row (attribute strings, type texts) instead of making each anew.
class TRemoteRowBuilder {
public:
    // The row of one listing entry.
    TFileListItem Build(const TListingEntry& entry);

private:
    std::unordered_map<std::string, QString> FAttributes;
    QHash<QString, QString> FTypes;   // extension -> type text
};

// True for the parent-directory row "..".
bool IsParentDirItem(const TFileListItem& item);
// The directory test of the transfers and file operations: the first character of the
// attribute string, in upper case, is "D" (the ".." row passes it too).
bool IsRemoteDirectory(const TFileListItem& item);
// The name as the server listed it, byte for byte (BytesFromText of the caption).
std::string RemoteItemName(const TFileListItem& item);
// The Size column text.
QString RemoteItemSize(const TFileListItem& item);
// The Type column text.
QString RemoteItemType(const TFileListItem& item);
// The Attributes column text.
QString RemoteItemAttributes(const TFileListItem& item);

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
std::vector<int> RemoteSortOrder(const TFileListModel& model, int column);
