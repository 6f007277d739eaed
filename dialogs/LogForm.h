// The debug log window: one read-only text box that the main window appends to.
#pragma once

#include <QWidget>

class QPlainTextEdit;

// Sizeable tool window showing the debug log; it keeps collecting lines while hidden.
class TLogForm : public QWidget {
public:
    explicit TLogForm(QWidget* parent = nullptr);

    // The log text: "Ombrex FTP" at first, then the lines the main window appends.
    QPlainTextEdit* txtLog;
};
