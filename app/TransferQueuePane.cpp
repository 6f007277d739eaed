// The transfer queue pane: rows kept in step with the queue's items, a progress line
// refreshed four times a second, and the saved form of an unfinished queue.
#include "app/TransferQueuePane.h"

#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <set>
#include <vector>

using namespace transfer;

namespace {

QString Text(const std::string& Bytes)
{
    return QString::fromLocal8Bit(Bytes.data(), qsizetype(Bytes.size()));
}

// One field of a saved line: tab, line end and backslash escaped.
QByteArray Escape(const std::string& Value)
{
    QByteArray out;
    for (char c : Value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::string Unescape(const QByteArray& Field)
{
    std::string out;
    for (qsizetype i = 0; i < Field.size(); ++i) {
        char c = Field[i];
        if (c == '\\' && i + 1 < Field.size()) {
            char n = Field[++i];
            out += n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else {
            out += c;
        }
    }
    return out;
}

constexpr const char* kSavedHeader = "OMBREX-QUEUE 1";

} // namespace

QString QueueSizeText(double Bytes)
{
    if (Bytes >= 1024.0 * 1024 * 1024)
        return QString::number(Bytes / (1024.0 * 1024 * 1024), 'f', 1) + QStringLiteral(" GiB");
    if (Bytes >= 1024.0 * 1024)
        return QString::number(Bytes / (1024.0 * 1024), 'f', 1) + QStringLiteral(" MiB");
    if (Bytes >= 1024.0)
        return QString::number(Bytes / 1024.0, 'f', 1) + QStringLiteral(" KiB");
    return QString::number(qint64(Bytes)) + QStringLiteral(" B");
}

TTransferQueuePane::TTransferQueuePane(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("TransferQueuePane"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    lvQueue = new QTreeWidget(this);
    lvQueue->setObjectName(QStringLiteral("lvQueue"));
    lvQueue->setRootIsDecorated(false);
    lvQueue->setUniformRowHeights(true);
    lvQueue->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvQueue->setHeaderLabels({QStringLiteral("Direction"), QStringLiteral("Local"), QStringLiteral("Remote"),
                              QStringLiteral("Size"), QStringLiteral("State"), QStringLiteral("Reply")});
    lvQueue->header()->setStretchLastSection(true);
    layout->addWidget(lvQueue, 1);

    lblQueueFile = new QLabel(this);
    lblQueueFile->setObjectName(QStringLiteral("lblQueueFile"));
    layout->addWidget(lblQueueFile);
    auto* row = new QHBoxLayout;
    pbQueue = new QProgressBar(this);
    pbQueue->setObjectName(QStringLiteral("pbQueue"));
    pbQueue->setRange(0, 100);
    lblQueueProgress = new QLabel(this);
    lblQueueProgress->setObjectName(QStringLiteral("lblQueueProgress"));
    row->addWidget(pbQueue);
    row->addWidget(lblQueueProgress, 1);
    layout->addLayout(row);

    auto* buttons = new QHBoxLayout;
    btnQueueStart = new QPushButton(QStringLiteral("Stop"), this);
    btnQueueRemove = new QPushButton(QStringLiteral("Remove"), this);
    btnQueueRetry = new QPushButton(QStringLiteral("Retry failed"), this);
    btnQueueClear = new QPushButton(QStringLiteral("Clear finished"), this);
    spnConnections = new QSpinBox(this);
    spnConnections->setObjectName(QStringLiteral("spnConnections"));
    spnConnections->setRange(1, 10);
    spnConnections->setValue(2);
    spnConnections->setPrefix(QStringLiteral("Connections: "));
    for (QPushButton* b : {btnQueueStart, btnQueueRemove, btnQueueRetry, btnQueueClear})
        buttons->addWidget(b);
    buttons->addStretch(1);
    buttons->addWidget(spnConnections);
    layout->addLayout(buttons);

    Queue.SetMaxConnections(2);
    Queue.OnItemChanged = [this](const TTransferItem& Item) { ItemChanged(Item); };
    connect(btnQueueStart, &QPushButton::clicked, this, [this] {
        if (Queue.Active()) {
            Queue.Stop();
        } else {
            if (OnBeforeStart)
                OnBeforeStart();
            Queue.Start();
        }
        UpdateButtons();
    });
    connect(btnQueueRemove, &QPushButton::clicked, this, [this] { RemoveSelected(); });
    connect(btnQueueRetry, &QPushButton::clicked, this, [this] {
        Queue.RetryFailed(false);
        if (OnBeforeStart)
            OnBeforeStart();
        Queue.Start();
        UpdateButtons();
    });
    connect(btnQueueClear, &QPushButton::clicked, this, [this] {
        Queue.RemoveFinished();
        Refresh();
    });
    connect(spnConnections, &QSpinBox::valueChanged, this, [this](int n) { Queue.SetMaxConnections(n); });
    FTimer = new QTimer(this);
    FTimer->setInterval(250);
    connect(FTimer, &QTimer::timeout, this, [this] { Refresh(); });
    FTimer->start();
    UpdateButtons();
}

TTransferQueuePane::~TTransferQueuePane()
{
    Queue.OnItemChanged = nullptr;
}

void TTransferQueuePane::ItemChanged(const TTransferItem& Item)
{
    QTreeWidgetItem*& row = FRows[Item.Id];
    if (!row) {
        row = new QTreeWidgetItem(lvQueue);
        row->setData(0, Qt::UserRole, QVariant::fromValue<quint64>(Item.Id));
        row->setText(qcolDirection, QString::fromLatin1(DirectionName(Item.Direction))
                                        + (Item.Kind == TItemKind::File ? QString() : QStringLiteral(" folder")));
    }
    row->setText(qcolLocal, Text(Item.Local));
    row->setText(qcolRemote, Text(Item.Remote));
    row->setText(qcolSize, Item.Size >= 0 ? QString::number(Item.Size) : QString());
    row->setText(qcolState, QString::fromLatin1(ItemStateName(Item.State)));
    row->setText(qcolReply, Text(Item.Reply));
}

QString TTransferQueuePane::ProgressText() const
{
    TQueueProgress p = Queue.Progress();
    QString text = QueueSizeText(double(p.DoneBytes)) + QStringLiteral(" of ") + QueueSizeText(double(p.TotalBytes));
    if (p.TotalBytes > 0)
        text += QStringLiteral(" (%1%)").arg(p.DoneBytes * 100 / p.TotalBytes);
    if (p.Running > 0 || p.Pending > 0) {
        text += QStringLiteral(", ") + QueueSizeText(p.Speed) + QStringLiteral("/s");
        if (p.SecondsLeft >= 0)
            text += QStringLiteral(", %1:%2 left").arg(p.SecondsLeft / 60).arg(p.SecondsLeft % 60, 2, 10, QLatin1Char('0'));
    }
    text += QStringLiteral(", %1 of %2 files").arg(p.FilesDone).arg(p.Files);
    if (p.Failed > 0)
        text += QStringLiteral(", %1 failed").arg(p.Failed);
    return text;
}

void TTransferQueuePane::Refresh()
{
    // Rows of items the queue no longer holds go. Each single removal costs the tree a
    // search through its rows, so many go at once: all rows are taken out in one step and
    // the ones kept put back in one step (the selection goes with them).
    std::vector<QTreeWidgetItem*> gone;
    for (auto it = FRows.begin(); it != FRows.end();) {
        if (!Queue.Find(it.key())) {
            gone.push_back(it.value());
            it = FRows.erase(it);
        } else {
            ++it;
        }
    }
    if (gone.size() > 16) {
        QTreeWidgetItem* root = lvQueue->invisibleRootItem();
        QList<QTreeWidgetItem*> rows = root->takeChildren();
        QList<QTreeWidgetItem*> keep;
        keep.reserve(FRows.size());
        for (QTreeWidgetItem* row : rows) {
            if (FRows.contains(row->data(0, Qt::UserRole).value<quint64>()))
                keep.append(row);
            else
                delete row;
        }
        root->addChildren(keep);
    } else {
        for (QTreeWidgetItem* row : gone)
            delete row;
    }
    TQueueProgress p = Queue.Progress();
    pbQueue->setValue(p.TotalBytes > 0 ? int(p.DoneBytes * 100 / p.TotalBytes) : 0);
    lblQueueProgress->setText(ProgressText());
    QStringList running;
    for (const TTransferItem* i : Queue.Items()) {
        if (i->State != TItemState::Running || i->Kind != TItemKind::File)
            continue;
        QString name = Text(i->Direction == TDirection::Upload ? i->Local : i->Remote);
        name = name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
        if (i->Size > 0)
            running << QStringLiteral("%1 %2%").arg(name).arg(i->Transferred * 100 / i->Size);
        else
            running << name;
        if (FRows.contains(i->Id) && i->Size > 0)
            FRows[i->Id]->setText(qcolState, QStringLiteral("Running %1%").arg(i->Transferred * 100 / i->Size));
        if (running.size() >= 4)
            break;
    }
    lblQueueFile->setText(running.join(QStringLiteral("   ")));
    UpdateButtons();
}

void TTransferQueuePane::UpdateButtons()
{
    btnQueueStart->setText(Queue.Active() ? QStringLiteral("Stop") : QStringLiteral("Start"));
}

void TTransferQueuePane::RemoveSelected()
{
    for (QTreeWidgetItem* row : lvQueue->selectedItems())
        Queue.Remove(row->data(0, Qt::UserRole).value<quint64>());
    Refresh();
}

bool TTransferQueuePane::SaveUnfinished(const QString& Path, const QString& Server) const
{
    std::vector<TTransferItem> items = Queue.Unfinished();
    if (items.empty()) {
        QFile::remove(Path);
        return true;
    }
    QFile file(Path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QByteArray(kSavedHeader) + '\t' + Escape(Server.toLocal8Bit().toStdString()) + '\n');
    std::set<std::uint64_t> saved;
    for (const TTransferItem& i : items)
        saved.insert(i.Id);
    for (const TTransferItem& i : items) {
        // A folder of a delete is walked again: what lies below it is not saved twice.
        if (i.Direction == TDirection::Delete && saved.count(i.Parent))
            continue;
        file.write(QByteArray::number(int(i.Direction)) + '\t' + QByteArray::number(int(i.Kind)) + '\t'
                   + Escape(i.Local) + '\t' + Escape(i.Remote) + '\t' + QByteArray::number(qint64(i.Size)) + '\t'
                   + (i.Binary ? "1" : "0") + '\t' + (i.Resume ? "1" : "0") + '\n');
    }
    return file.error() == QFileDevice::NoError;
}

int TTransferQueuePane::PeekSaved(const QString& Path, QString* Server)
{
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.isEmpty() || !lines[0].startsWith(kSavedHeader))
        return 0;
    if (Server) {
        QList<QByteArray> head = lines[0].split('\t');
        *Server = head.size() > 1 ? QString::fromLocal8Bit(QByteArray::fromStdString(Unescape(head[1]))) : QString();
    }
    int n = 0;
    for (qsizetype i = 1; i < lines.size(); ++i)
        n += lines[i].split('\t').size() == 7;
    return n;
}

int TTransferQueuePane::LoadSaved(const QString& Path)
{
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.isEmpty() || !lines[0].startsWith(kSavedHeader))
        return 0;
    int n = 0;
    for (qsizetype l = 1; l < lines.size(); ++l) {
        QList<QByteArray> f = lines[l].split('\t');
        if (f.size() != 7)
            continue;
        int direction = f[0].toInt(), kind = f[1].toInt();
        if (direction < 0 || direction > 2 || kind < 0 || kind > 2)
            continue;
        TTransferItem item;
        item.Direction = TDirection(direction);
        item.Kind = TItemKind(kind);
        item.Local = Unescape(f[2]);
        item.Remote = Unescape(f[3]);
        item.Size = f[4].toLongLong();
        item.Binary = f[5] == "1";
        item.Resume = f[6] == "1";
        Queue.Restore(item);
        ++n;
    }
    return n;
}
