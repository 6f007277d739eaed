// The drives of the computer node: the root file system and the mounted volumes a user
// would browse, read from the mount table, with their media state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace foldertree {

// One drive as the folder tree shows it below the computer node.
struct TDriveInfo {
    std::string Path;             // mount point ("/" for the root file system)
    std::string Label;            // the drive's display name
    std::string Device;           // the mounted device, for noticing a changed medium
    bool Removable = false;       // removable medium (USB stick, card, optical disc)
    bool Ready = true;            // a medium is present and readable
    std::int32_t VolumeSerial = 0;   // identifies the medium of a removable drive
    int ImageIndex = 0;           // index into the system image list
};

// The root file system first, then the mounted volumes in the mount table's order:
// block devices and network file systems, each mount point once (a later mount on the
// same point wins), never pseudo file systems.
std::vector<TDriveInfo> ListSystemDrives();

// The drive of a path: the one whose mount point is the longest leading part of it, or
// null when none matches.
const TDriveInfo* DriveOfPath(const std::vector<TDriveInfo>& drives, const std::string& path);

// The drive state used to notice media changes: -1 for an empty path or a removable
// drive without medium, 1 for a drive that is not removable (or a path on no listed
// drive), otherwise the volume serial of the medium (never 1 or -1).
std::int32_t DriveSerialOf(const std::vector<TDriveInfo>& drives, const std::string& path);

// A volume serial made from a file-system id (its UUID or, lacking one, the device).
std::int32_t VolumeSerialFromId(const std::string& id);

} // namespace foldertree
