// One-line input dialog layout and Prepare.
#include "dialogs/InputDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TInputDialog::TInputDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("InputDialog"));
    setWindowTitle(QStringLiteral("Ombrex FTP"));
    setModal(true);

    lblPrompt = new QLabel(QStringLiteral("lblPrompt"), this);
    lblPrompt->setObjectName(QStringLiteral("lblPrompt"));
    txtResult = new QLineEdit(this);
    txtResult->setObjectName(QStringLiteral("txtResult"));
    txtResult->setMinimumWidth(300);
    lblPrompt->setBuddy(txtResult);

    btnOk = new QPushButton(QStringLiteral("OK"), this);
    btnOk->setObjectName(QStringLiteral("btnOk"));
    btnOk->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setAutoDefault(false);
    connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOk);
    buttons->addWidget(btnCancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblPrompt);
    layout->addWidget(txtResult);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(txtResult, btnOk);
    setTabOrder(btnOk, btnCancel);
}

void TInputDialog::Prepare(const QString& prompt, const QString& caption,
                           const QString& initialText)
{
    lblPrompt->setText(prompt);
    setWindowTitle(caption);
    txtResult->setText(initialText);
}

void TInputDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // The edit gets the focus with its text selected, so typing replaces a proposed name.
    txtResult->setFocus();
    txtResult->selectAll();
}
