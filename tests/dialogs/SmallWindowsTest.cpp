// The small windows: captions, first texts, the input dialog's Prepare and answers, the
// status window's cancel hook, the about box's link.
#include "dialogs/AboutBox.h"
#include "dialogs/InputDialog.h"
#include "dialogs/LogForm.h"
#include "dialogs/TransferStatusForm.h"

#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <functional>

namespace {

// Runs action once the dialog's modal loop has started.
void WhileModal(std::function<void()> action)
{
    QTimer::singleShot(0, std::move(action));
}

QStringList LabelTexts(QWidget* form)
{
    QStringList texts;
    for (QLabel* label : form->findChildren<QLabel*>())
        texts << label->text();
    return texts;
}

// Receives what QDesktopServices::openUrl hands to the "http" scheme.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> Urls;
public slots:
    void Open(const QUrl& url) { Urls << url; }
};

} // namespace

// ---- transfer status window ----

TEST(TransferStatusForm, CaptionWidgetsAndFirstTexts)
{
    TTransferStatusForm form;
    EXPECT_EQ(form.windowTitle(), "Transfer status");
    EXPECT_FALSE(form.isModal());
    EXPECT_FALSE(form.windowFlags() & Qt::WindowCloseButtonHint);
    for (QLabel* value : {form.lblFileSize, form.lblLoaded, form.lblLoadedProcents, form.lblSaveDir})
        EXPECT_EQ(value->text(), "Unknown") << value->objectName().toStdString();
    EXPECT_EQ(form.pbProgress->minimum(), 0);
    EXPECT_EQ(form.pbProgress->maximum(), 100);
    EXPECT_EQ(form.pbProgress->value(), 0);
    EXPECT_EQ(form.btnAbort->text(), "&Cancel");
    // The two captions with a backslash and "%s" are shown literally.
    QStringList texts = LabelTexts(&form);
    for (const char* caption : {"File size:", "Uploaded\\downloaded bytes",
                                "Uploaded\\downloaded %s", "Local name"})
        EXPECT_TRUE(texts.contains(QString::fromLatin1(caption))) << caption;
}

TEST(TransferStatusForm, CancelButtonAndEscapeRunTheAbortHookAndKeepTheWindow)
{
    TTransferStatusForm form;
    int aborts = 0;
    form.OnAbortClick = [&] { ++aborts; };
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(form.focusWidget(), form.btnAbort);
    QTest::mouseClick(form.btnAbort, Qt::LeftButton);
    EXPECT_EQ(aborts, 1);
    QTest::keyClick(&form, Qt::Key_Escape);
    EXPECT_EQ(aborts, 2);
    EXPECT_TRUE(form.isVisible()) << "Escape cancels the transfer; only the main window hides this";
}

TEST(TransferStatusForm, CancelWithoutHookDoesNothing)
{
    TTransferStatusForm form;
    form.show();
    QTest::mouseClick(form.btnAbort, Qt::LeftButton);
    EXPECT_TRUE(form.isVisible());
}

// ---- input dialog ----

TEST(InputDialog, FirstCaptionAndPrompt)
{
    TInputDialog dialog;
    EXPECT_EQ(dialog.windowTitle(), "Ombrex FTP");
    EXPECT_EQ(dialog.lblPrompt->text(), "lblPrompt");
    EXPECT_EQ(dialog.txtResult->text(), "");
    EXPECT_TRUE(dialog.btnOk->isDefault());
    EXPECT_TRUE(dialog.isModal());
}

TEST(InputDialog, PrepareSetsAllThreeForEveryUse)
{
    struct Use {
        const char* prompt;
        const char* caption;
        const char* initial;
    };
    const Use uses[] = {
        {"Site name:", "Add to favorites", ""},
        {"Enter new file name:", "Save as...", "old name.txt"},
        {"Enter new directory name:", "New directory...", ""},
        {"Enter new file name:", "Rename...", "index.html"},
        {"Enter ftp command:", "Custom command", ""},
        {"Enter file attributes:", "CHMOD", "644"},
    };
    TInputDialog dialog;
    for (const Use& use : uses) {
        dialog.txtResult->setText("left over from the last use");
        dialog.Prepare(use.prompt, use.caption, use.initial);
        EXPECT_EQ(dialog.lblPrompt->text(), use.prompt);
        EXPECT_EQ(dialog.windowTitle(), use.caption);
        EXPECT_EQ(dialog.txtResult->text(), use.initial);
    }
}

