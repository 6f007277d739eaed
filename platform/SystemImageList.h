// The process-wide list of small file icons and the desktop's type names: what the
// program's file lists and folder tree index into, like a shell's system image list.
#pragma once

#include <QIcon>

#include <string>
#include <unordered_map>
#include <vector>

namespace platform {

// Icon index and type name of one file, as the shell would report them.
struct TShFileInfo {
    int IconIndex = 0;
    std::string TypeName;   // empty when the desktop knows no type for the file
};

// Icons with fixed places first (the generic file at 0, the closed folder at 3), then
// icons appended on first use. Indexes stay valid for the whole run. UI thread only.
class SystemImageList {
public:
    enum : int {
        iiFile = 0,
        iiDocument = 1,
        iiApplication = 2,
        iiFolder = 3,
        iiFolderOpen = 4,
        iiRemovable = 5,
        iiDrive = 6,
        iiNetDrive = 7,
        iiOptical = 8,
        iiComputer = 9,
        iiDesktop = 10,
        iiHome = 11,
        iiTrash = 12,
        iiNetwork = 13,
        iiFixedCount = 14
    };

    // The one list of the process (created on first use; needs a GUI application).
    static SystemImageList& Instance();

    // Number of icons held so far.
    int Count() const { return static_cast<int>(FIcons.size()); }
    // The icon at index, or a null icon when out of range.
    QIcon Icon(int index) const;

    // Icon and type name of a file or folder on disk; openIcon selects the open-folder
    // icon for folders. Files are typed by name, without reading their contents.
    TShFileInfo FileInfo(const std::string& path, bool openIcon = false);
    // Icon and type name from a name alone (no disk access).
    TShFileInfo FileInfoByName(const std::string& name, bool isDir);
    // Index of an icon of the icon theme, appended on first use.
    int IndexOfThemeIcon(const std::string& themeName);

private:
    SystemImageList();
    int AddIcon(const std::string& key, const QIcon& icon);

    std::vector<QIcon> FIcons;
    std::unordered_map<std::string, int> FIndexByKey;
    std::unordered_map<std::string, TShFileInfo> FInfoBySuffix;
};

// Makes theme icons available without a desktop session: adds the XDG icon folders to
// the search path and picks the Adwaita theme when none (or only hicolor) is set.
void EnsureIconTheme();

} // namespace platform
