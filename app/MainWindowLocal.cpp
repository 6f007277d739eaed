// Local pane of the main window: the folder tree picks the directory, flbLocalFiles holds
// its files under the chosen filter, lvLocalDir shows them with type names and icons; and
// which pane the user worked in last.
#include "app/MainWindow.h"

#include "platform/SystemImageList.h"

#include <QItemSelectionModel>
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
    flbLocalFiles.Update();

    platform::SystemImageList& system = platform::SystemImageList::Instance();
    // Type names repeat for every file of a kind: convert each one to text only once.
    std::unordered_map<std::string, QString> typeNames;
    const QString unknownType = QStringLiteral("File");
    FLocalModel->BeginUpdate();
    try {
        FLocalModel->Clear();
        for (const std::string& name : flbLocalFiles.Names()) {
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
            FLocalModel->Add({QString::fromLocal8Bit(name.data(), static_cast<qsizetype>(name.size())),
                              QStringList{type}, info.IconIndex + 1});
        }
    } catch (...) {
        FLocalModel->EndUpdate();
        throw;
    }
    FLocalModel->EndUpdate();
}

void TMainWindow::lvLocalDirChange()
{
    if (FillingLocalList)
        return;
    // Row i of lvLocalDir is name i of flbLocalFiles, so the selection copies by index.
    // The ranges are walked directly: a select-all of 50,000 rows is one range.
    flbLocalFiles.ClearSelection();
    int firstSelected = -1;
    const QItemSelection selection = lvLocalDir->SelectionModel()->selection();
    for (const QItemSelectionRange& range : selection) {
        for (int row = range.top(); row <= range.bottom(); ++row)
            flbLocalFiles.SetSelected(row, true);
        if (firstSelected < 0 || range.top() < firstSelected)
            firstSelected = range.top();
    }
    // The current file is the list's focus item; lacking one, the first selected file.
    int current = lvLocalDir->ItemIndex();
    if (current < 0 || current >= flbLocalFiles.Count())
        current = firstSelected;
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
