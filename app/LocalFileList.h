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
    // The names and their state are read on demand, so they change under const access.
    mutable bool FStale = true;
    mutable std::vector<std::string> FNames;
    mutable std::vector<char> FSelected;
    mutable int FItemIndex = -1;
};
