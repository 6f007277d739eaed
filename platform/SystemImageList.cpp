// System image list stand-in built from the icon theme and the MIME database.
#include "platform/SystemImageList.h"

#include <QMimeDatabase>
#include <QMimeType>

#include <sys/stat.h>

#include <cctype>

namespace platform {

namespace {

// Theme icon names for the fixed places, each with fallbacks.
const char* const kFixedIcons[SystemImageList::iiFixedCount][3] = {
    {"text-x-generic", "unknown", "application-octet-stream"},   // iiFile
    {"x-office-document", "text-x-generic", nullptr},            // iiDocument
    {"application-x-executable", "system-run", nullptr},         // iiApplication
    {"folder", nullptr, nullptr},                                // iiFolder
    {"folder-open", "folder", nullptr},                          // iiFolderOpen
    {"drive-removable-media", "media-removable", "drive-harddisk"},
    {"drive-harddisk", nullptr, nullptr},                        // iiDrive
    {"folder-remote", "network-server", "drive-harddisk"},       // iiNetDrive
    {"drive-optical", "media-optical", "drive-harddisk"},        // iiOptical
    {"computer", nullptr, nullptr},                              // iiComputer
    {"user-desktop", "desktop", "folder"},                       // iiDesktop
    {"user-home", "folder-home", "folder"},                      // iiHome
    {"user-trash", "trash-empty", nullptr},                      // iiTrash
    {"network-workgroup", "network-server", nullptr},            // iiNetwork
};

QIcon ThemeIcon(const char* const names[3])
{
    for (int i = 0; i < 3 && names[i]; ++i) {
        QIcon icon = QIcon::fromTheme(QString::fromLatin1(names[i]));
        if (!icon.isNull())
            return icon;
    }
    return {};
}

std::string LowerSuffix(const std::string& name)
{
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size())
        return {};
    std::string s = name.substr(dot + 1);
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const QMimeDatabase& MimeDb()
{
    static const QMimeDatabase db;
    return db;
}

} // namespace

SystemImageList& SystemImageList::Instance()
{
    static SystemImageList list;
    return list;
}

void EnsureIconTheme()
{
    // Without a desktop session (plain X server, offscreen) Qt knows neither a theme nor
    // where themes live; fall back to the XDG folders and the theme Debian always ships,
    // so that files, folders and toolbar buttons still get pictures.
    QStringList paths = QIcon::themeSearchPaths();
    QByteArray xdg = qgetenv("XDG_DATA_DIRS");
    if (xdg.isEmpty())
        xdg = "/usr/local/share:/usr/share";
    for (const QByteArray& dir : xdg.split(':')) {
        QString icons = QString::fromLocal8Bit(dir) + QStringLiteral("/icons");
        if (!dir.isEmpty() && !paths.contains(icons))
            paths << icons;
    }
    QIcon::setThemeSearchPaths(paths);
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
        QIcon::setThemeName(QStringLiteral("Adwaita"));
}

SystemImageList::SystemImageList()
{
    EnsureIconTheme();
    for (int i = 0; i < iiFixedCount; ++i)
        AddIcon(std::string("fixed:") + kFixedIcons[i][0], ThemeIcon(kFixedIcons[i]));
}

int SystemImageList::AddIcon(const std::string& key, const QIcon& icon)
{
    int index = Count();
    FIcons.push_back(icon);
    FIndexByKey.emplace(key, index);
    return index;
}

QIcon SystemImageList::Icon(int index) const
{
    if (index < 0 || index >= Count())
        return {};
    return FIcons[static_cast<size_t>(index)];
}

int SystemImageList::IndexOfThemeIcon(const std::string& themeName)
{
    auto it = FIndexByKey.find(themeName);
    if (it != FIndexByKey.end())
        return it->second;
    QIcon icon = QIcon::fromTheme(QString::fromStdString(themeName));
    if (icon.isNull())
        return iiFile;
    return AddIcon(themeName, icon);
}

TShFileInfo SystemImageList::FileInfoByName(const std::string& name, bool isDir)
{
    if (isDir)
        return {iiFolder, "Folder"};
    std::string suffix = LowerSuffix(name);
    auto cached = FInfoBySuffix.find(suffix);
    if (cached != FInfoBySuffix.end())
        return cached->second;

    TShFileInfo info;
    if (!suffix.empty()) {
        QMimeType mime = MimeDb().mimeTypeForFile(QString::fromLocal8Bit(name.c_str()),
                                                  QMimeDatabase::MatchExtension);
        if (mime.isValid() && !mime.isDefault()) {
            info.TypeName = mime.comment().toLocal8Bit().toStdString();
            int index = IndexOfThemeIcon(mime.iconName().toStdString());
            if (index == iiFile)
                index = IndexOfThemeIcon(mime.genericIconName().toStdString());
            info.IconIndex = index;
        }
    }
    FInfoBySuffix.emplace(suffix, info);
    return info;
}

TShFileInfo SystemImageList::FileInfo(const std::string& path, bool openIcon)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return {openIcon ? iiFolderOpen : iiFolder, "Folder"};
    auto slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    TShFileInfo info = FileInfoByName(name, false);
    if (info.TypeName.empty() && LowerSuffix(name).empty() && (st.st_mode & S_IXUSR)
        && S_ISREG(st.st_mode))
        info = {iiApplication, "Program"};
    return info;
}

} // namespace platform
