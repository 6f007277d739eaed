// The local pane's hidden file list: the files of one directory under a file mask, kept
// sorted by name, with a multiple selection and a current item; and the mask matching.
#pragma once

#include <string>
#include <vector>

// Whether a file name matches one pattern: '*' stands for any run of characters, '?' for
// exactly one; letters are compared without regard to case, as the desktop's file
// dialogs do. "*.*" and "*" match every name, with or without a dot.
bool MatchesFilePattern(const std::string& name, const std::string& pattern);

// Whether a file name matches a mask: patterns separated by ";", blanks around each
// pattern ignored; an empty mask matches every name.
bool MatchesFileMask(const std::string& name, const std::string& mask);

// Orders file names the way the list keeps them: letters without regard to case first,
// the exact bytes then, so that the order is total and does not depend on the locale.
bool FileNameLess(const std::string& a, const std::string& b);

// One sub-folder or file of a directory with what the local list shows of it.
struct TLocalEntry {
    std::string Name;          // bare name, bytes as the file system gives them
    long long Size = 0;        // bytes; 0 for folders
    long long Modified = 0;    // seconds since the epoch
};

// The sub-folders of dir (links to folders too), sorted with FileNameLess; names that begin
// with a dot only when showHidden. Empty when dir cannot be read.
std::vector<TLocalEntry> ReadLocalFolders(const std::string& dir, bool showHidden);

// Size and modification time of a file or folder (following links); false when it is gone.
bool StatLocalEntry(const std::string& path, TLocalEntry& entry);

// The files (no folders) of one directory whose names match the mask. Names are bare
// 8-bit names as the file system gives them; the full path of a name is FullPath(name).
// Changing the directory or the mask reads the directory anew, at the latest when the
// names are next asked for; reading anew clears the selection and the current item.
class TLocalFileList {
public:
    // Starts on the process's working directory with the mask "*.*", not read yet.
    TLocalFileList();

    // The directory whose files are listed (the local pane's directory).
    const std::string& Directory() const { return FDirectory; }
    // Lists another directory and makes it the process's working directory; nothing
    // happens when dir equals the current one.
    void SetDirectory(const std::string& dir);

    // The mask the names are filtered with.
    const std::string& Mask() const { return FMask; }
    // Filters with another mask; nothing happens when it equals the current one.
    void SetMask(const std::string& mask);

    // Whether names that begin with a dot are listed (true at first, as the system lists
    // them); changing it reads the directory anew when the names are next asked for.
    bool ShowHidden() const { return FShowHidden; }
    void SetShowHidden(bool show);

    // Reads the directory anew with the same directory and mask, so that files written
    // since the last reading appear. A directory that cannot be read lists nothing.
    void Update();

    // Number of names.
    int Count() const;
    // The name at index (in range).
    const std::string& Name(int index) const;
    // All names, in list order.
    const std::vector<std::string>& Names() const;
    // The index of a name, or -1.
    int IndexOf(const std::string& name) const;
    // Directory + "/" + name.
    std::string FullPath(const std::string& name) const;

    // Whether the name at index is selected; false out of range.
    bool Selected(int index) const;
    // Selects or deselects the name at index; ignored out of range.
    void SetSelected(int index, bool selected);
    // Deselects every name.
    void ClearSelection();
    // Number of selected names.
    int SelCount() const;
    // The selected names in list order.
    std::vector<std::string> SelectedNames() const;

    // The current (focus) item, or -1.
    int ItemIndex() const;
    // Makes index current (-1 or out of range: none) without changing the selection.
    void SetItemIndex(int index);
    // The full path of the current item; empty when there is none.
    std::string FileName() const;

private:
    void EnsureRead() const;
    void Read() const;

    std::string FDirectory;
    std::string FMask = "*.*";
    bool FShowHidden = true;
    // The names and their state are read on demand, so they change under const access.
    mutable bool FStale = true;
    mutable std::vector<std::string> FNames;
    mutable std::vector<char> FSelected;
    mutable int FItemIndex = -1;
};
