// The file-exists dialog: what to do when the target of a transfer already exists, with
// Save As through the save-file dialog (local target) or the input dialog (remote target).
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>

class QFileDialog;
class QLabel;
class QPushButton;
class TInputDialog;

// The answers, one per button. The two that hold for every remaining file of a batch are
// the only codes of 10 or more.
constexpr std::int32_t fecRewrite = 0;      // "&Rewrite": overwrite this file
constexpr std::int32_t fecSkip = 1;         // "&Skip": leave this file alone
constexpr std::int32_t fecRestore = 2;      // "Restore &broken transfer": resume it
constexpr std::int32_t fecSaveAs = 3;       // "Sa&ve As...": transfer to TargetFileName
constexpr std::int32_t fecRewriteAll = 10;  // "Rewrite &All": overwrite this and later ones
constexpr std::int32_t fecCancelAll = 11;   // "&Cancel": skip this and later conflicts

// Values of SaveAsMode.
constexpr std::int32_t samSaveDialog = 0;   // local target: the save-file dialog
constexpr std::int32_t samInputDialog = 1;  // remote target: the one-line input dialog

// Modal dialog that collects one answer. The caller sets SaveAsMode and TargetFileName,
// puts "<name> exists" into lblWarning, calls ShowModal(), then reads Choice and, for
// fecSaveAs, the new name from TargetFileName. Created once and reused.
class TFileExistsForm : public QDialog {
public:
    // Builds the dialog and runs FormCreate.
    explicit TFileExistsForm(QWidget* parent = nullptr);

    QLabel* lblWarning;                   // "File exists." at first; maroon, a larger font
    QPushButton* btnReplace;              // "&Rewrite", the default button
    QPushButton* btnCancel;               // "&Skip", the cancel button, focused on opening
    QPushButton* btnSaveAs;               // "Sa&ve As..."
    QPushButton* btnReplaceAll;           // "Rewrite &All"
    QPushButton* btnCancelAll;            // "&Cancel"
    QPushButton* btnRestartBrokenTransfer;// "Restore &broken transfer"
    QFileDialog* SaveDialog1;             // "Download": the Save As dialog for local targets

    // The answer: set by every button that closes the dialog; 0 until the first answer.
    std::int32_t Choice = 0;
    // In: the conflicting name (local path or remote name). Out: the name Save As chose.
    QString TargetFileName;
    // How Save As asks for the name: samSaveDialog or samInputDialog; other values make
    // the button do nothing.
    std::int32_t SaveAsMode = samSaveDialog;

    // The shared one-line input dialog, set by start-up; when empty the dialog uses one
    // of its own.
    QPointer<TInputDialog> InputDialog;

    // Replaces exec() of the box Save As opens (SaveDialog1 or the input dialog) and
    // returns what exec() would: tests answer them this way. Empty = exec().
    std::function<int(QDialog& box)> OnRunModal;
    // Replaces exec() of this dialog in ShowModal() (tests of its callers). Empty = exec().
    std::function<int()> OnShowModal;

    // Shows the dialog modally until a button answered; then Choice holds the answer.
    int ShowModal();

    // ---- Handlers: each sets Choice to its code and closes the dialog with OK. ----
    void FormCreate();
    void btnReplaceClick();
    void btnCancelClick();
    void btnRestartBrokenTransferClick();
    void btnReplaceAllClick();
    void btnCancelAllClick();
    // Asks for the new name; only a confirmed name answers fecSaveAs and closes.
    void btnSaveAsClick();

protected:
    // Escape answers "&Skip", like pressing the cancel button.
    void reject() override;
    void showEvent(QShowEvent* event) override;

private:
    void Answer(std::int32_t choice);
    int RunModal(QDialog& box);
    TInputDialog& Input();

    TInputDialog* FOwnInputDialog = nullptr;
};
