// Transfer status window layout and its one handler.
#include "dialogs/TransferStatusForm.h"

#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

TTransferStatusForm::TTransferStatusForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    setObjectName(QStringLiteral("TransferStatusForm"));
    setWindowTitle(QStringLiteral("Transfer status"));
    setModal(false);

    auto* grid = new QGridLayout;
    auto addRow = [&](int row, const QString& caption, QLabel*& value, const char* name) {
        grid->addWidget(new QLabel(caption, this), row, 0);
        value = new QLabel(QStringLiteral("Unknown"), this);
        value->setObjectName(QLatin1String(name));
        value->setMinimumWidth(160);
        grid->addWidget(value, row, 1);
    };
    // The backslash and "%s" of the two middle captions are shown as they stand.
    addRow(0, QStringLiteral("File size:"), lblFileSize, "lblFileSize");
    addRow(1, QStringLiteral("Uploaded\\downloaded bytes"), lblLoaded, "lblLoaded");
    addRow(2, QStringLiteral("Uploaded\\downloaded %s"), lblLoadedProcents, "lblLoadedProcents");
    addRow(3, QStringLiteral("Local name"), lblSaveDir, "lblSaveDir");
    grid->setColumnStretch(1, 1);

    pbProgress = new QProgressBar(this);
    pbProgress->setObjectName(QStringLiteral("pbProgress"));
    pbProgress->setRange(0, 100);
    pbProgress->setValue(0);

    btnAbort = new QPushButton(QStringLiteral("&Cancel"), this);
    btnAbort->setObjectName(QStringLiteral("btnAbort"));
    btnAbort->setAutoDefault(false);
    connect(btnAbort, &QPushButton::clicked, this, [this] { btnAbortClick(); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnAbort);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(pbProgress);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TTransferStatusForm::btnAbortClick()
{
    if (OnAbortClick)
        OnAbortClick();
}

void TTransferStatusForm::reject()
{
    btnAbortClick();
}

void TTransferStatusForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    btnAbort->setFocus();
}
