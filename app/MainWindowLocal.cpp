// Local pane of the main window: the folder tree picks the directory, flbLocalFiles holds
// its files under the chosen filter, lvLocalDir shows them with type names and icons; and
// which pane the user worked in last.
#include "app/MainWindow.h"

#include "app/DesktopIntegration.h"

#include "platform/SystemImageList.h"

#include <QDateTime>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QLabel>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_map>

namespace {

// Sets a flag for the lifetime of the guard, also when the guarded code throws.
class TFlagGuard {
public:
    explicit TFlagGuard(bool& flag) : FFlag(flag) { FFlag = true; }
    ~TFlagGuard() { FFlag = false; }
    TFlagGuard(const TFlagGuard&) = delete;
    TFlagGuard& operator=(const TFlagGuard&) = delete;

private:
    bool& FFlag;
};

// The size of a regular file, read from the opened file as an upload would see it;
// -1 when it cannot be opened or is no regular file.
long long OpenedFileSize(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st {};
    long long size = (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) ? st.st_size : -1;
    ::close(fd);
    return size;
}

} // namespace

void TMainWindow::dirLocalDirsChange()
{
    // Nodes without a file-system path (the computer node) keep the directory as it is.
    const std::string path = dirLocalDirs->SelectedPath();
    if (!path.empty())
        flbLocalFiles.SetDirectory(path);
    RefillLocalList();
}

void TMainWindow::dirLocalDirsEnter()
{
    RemotePaneActive = false;
    LocalTreeActive = true;
}

void TMainWindow::fcbLocalFilterChange()
{
    RefillLocalList();
}

void TMainWindow::btnRefreshLocalClick()
{
    RefillLocalList();
}

void TMainWindow::RefillLocalList()
{
    TFlagGuard filling(FillingLocalList);
    if (ShowHiddenFiles1)
        flbLocalFiles.SetShowHidden(ShowHiddenFiles1->isChecked());
    flbLocalFiles.Update();

    // ".." and the sub-folders come first, so that one can move about from the list.
    std::vector<TDesktopIntegration::TLocalRow> rows;
    const std::string& dir = flbLocalFiles.Directory();
    if (!dir.empty() && dir != "/")
        rows.push_back({lrParent, -1, {"..", 0, 0}});
    for (TLocalEntry& folder : ReadLocalFolders(dir, flbLocalFiles.ShowHidden()))
        rows.push_back({lrFolder, -1, std::move(folder)});
    const std::vector<std::string>& names = flbLocalFiles.Names();
    for (size_t i = 0; i < names.size(); ++i) {
        TLocalEntry entry{names[i], 0, 0};
        StatLocalEntry(flbLocalFiles.FullPath(names[i]), entry);
        rows.push_back({lrFile, static_cast<int>(i), std::move(entry)});
    }
    if (FDesktop)
        FDesktop->SortRows(rows);

    platform::SystemImageList& system = platform::SystemImageList::Instance();
    // Type names repeat for every file of a kind: convert each one to text only once.
    std::unordered_map<std::string, QString> typeNames;
    const QString unknownType = QStringLiteral("File");
    FLocalModel->BeginUpdate();
    try {
        FLocalModel->Clear();
        for (const TDesktopIntegration::TLocalRow& row : rows) {
            const std::string& name = row.Entry.Name;
            const QString caption = QString::fromLocal8Bit(name.data(), static_cast<qsizetype>(name.size()));
            const QString modified = row.Kind == lrParent
                                         ? QString()
                                         : QDateTime::fromSecsSinceEpoch(row.Entry.Modified)
                                               .toString(QStringLiteral("yyyy-MM-dd HH:mm"));
            if (row.Kind == lrParent) {
                FLocalModel->Add({caption, QStringList{QStringLiteral("Parent directory"), QString(), modified},
                                  TFtpFileImageList::iiParentDir});
                continue;
            }
            if (row.Kind == lrFolder) {
                FLocalModel->Add({caption, QStringList{QStringLiteral("Folder"), QString(), modified},
                                  TFtpFileImageList::iiFolder});
                continue;
            }
            // Typed by name; only a name the desktop knows no type for costs a look at the
            // file itself (an executable without extension is a program).
            platform::TShFileInfo info = system.FileInfoByName(name, false);
            if (info.TypeName.empty())
                info = system.FileInfo(flbLocalFiles.FullPath(name));
            QString type = unknownType;
            if (!info.TypeName.empty()) {
                auto [it, added] = typeNames.try_emplace(info.TypeName);
                if (added)
                    it->second = QString::fromLocal8Bit(info.TypeName.data(),
                                                        static_cast<qsizetype>(info.TypeName.size()));
                type = it->second;
            }
            FLocalModel->Add({caption, QStringList{type, QString::number(row.Entry.Size), modified},
                              info.IconIndex + 1});
        }
    } catch (...) {
        FLocalModel->EndUpdate();
        throw;
    }
    if (FDesktop)
        FDesktop->Rows = std::move(rows);
    FLocalModel->EndUpdate();
    if (txtLocalPath)
        txtLocalPath->setText(QString::fromLocal8Bit(dir.data(), static_cast<qsizetype>(dir.size())));
    if (FDesktop)
        FDesktop->WatchFolder();
}

TMainWindow::TLocalRowKind TMainWindow::LocalRowKind(int row) const
{
    if (!FDesktop || row < 0 || row >= static_cast<int>(FDesktop->Rows.size()))
        return lrFile;
    return FDesktop->Rows[static_cast<size_t>(row)].Kind;
}

int TMainWindow::LocalRowFile(int row) const
{
    if (!FDesktop || row < 0 || row >= static_cast<int>(FDesktop->Rows.size()))
        return -1;
    return FDesktop->Rows[static_cast<size_t>(row)].File;
}

void TMainWindow::lvLocalDirChange()
{
    if (FillingLocalList)
        return;
    // A row maps to a name of flbLocalFiles through LocalRowFile (folder rows map to none).
    // The ranges are walked directly: a select-all of 50,000 rows is one range.
    flbLocalFiles.ClearSelection();
    int firstSelected = -1;
    const QItemSelection selection = lvLocalDir->SelectionModel()->selection();
    for (const QItemSelectionRange& range : selection) {
        for (int row = range.top(); row <= range.bottom(); ++row) {
            const int file = LocalRowFile(row);
            if (file < 0)
                continue;
            flbLocalFiles.SetSelected(file, true);
            if (firstSelected < 0 || row < firstSelected)
                firstSelected = row;
        }
    }
    // The current file is the list's focus item; lacking one, the first selected file.
    int current = LocalRowFile(lvLocalDir->ItemIndex());
    if (current < 0)
        current = LocalRowFile(firstSelected);
    flbLocalFiles.SetItemIndex(current);
    flbLocalFilesChange();
}

void TMainWindow::flbLocalFilesChange()
{
    RemotePaneActive = false;
    const std::string path = flbLocalFiles.FileName();
    if (path.empty())
        return;
    // A file that vanished since the listing leaves the label as it was.
    long long size = OpenedFileSize(path);
    if (size >= 0)
        lblLocalFileSize->setText(QString::number(size));
}

void TMainWindow::lvLocalDirEnter()
{
    RemotePaneActive = false;
    LocalTreeActive = false;
}
