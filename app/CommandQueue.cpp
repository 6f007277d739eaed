// Command queue codes and the helpers that keep its entries whole.
#include "app/CommandQueue.h"

#include <algorithm>
#include <stdexcept>
#include <string>

int QueueArgCount(int code)
{
    switch (code) {
    case qcNone:
    case qcConnect:
    case qcQuit:
    case qcList:
    case qcPwd:
    case qcCdUp:
    case qcExpandRemove:
        return 0;
    case qcCwd:
    case qcType:
    case qcDele:
    case qcRmd:
    case qcMkd:
    case qcRaw:
    case qcOpenLocal:
        return 1;
    case qcRename:
    case qcSetFlag:
        return 2;
    case qcGet:
    case qcPut:
        return 3;
    default:
        return -1;
    }
}

bool QueueCodeAt(const QStringList& queue, int pos, int& code)
{
    if (pos < 0 || pos >= queue.size())
        return false;
    bool ok = false;
    int value = queue[pos].toInt(&ok, 10);
    if (!ok)
        return false;
    code = value;
    return true;
}

QString QueueTypeArg(bool binary)
{
    return binary ? QStringLiteral("I") : QStringLiteral("A");
}

bool QueueTypeIsBinary(const QString& arg)
{
    return arg != QLatin1String("A");
}

namespace {

void CheckArgs(int code, const QStringList& args)
{
    // A wrong count would shift every later entry: the next code would be read from an
    // argument. Refuse it here, where the mistake is made.
    if (QueueArgCount(code) != args.size())
        throw std::logic_error("command queue entry " + std::to_string(code) + " needs "
                               + std::to_string(QueueArgCount(code)) + " arguments, got "
                               + std::to_string(args.size()));
}

} // namespace

void QueueAppend(QStringList& queue, int code, const QStringList& args)
{
    CheckArgs(code, args);
    queue.append(QString::number(code));
    queue.append(args);
}

void QueuePrepend(QStringList& queue, int code, const QStringList& args)
{
    CheckArgs(code, args);
    QStringList entry;
    entry.reserve(args.size() + 1);
    entry.append(QString::number(code));
    entry.append(args);
    queue = entry + queue;
}

QString QueueHeadArg(const QStringList& queue, int n)
{
    int code = 0;
    if (!QueueCodeAt(queue, 0, code) || n < 1 || n > QueueArgCount(code) || n >= queue.size())
        return QString();
    return queue[n];
}

void QueueDropHead(QStringList& queue)
{
    if (queue.isEmpty())
        return;
    int code = 0;
    int count = QueueCodeAt(queue, 0, code) ? QueueArgCount(code) : 0;
    if (count < 0)
        count = 0;
    queue.remove(0, std::min<qsizetype>(count + 1, queue.size()));
}

QList<QStringList> QueueEntries(const QStringList& queue)
{
    QList<QStringList> entries;
    qsizetype pos = 0;
    while (pos < queue.size()) {
        int code = 0;
        int count = QueueCodeAt(queue, static_cast<int>(pos), code) ? QueueArgCount(code) : 0;
        if (count < 0)
            count = 0;
        qsizetype length = std::min<qsizetype>(count + 1, queue.size() - pos);
        entries.append(queue.mid(pos, length));
        pos += length;
    }
    return entries;
}
