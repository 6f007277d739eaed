// Drives from the mount table (QStorageInfo) and the removable flag from sysfs.
#include "foldertree/Drives.h"

#include "platform/SystemImageList.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <climits>
#include <cstdlib>
#include <fstream>

namespace foldertree {

namespace {

using platform::SystemImageList;

bool IsNetworkFs(const QByteArray& type)
{
    static const char* const kTypes[] = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs",
                                         "fuse.sshfs", "sshfs", "davfs", "fuse.davfs2", "afs"};
    for (const char* t : kTypes)
        if (type == t)
            return true;
    return false;
}

std::string RealPath(const std::string& path)
{
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

// sysfs keeps the removable flag on the whole disk; a partition's folder sits inside it.
bool IsRemovableDevice(const std::string& device)
{
    std::string dev = RealPath(device);
    auto slash = dev.rfind('/');
    if (dev.compare(0, 5, "/dev/") != 0 || slash == std::string::npos)
        return false;
    std::string sys = RealPath("/sys/class/block/" + dev.substr(slash + 1));
    for (const std::string& dir : {sys, sys.substr(0, sys.rfind('/'))}) {
        std::ifstream flag(dir + "/removable");
        int value = 0;
        if (flag >> value)
            return value == 1;
    }
    return false;
}

// The file-system UUID of a device, from udev's by-uuid links; empty when unknown.
std::string FileSystemUuid(const std::string& device)
{
    QDir byUuid(QStringLiteral("/dev/disk/by-uuid"));
    if (!byUuid.exists())
        return {};
    std::string target = RealPath(device);
    for (const QFileInfo& link : byUuid.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (RealPath(link.absoluteFilePath().toStdString()) == target)
            return link.fileName().toStdString();
    }
    return {};
}

std::string BaseName(const std::string& path)
{
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::int32_t VolumeSerialFromId(const std::string& id)
{
    std::uint32_t h = 2166136261u;   // FNV-1a
    for (unsigned char c : id) {
        h ^= c;
        h *= 16777619u;
    }
    auto serial = static_cast<std::int32_t>(h);
    // 1 and -1 mean "fixed drive" and "no medium"; a medium must never look like either.
    if (serial == 1 || serial == -1)
        serial = 0x2545F491;
    return serial;
}

std::vector<TDriveInfo> ListSystemDrives()
{
    std::vector<TDriveInfo> drives;
    auto addOrReplace = [&drives](TDriveInfo drive) {
        for (TDriveInfo& d : drives) {
            if (d.Path == drive.Path) {
                d = std::move(drive);
                return;
            }
        }
        drives.push_back(std::move(drive));
    };

    TDriveInfo root;
    root.Path = "/";
    root.Label = "File System";
    root.ImageIndex = SystemImageList::iiDrive;
    drives.push_back(root);

    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        const QByteArray type = volume.fileSystemType();
        const std::string device = volume.device().toStdString();
        const std::string path = QFile::encodeName(volume.rootPath()).toStdString();
        if (path == "/") {
            drives.front().Device = device;
            if (!volume.name().isEmpty())
                drives.front().Label = volume.name().toStdString();
            continue;
        }
        bool network = IsNetworkFs(type);
        if (!network && (device.compare(0, 5, "/dev/") != 0 || type == "squashfs"))
            continue;   // pseudo file systems, loop-mounted packages
        if (!QFileInfo(volume.rootPath()).isDir())
            continue;   // a single file mounted over another
        TDriveInfo d;
        d.Path = path;
        d.Device = device;
        d.Ready = volume.isValid() && volume.isReady();
        d.Removable = !network && IsRemovableDevice(device);
        d.Label = volume.name().isEmpty() ? BaseName(path) : volume.name().toStdString();
        if (network)
            d.ImageIndex = SystemImageList::iiNetDrive;
        else if (type == "iso9660" || type == "udf")
            d.ImageIndex = SystemImageList::iiOptical;
        else if (d.Removable)
            d.ImageIndex = SystemImageList::iiRemovable;
        else
            d.ImageIndex = SystemImageList::iiDrive;
        if (d.Removable) {
            std::string uuid = FileSystemUuid(device);
            d.VolumeSerial = VolumeSerialFromId(uuid.empty() ? device + "|" + type.toStdString()
                                                                   + "|" + std::to_string(volume.bytesTotal())
                                                             : uuid);
        }
        addOrReplace(std::move(d));
    }
    return drives;
}

const TDriveInfo* DriveOfPath(const std::vector<TDriveInfo>& drives, const std::string& path)
{
    const TDriveInfo* best = nullptr;
    for (const TDriveInfo& d : drives) {
        const std::string& mp = d.Path;
        bool inside = path == mp
                      || (path.compare(0, mp.size(), mp) == 0
                          && (mp.back() == '/' || (path.size() > mp.size() && path[mp.size()] == '/')));
        if (!mp.empty() && inside && (!best || mp.size() > best->Path.size()))
            best = &d;
    }
    return best;
}

std::int32_t DriveSerialOf(const std::vector<TDriveInfo>& drives, const std::string& path)
{
    if (path.empty())
        return -1;
    const TDriveInfo* drive = DriveOfPath(drives, path);
    if (!drive || !drive->Removable)
        return 1;
    if (!drive->Ready)
        return -1;
    return drive->VolumeSerial;
}

} // namespace foldertree
