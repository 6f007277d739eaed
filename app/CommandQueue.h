// The command codes of the main window's queue of pending FTP work, and helpers that add,
// read and remove whole entries (a code followed by its fixed number of arguments).
#pragma once

#include <QString>
#include <QStringList>

// The codes an entry of the command queue starts with; the number is what the queue stores.
enum TQueueCommand : int {
    qcNone = 0,             // nothing
    qcConnect = 1,          // Connect
    qcQuit = 2,             // Quit
    qcList = 3,             // ListDir into the listing file
    qcPwd = 5,              // Pwd
    qcCwd = 6,              // Cwd: directory
    qcCdUp = 7,             // Cdup
    qcGet = 8,              // transfer step, download: remote name, local path, size text
    qcPut = 9,              // transfer step, upload: remote name, local path, size text
    qcType = 10,            // SendType: "I" (binary) or "A" (ASCII)
    qcDele = 11,            // Dele: remote name
    qcRmd = 12,             // Rmd: remote name
    qcExpandRemove = 13,    // the remove expansion
    qcMkd = 14,             // Mkd: remote name
    qcRename = 15,          // Rename: old name, new name
    qcRaw = 100,            // Quote: command line
    qcSetFlag = 1001,       // flag number, value
    qcOpenLocal = 1002,     // open a local file with the desktop: local path
};

// Number of argument strings that follow code in the queue; -1 for a code outside the table.
int QueueArgCount(int code);

// Reads the code at position pos of queue; false (code untouched) when the string there is
// no decimal number or pos is out of range.
bool QueueCodeAt(const QStringList& queue, int pos, int& code);

// The argument text of qcType for a transfer type: "I" for binary, "A" for ASCII.
QString QueueTypeArg(bool binary);
// The transfer type an argument of qcType stands for: binary unless it is "A".
bool QueueTypeIsBinary(const QString& arg);

// Appends one whole entry; args must hold exactly QueueArgCount(code) strings (checked).
void QueueAppend(QStringList& queue, int code, const QStringList& args = {});
// Inserts one whole entry in front of the queue (args as for QueueAppend).
void QueuePrepend(QStringList& queue, int code, const QStringList& args = {});
// Argument n (1-based) of the entry at the head; an empty string when its code has fewer
// arguments or the queue ends before it (nothing past the entry is ever read).
QString QueueHeadArg(const QStringList& queue, int n);
// Removes the entry at the head: its code and the arguments its code has (fewer when the
// queue ends first); a head that is no number is removed alone.
void QueueDropHead(QStringList& queue);
// Splits the queue into its entries, head first, each as code text followed by its
// arguments (for logs and tests).
QList<QStringList> QueueEntries(const QStringList& queue);
