// Parent-directory icon drawn from theme icons, system icons one place further on.
#include "app/FtpFileImageList.h"

#include "platform/SystemImageList.h"

#include <QPainter>
#include <QPixmap>

namespace {

// A folder with an upward arrow in its lower right corner, at one pixel size.
QPixmap ParentDirPixmap(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    QIcon folder = platform::SystemImageList::Instance().Icon(platform::SystemImageList::iiFolder);
    folder.paint(&painter, 0, 0, size, size);
    QIcon arrow = QIcon::fromTheme(QStringLiteral("go-up"),
                                   QIcon::fromTheme(QStringLiteral("go-up-symbolic")));
    int arrowSize = size * 5 / 8;
    arrow.paint(&painter, size - arrowSize, size - arrowSize, arrowSize, arrowSize);
    return pixmap;
}

} // namespace

TFtpFileImageList::TFtpFileImageList()
{
    platform::EnsureIconTheme();
    FParentDirIcon.addPixmap(ParentDirPixmap(16));
    FParentDirIcon.addPixmap(ParentDirPixmap(32));
}

int TFtpFileImageList::Count() const
{
    return 1 + platform::SystemImageList::Instance().Count();
}

QIcon TFtpFileImageList::Icon(int index) const
{
    if (index == iiParentDir)
        return FParentDirIcon;
    return platform::SystemImageList::Instance().Icon(index - 1);
}
