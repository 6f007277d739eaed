// Debug log window layout.
#include "dialogs/LogForm.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QVBoxLayout>

TLogForm::TLogForm(QWidget* parent) : QWidget(parent, Qt::Tool)
{
    setObjectName(QStringLiteral("LogForm"));
    setWindowTitle(QStringLiteral("LogForm"));
    resize(193, 300);

    txtLog = new QPlainTextEdit(this);
    txtLog->setObjectName(QStringLiteral("txtLog"));
    txtLog->setReadOnly(true);
    // Lines are appended and dropped all the time; an undo history would only grow.
    txtLog->setUndoRedoEnabled(false);
    txtLog->setFrameShape(QFrame::NoFrame);
    txtLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtLog->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    QPalette palette = txtLog->palette();
    palette.setColor(QPalette::Text, QColor(0, 0, 128));
    txtLog->setPalette(palette);
    txtLog->setPlainText(QStringLiteral("Ombrex FTP"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(txtLog);
}
