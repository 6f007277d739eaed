// The rules behind transfers that need no window: the transfer type by the extension list
// file, which remote names may become local file names, the per cent of a transfer, and
// how often the transfer status window is repainted.
#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>

// Values of the main window's TransferTypeMode.
constexpr std::int32_t ttmAuto = 0;     // by the extension list file
constexpr std::int32_t ttmBinary = 1;   // always binary
constexpr std::int32_t ttmAscii = 2;    // always ASCII

// The outcome of deciding one file's transfer type.
struct TTransferTypeDecision {
    bool Binary = true;   // true: TYPE I, false: TYPE A
    QString Warning;      // the user-log warning to write, empty for none
};

// The extension of a file name or path: from the last dot of its last path component,
// dot included, in lower case (letters A to Z only); empty when that component has no dot.
std::string TransferExtension(std::string_view fileName);

// Whether the extension list (the bytes of the file, lines ended by LF or CR LF) names the
// extension: "." + some whole line equals it, compared byte for byte.
bool ExtensionListHas(std::string_view listData, std::string_view extension);

// The transfer type of fileName under mode; in automatic mode the list file at listPath
// is read anew on every call (a missing or unreadable file means binary with a warning).
TTransferTypeDecision DecideTransferType(std::int32_t mode, std::string_view fileName,
                                         const std::string& listPath);

// Whether a name taken from the server may become the last component of a local path:
// not empty, not "." or "..", and holding neither "/" nor a NUL byte. Anything else could
// name a file outside the directory it is meant to land in. Nor may it hold a CR or LF: sent
// in a command, a server that ends lines at either would run the rest as a command of its
// own ("x\rDELE y" in a shared folder would delete y as the user).
bool IsSafeRemoteName(std::string_view name);
// The user-log error for a name IsSafeRemoteName refused.
QString RefusedRemoteNameText(const QString& name);
// Whether text may go into a command line: it holds no CR, LF or NUL, which would split
// the line into a second command. Paths ("/pub/x") are fine here.
bool IsSafeCommandText(std::string_view text);

// The size text of a transfer as a number: decimal digits with an optional sign; -1 when
// it is empty, not a number or out of range.
std::int64_t TransferSizeValue(const QString& text);

// The per cent shown for count bytes of a file of size bytes: count div (size div 100),
// in 64 bits, so files past 2 GiB come out right. -1 (no per cent) when the size is below
// 100 or unknown. The result may pass 100 (a text file that grows by its line ends); it is
// capped only at the largest int.
int TransferPercent(std::int64_t count, std::int64_t size);

// Decides when the transfer status window is repainted: at the first report, then at most
// once per interval. A change of the per cent waits like any other report: a fast transfer
// changes it fifty times a second or more, and each repaint (about half a millisecond)
// holds the transfer up. The last report that was held back is kept, so that the caller
// can show it later (the final state is never lost).
class TProgressThrottle {
public:
    // Repaints at most every intervalMs milliseconds.
    explicit TProgressThrottle(std::uint64_t intervalMs = 50) : FInterval(intervalMs) {}

    // Forgets the earlier transfer: the next report is shown at once.
    void Reset();
    // Records a report at time nowMs; true when it is to be shown now, false when it was
    // held back (then Pending() is true until it is taken).
    bool Report(std::int64_t count, std::uint64_t nowMs);
    // True while a report was held back and not shown since.
    bool Pending() const { return FPending; }
    // The byte count of the last report.
    std::int64_t LastCount() const { return FLastCount; }
    // Marks the last report as shown at time nowMs.
    void Shown(std::uint64_t nowMs);

private:
    std::uint64_t FInterval;
    bool FStarted = false;
    bool FPending = false;
    std::int64_t FLastCount = 0;
    std::uint64_t FShownAt = 0;
};