TEST(InputDialog, OkReturnsTheTextUnchanged)
{
    const char* answers[] = {"  spaced  ", "", "SITE CHMOD 755 index.html"};
    TInputDialog dialog;
    for (const char* answer : answers) {
        dialog.Prepare("Enter ftp command:", "Custom command", "");
        WhileModal([&] {
            EXPECT_EQ(dialog.focusWidget(), dialog.txtResult);
            QTest::keyClicks(dialog.txtResult, QString::fromLatin1(answer));
            QTest::keyClick(dialog.txtResult, Qt::Key_Return);
        });
        EXPECT_EQ(dialog.exec(), QDialog::Accepted);
        EXPECT_EQ(dialog.txtResult->text(), answer);
    }
}

TEST(InputDialog, TypingReplacesTheProposedText)
{
    TInputDialog dialog;
    dialog.Prepare("Enter new file name:", "Rename...", "old.txt");
    WhileModal([&] {
        QTest::keyClicks(dialog.txtResult, "new.txt");
        QTest::mouseClick(dialog.btnOk, Qt::LeftButton);
    });
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_EQ(dialog.txtResult->text(), "new.txt");
}

TEST(InputDialog, CancelAndEscapeLeaveTheTextAsTyped)
{
    TInputDialog dialog;
    dialog.Prepare("Enter new directory name:", "New directory...", "");
    WhileModal([&] {
        QTest::keyClicks(dialog.txtResult, "typed");
        QTest::mouseClick(dialog.btnCancel, Qt::LeftButton);
    });
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
    EXPECT_EQ(dialog.txtResult->text(), "typed");

    dialog.Prepare("Enter new directory name:", "New directory...", "");
    WhileModal([&] {
        QTest::keyClicks(dialog.txtResult, "again");
        QTest::keyClick(dialog.txtResult, Qt::Key_Escape);
    });
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
    EXPECT_EQ(dialog.txtResult->text(), "again");
}

// ---- debug log window ----

TEST(LogForm, CaptionSizeAndFirstLine)
{
    TLogForm form;
    EXPECT_EQ(form.windowTitle(), "LogForm");
    EXPECT_EQ(form.size(), QSize(193, 300));
    EXPECT_EQ(form.windowType(), Qt::Tool);
    EXPECT_TRUE(form.txtLog->isReadOnly());
    EXPECT_EQ(form.txtLog->toPlainText(), "Ombrex FTP");
    EXPECT_EQ(form.txtLog->blockCount(), 1);
    EXPECT_EQ(form.txtLog->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(form.txtLog->palette().color(QPalette::Text), QColor(0, 0, 128));
}

// ---- about box ----

TEST(AboutBox, CaptionAndTexts)
{
    TAboutBox box;
    EXPECT_EQ(box.windowTitle(), "About");
    EXPECT_EQ(box.ProductName->text(), "Ombrex FTP");
    EXPECT_TRUE(box.ProductName->font().bold());
    EXPECT_EQ(box.Version->text(), "Version 1.0");
    EXPECT_FALSE(box.Comments->text().isEmpty());
    EXPECT_TRUE(box.SiteLabel->font().underline());
    EXPECT_EQ(box.SiteLabel->palette().color(QPalette::WindowText), QColor(Qt::blue));
    ASSERT_FALSE(box.ProgramIcon->pixmap().isNull());
    EXPECT_EQ(box.ProgramIcon->size(), QSize(32, 32));
    EXPECT_EQ(box.OKButton->text(), "OK");
    EXPECT_TRUE(box.OKButton->isDefault());
}

TEST(AboutBox, ClickingTheSiteLabelOpensItsAddress)
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("http", &catcher, "Open");
    TAboutBox box;
    box.show();
    QTest::mouseClick(box.SiteLabel, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler("http");
    ASSERT_EQ(catcher.Urls.size(), 1);
    EXPECT_EQ(catcher.Urls[0], QUrl::fromUserInput(box.SiteLabel->text()));
}

TEST(AboutBox, OkClosesTheModalBox)
{
    TAboutBox box;
    WhileModal([&] { QTest::mouseClick(box.OKButton, Qt::LeftButton); });
    EXPECT_EQ(box.exec(), QDialog::Accepted);
}

#include "SmallWindowsTest.moc"
