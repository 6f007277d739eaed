// The icons of both file lists: the parent-directory icon at 0, then the system icons.
#pragma once

#include <QIcon>

// A view over the process-wide system icon list with one icon of its own in front:
// index 0 is the parent-directory icon, index i + 1 is system icon i. The system list
// grows on demand, so indexes are mapped when asked for, never copied.
class TFtpFileImageList {
public:
    enum : int {
        iiParentDir = 0,   // the list's own icon
        iiFile = 1,        // the system's generic file icon (system index 0)
        iiFolder = 4       // the system's closed folder icon (system index 3)
    };

    TFtpFileImageList();

    // Number of icons reachable now: the own icon plus every system icon so far.
    int Count() const;
    // The icon at index, or a null icon when out of range.
    QIcon Icon(int index) const;
    // Width and height of the icons, in pixels.
    static constexpr int Size() { return 16; }

private:
    QIcon FParentDirIcon;
};
