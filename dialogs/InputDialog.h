// The one-line input dialog: a prompt, one edit, OK and Cancel.
#pragma once

#include <QDialog>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

// Modal dialog that asks for one line of text; callers Prepare it, ShowModal() it and read
// txtResult only when that returned QDialog::Accepted.
class TInputDialog : public QDialog {
public:
    explicit TInputDialog(QWidget* parent = nullptr);

    QLabel* lblPrompt;      // the question above the edit
    QLineEdit* txtResult;   // the answer, taken unchanged (no trimming, may be empty)
    QPushButton* btnOk;     // default button, accepts
    QPushButton* btnCancel; // cancel button, rejects

    // Sets the prompt, the window caption and the initial text of the edit.
    void Prepare(const QString& prompt, const QString& caption, const QString& initialText);

    // Replaces exec() in ShowModal() (tests of its callers). Empty = exec().
    std::function<int()> OnShowModal;
    int ShowModal() { return OnShowModal ? OnShowModal() : exec(); }

protected:
    void showEvent(QShowEvent* event) override;
};
