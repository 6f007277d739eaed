// File-exists dialog layout and its answers.
#include "dialogs/FileExistsForm.h"

#include "dialogs/InputDialog.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TFileExistsForm::TFileExistsForm(QWidget* parent)
    // No title-bar buttons at all: the dialog ends only with an answer.
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
                          | Qt::WindowTitleHint)
{
    setObjectName(QStringLiteral("FileExistsForm"));
    setWindowTitle(QStringLiteral("FiIe exists"));
    setModal(true);

    lblWarning = new QLabel(QStringLiteral("File exists."), this);
    lblWarning->setObjectName(QStringLiteral("lblWarning"));
    QFont font = lblWarning->font();
    font.setPointSizeF(font.pointSizeF() * 1.2);
    lblWarning->setFont(font);
    QPalette palette = lblWarning->palette();
    palette.setColor(QPalette::WindowText, QColor(128, 0, 0));   // maroon
    lblWarning->setPalette(palette);
    lblWarning->setWordWrap(true);
    lblWarning->setMinimumWidth(420);

    auto button = [this](const char* name, const char* caption) {
        auto* b = new QPushButton(QString::fromLatin1(caption), this);
        b->setObjectName(QLatin1String(name));
        b->setMinimumWidth(136);
        return b;
    };
    btnReplace = button("btnReplace", "&Rewrite");
    btnCancel = button("btnCancel", "&Skip");
    btnSaveAs = button("btnSaveAs", "Sa&ve As...");
    btnReplaceAll = button("btnReplaceAll", "Rewrite &All");
    btnCancelAll = button("btnCancelAll", "&Cancel");
    btnRestartBrokenTransfer = button("btnRestartBrokenTransfer", "Restore &broken transfer");
    btnReplace->setDefault(true);

    auto* buttons = new QGridLayout;
    buttons->addWidget(btnReplace, 0, 0);
    buttons->addWidget(btnCancel, 0, 1);
    buttons->addWidget(btnSaveAs, 0, 2);
    buttons->addWidget(btnReplaceAll, 1, 0);
    buttons->addWidget(btnCancelAll, 1, 1);
    buttons->addWidget(btnRestartBrokenTransfer, 1, 2);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblWarning);
    layout->addSpacing(8);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(btnReplace, btnCancel);
    setTabOrder(btnCancel, btnSaveAs);
    setTabOrder(btnSaveAs, btnReplaceAll);
    setTabOrder(btnReplaceAll, btnCancelAll);
    setTabOrder(btnCancelAll, btnRestartBrokenTransfer);

    SaveDialog1 = new QFileDialog(this, QStringLiteral("Download"));
    SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);   // editable name, asks before overwriting
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
    // "All (*.*)" is what the user reads; "*" is what matches every name here, where "*.*"
    // would hide the names without a dot.
    SaveDialog1->setOption(QFileDialog::HideNameFilterDetails);
    SaveDialog1->setNameFilter(QStringLiteral("All (*.*) (*)"));

    connect(btnReplace, &QPushButton::clicked, this, [this] { btnReplaceClick(); });
    connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancelClick(); });
    connect(btnSaveAs, &QPushButton::clicked, this, [this] { btnSaveAsClick(); });
    connect(btnReplaceAll, &QPushButton::clicked, this, [this] { btnReplaceAllClick(); });
    connect(btnCancelAll, &QPushButton::clicked, this, [this] { btnCancelAllClick(); });
    connect(btnRestartBrokenTransfer, &QPushButton::clicked, this,
            [this] { btnRestartBrokenTransferClick(); });

    FormCreate();
}

void TFileExistsForm::FormCreate()
{
    Choice = fecRewrite;
}

int TFileExistsForm::ShowModal()
{
    return OnShowModal ? OnShowModal() : exec();
}

int TFileExistsForm::RunModal(QDialog& box)
{
    return OnRunModal ? OnRunModal(box) : box.exec();
}

TInputDialog& TFileExistsForm::Input()
{
    if (InputDialog)
        return *InputDialog;
    if (!FOwnInputDialog)
        FOwnInputDialog = new TInputDialog(this);
    return *FOwnInputDialog;
}

void TFileExistsForm::Answer(std::int32_t choice)
{
    Choice = choice;
    QDialog::accept();
}

void TFileExistsForm::btnReplaceClick()
{
    Answer(fecRewrite);
}

void TFileExistsForm::btnCancelClick()
{
    Answer(fecSkip);
}

void TFileExistsForm::btnRestartBrokenTransferClick()
{
    Answer(fecRestore);
}

void TFileExistsForm::btnReplaceAllClick()
{
    Answer(fecRewriteAll);
}

void TFileExistsForm::btnCancelAllClick()
{
    Answer(fecCancelAll);
}

void TFileExistsForm::btnSaveAsClick()
{
    if (SaveAsMode == samSaveDialog) {
        SaveDialog1->selectFile(TargetFileName);
        if (RunModal(*SaveDialog1) != QDialog::Accepted)
            return;
        QStringList chosen = SaveDialog1->selectedFiles();
        if (chosen.isEmpty() || chosen.first().isEmpty())
            return;
        TargetFileName = chosen.first();
        Answer(fecSaveAs);
    } else if (SaveAsMode == samInputDialog) {
        TInputDialog& input = Input();
        input.Prepare(QStringLiteral("Enter new file name:"), QStringLiteral("Save as..."),
                      TargetFileName);
        if (RunModal(input) != QDialog::Accepted)
            return;
        TargetFileName = input.txtResult->text();   // taken unchecked, empty included
        Answer(fecSaveAs);
    }
}

void TFileExistsForm::reject()
{
    btnCancelClick();
}

void TFileExistsForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    btnCancel->setFocus();
}
