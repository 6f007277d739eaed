// Transfer type by extension list, safe remote names, per cent and repaint throttle.
#include "app/TransferRules.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace {

// Reads a whole (small) file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& out)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    out.clear();
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        ::close(fd);
        return n == 0;
    }
}

} // namespace

std::string TransferExtension(std::string_view fileName)
{
    std::size_t slash = fileName.rfind('/');
    std::string_view last = slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
    std::size_t dot = last.rfind('.');
    if (dot == std::string_view::npos)
        return {};
    std::string extension(last.substr(dot));
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return extension;
}

bool ExtensionListHas(std::string_view listData, std::string_view extension)
{
    if (extension.empty() || extension.front() != '.')
        return false;
    std::string_view wanted = extension.substr(1);
    std::size_t start = 0;
    while (start < listData.size()) {
        std::size_t end = listData.find('\n', start);
        std::size_t next = end == std::string_view::npos ? listData.size() : end + 1;
        if (end == std::string_view::npos)
            end = listData.size();
        std::string_view line = listData.substr(start, end - start);
        // CR LF and LF both end a line; every other byte, blanks included, is part of it.
        if (end < listData.size() && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line == wanted)
            return true;
        start = next;
    }
    return false;
}

TTransferTypeDecision DecideTransferType(std::int32_t mode, std::string_view fileName,
                                         const std::string& listPath)
{
    TTransferTypeDecision decision;
    switch (mode) {
    case ttmBinary:
        decision.Warning = QStringLiteral("Auto detect of transfer type isn't enabed, using bin mode");
        return decision;
    case ttmAscii:
        decision.Binary = false;
        decision.Warning = QStringLiteral("Auto detect of transfer type isn't enabed, using ascii mode");
        return decision;
    default:
        break;
    }
    std::string list;
    if (!ReadWholeFile(listPath, list)) {
        decision.Warning = QStringLiteral("FILE WITH TRANSFER TYPE SETTINGS NOT FOUND, BIN MODE WILL USED");
        return decision;
    }
    const std::string extension = TransferExtension(fileName);
    decision.Binary = extension.empty() || !ExtensionListHas(list, extension);
    return decision;
}

bool IsSafeRemoteName(std::string_view name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    return name.find_first_of(std::string_view("/\0\r\n", 4)) == std::string_view::npos;
}

bool IsSafeCommandText(std::string_view text)
{
    return text.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

QString RefusedRemoteNameText(const QString& name)
{
    // A log line is one line: the characters that made the name unsafe are shown, not obeyed.
    QString shown = name;
    shown.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    shown.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    shown.replace(QChar(u'\0'), QStringLiteral("\\0"));
    return QStringLiteral("Refused file name from the server: \"") + shown + QStringLiteral("\"");
}

std::int64_t TransferSizeValue(const QString& text)
{
    bool ok = false;
    qlonglong value = text.toLongLong(&ok, 10);
    return ok ? static_cast<std::int64_t>(value) : -1;
}

int TransferPercent(std::int64_t count, std::int64_t size)
{
    if (size < 100)
        return -1;
    std::int64_t percent = count / (size / 100);
    if (percent > INT_MAX)
        return INT_MAX;
    if (percent < 0)
        return 0;
    return static_cast<int>(percent);
}

void TProgressThrottle::Reset()
{
    FStarted = false;
    FPending = false;
    FLastCount = 0;
    FShownAt = 0;
}

bool TProgressThrottle::Report(std::int64_t count, std::uint64_t nowMs)
{
    FLastCount = count;
    if (!FStarted || nowMs - FShownAt >= FInterval) {
        FStarted = true;
        FShownAt = nowMs;
        FPending = false;
        return true;
    }
    FPending = true;
    return false;
}

void TProgressThrottle::Shown(std::uint64_t nowMs)
{
    FPending = false;
    FShownAt = nowMs;
}
