// The file-exists dialog: captions, the six answers and their codes, default and cancel
// buttons, and Save As through the save-file dialog (local) and the input dialog (remote).
#include "dialogs/FileExistsForm.h"

#include "ModalScript.h"
#include "dialogs/InputDialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

class FileExistsFormTest : public testing::Test {
protected:
    void SetUp() override { Form.InputDialog = &Input; }

    // Shows the dialog modally and runs act once it is up; returns exec()'s result.
    int Show(std::function<void(TFileExistsForm&)> act)
    {
        TModalScript script;
        script.Then("FiIe exists", [&](QWidget*) {
            // Keyboard shortcuts reach only the active window.
            EXPECT_TRUE(QTest::qWaitForWindowActive(&Form));
            act(Form);
        });
        return Form.ShowModal();
    }

    TInputDialog Input;
    TFileExistsForm Form;
};

} // namespace

TEST_F(FileExistsFormTest, CaptionsAndLook)
{
    EXPECT_EQ(Form.windowTitle(), "FiIe exists");
    EXPECT_TRUE(Form.isModal());
    EXPECT_TRUE(Form.windowFlags() & Qt::CustomizeWindowHint);
    EXPECT_FALSE(Form.windowFlags()
                 & (Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint
                    | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint))
        << "no title-bar buttons at all";
    EXPECT_EQ(Form.lblWarning->text(), "File exists.");
    EXPECT_EQ(Form.lblWarning->palette().color(QPalette::WindowText), QColor(128, 0, 0));
    EXPECT_GT(Form.lblWarning->font().pointSizeF(), Form.font().pointSizeF());
    EXPECT_EQ(Form.Choice, 0);
    EXPECT_EQ(Form.SaveAsMode, 0);
    EXPECT_TRUE(Form.btnReplace->isDefault());

    // Two rows: Rewrite, Skip, Save As above; Rewrite All, Cancel, Restore below.
    auto top = [](QWidget* w) { return w->geometry().top(); };
    Form.adjustSize();
    EXPECT_EQ(top(Form.btnReplace), top(Form.btnCancel));
    EXPECT_EQ(top(Form.btnCancel), top(Form.btnSaveAs));
    EXPECT_EQ(top(Form.btnReplaceAll), top(Form.btnCancelAll));
    EXPECT_EQ(top(Form.btnCancelAll), top(Form.btnRestartBrokenTransfer));
    EXPECT_LT(top(Form.btnReplace), top(Form.btnReplaceAll));
    EXPECT_LT(Form.btnReplace->x(), Form.btnCancel->x());
    EXPECT_LT(Form.btnCancel->x(), Form.btnSaveAs->x());

    EXPECT_EQ(Form.SaveDialog1->windowTitle(), "Download");
    EXPECT_EQ(Form.SaveDialog1->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_FALSE(Form.SaveDialog1->testOption(QFileDialog::DontConfirmOverwrite))
        << "asks before overwriting";
    EXPECT_FALSE(Form.SaveDialog1->testOption(QFileDialog::ReadOnly));
    EXPECT_EQ(Form.SaveDialog1->nameFilters(), QStringList{"All (*.*) (*)"});
}

TEST_F(FileExistsFormTest, SixAnswersWithTheirCodes)
{
    struct Case {
        QPushButton* TFileExistsForm::*button;
        const char* caption;
        std::int32_t code;
    };
    const Case cases[] = {
        {&TFileExistsForm::btnReplace, "&Rewrite", fecRewrite},
        {&TFileExistsForm::btnCancel, "&Skip", fecSkip},
        {&TFileExistsForm::btnRestartBrokenTransfer, "Restore &broken transfer", fecRestore},
        {&TFileExistsForm::btnSaveAs, "Sa&ve As...", fecSaveAs},
        {&TFileExistsForm::btnReplaceAll, "Rewrite &All", fecRewriteAll},
        {&TFileExistsForm::btnCancelAll, "&Cancel", fecCancelAll},
    };
    EXPECT_EQ(fecRewrite, 0);
    EXPECT_EQ(fecSkip, 1);
    EXPECT_EQ(fecRestore, 2);
    EXPECT_EQ(fecSaveAs, 3);
    EXPECT_EQ(fecRewriteAll, 10);
    EXPECT_EQ(fecCancelAll, 11);
    Form.SaveAsMode = samInputDialog;
    Form.OnRunModal = [](QDialog&) { return int(QDialog::Accepted); };
    for (const Case& c : cases) {
        QPushButton* button = Form.*c.button;
        EXPECT_EQ(button->text(), c.caption);
        Form.Choice = -1;
        EXPECT_EQ(Show([&](TFileExistsForm&) { QTest::mouseClick(button, Qt::LeftButton); }),
                  QDialog::Accepted)
            << c.caption;
        EXPECT_EQ(Form.Choice, c.code) << c.caption;
        EXPECT_FALSE(Form.isVisible());
    }
}

TEST_F(FileExistsFormTest, KeyboardEscapeAndFocusAnswerSkip)
{
    struct Case {
        const char* name;
        std::function<void(TFileExistsForm&)> act;
        std::int32_t code;
    };
    const Case cases[] = {
        {"Escape answers Skip", [](TFileExistsForm& f) { QTest::keyClick(&f, Qt::Key_Escape); }, fecSkip},
        {"Enter presses the focused Skip",
         [](TFileExistsForm& f) { QTest::keyClick(f.focusWidget(), Qt::Key_Return); }, fecSkip},
        {"Enter on Rewrite", [](TFileExistsForm& f) {
             f.btnReplace->setFocus();
             QTest::keyClick(f.btnReplace, Qt::Key_Return);
         }, fecRewrite},
        {"accelerator Alt+A", [](TFileExistsForm& f) { QTest::keyClick(&f, Qt::Key_A, Qt::AltModifier); },
         fecRewriteAll},
        {"close request answers Skip", [](TFileExistsForm& f) { f.close(); }, fecSkip},
    };
    for (const Case& c : cases) {
        Form.Choice = -1;
        QWidget* focusAtOpen = nullptr;
        int result = Show([&](TFileExistsForm& f) {
            focusAtOpen = f.focusWidget();
            c.act(f);
        });
        EXPECT_EQ(result, QDialog::Accepted) << c.name;
        EXPECT_EQ(Form.Choice, c.code) << c.name;
        EXPECT_EQ(focusAtOpen, Form.btnCancel) << c.name << ": Skip has the focus on opening";
    }
}

TEST_F(FileExistsFormTest, SaveAsRemoteAsksThroughTheInputDialog)
{
    const QString answers[] = {"renamed.txt", "  spaced name  ", ""};
    Form.SaveAsMode = samInputDialog;
    for (const QString& answer : answers) {
        Form.TargetFileName = "index.html";
        Form.lblWarning->setText("index.html exists");
        QString prompt, caption, initial;
        Form.OnRunModal = [&](QDialog& box) {
            auto& input = dynamic_cast<TInputDialog&>(box);
            EXPECT_EQ(&input, &Input) << "the shared input dialog";
            prompt = input.lblPrompt->text();
            caption = input.windowTitle();
            initial = input.txtResult->text();
            input.txtResult->setText(answer);
            return int(QDialog::Accepted);
        };
        EXPECT_EQ(Show([](TFileExistsForm& f) { f.btnSaveAs->click(); }), QDialog::Accepted);
        EXPECT_EQ(prompt, "Enter new file name:");
        EXPECT_EQ(caption, "Save as...");
        EXPECT_EQ(initial, "index.html");
        EXPECT_EQ(Form.Choice, fecSaveAs);
        EXPECT_EQ(Form.TargetFileName, answer) << "taken unchecked";
    }
}

TEST_F(FileExistsFormTest, SaveAsLocalAsksThroughTheSaveDialog)
{
    QTemporaryDir temp;
    const QString target = temp.filePath("report.pdf");
    const QString chosen = temp.filePath("report (2).pdf");
    Form.SaveAsMode = samSaveDialog;
    Form.TargetFileName = target;
    QStringList proposed;
    Form.OnRunModal = [&](QDialog& box) {
        auto& dialog = dynamic_cast<QFileDialog&>(box);
        EXPECT_EQ(&dialog, Form.SaveDialog1);
        proposed = dialog.selectedFiles();
        dialog.selectFile(chosen);
        return int(QDialog::Accepted);
    };
    EXPECT_EQ(Show([](TFileExistsForm& f) { f.btnSaveAs->click(); }), QDialog::Accepted);
    EXPECT_EQ(proposed, QStringList{target}) << "the target is the proposed name";
    EXPECT_EQ(Form.Choice, fecSaveAs);
    EXPECT_EQ(Form.TargetFileName, chosen);
}

TEST_F(FileExistsFormTest, SaveAsDismissedChangesNothingAndStaysOpen)
{
    for (std::int32_t mode : {samSaveDialog, samInputDialog}) {
        Form.SaveAsMode = mode;
        Form.Choice = fecRestore;
        Form.TargetFileName = "/tmp/kept.txt";
        int asked = 0;
        Form.OnRunModal = [&](QDialog& box) {
            ++asked;
            if (auto* input = dynamic_cast<TInputDialog*>(&box))
                input->txtResult->setText("typed, then cancelled");
            return int(QDialog::Rejected);
        };
        bool openAfterwards = false;
        std::int32_t choiceAfterwards = -1;
        QString nameAfterwards;
        int result = Show([&](TFileExistsForm& f) {
            f.btnSaveAs->click();
            openAfterwards = f.isVisible();
            choiceAfterwards = f.Choice;
            nameAfterwards = f.TargetFileName;
            f.btnCancel->click();
        });
        EXPECT_EQ(asked, 1) << mode;
        EXPECT_TRUE(openAfterwards) << mode;
        EXPECT_EQ(choiceAfterwards, fecRestore) << mode;
        EXPECT_EQ(nameAfterwards, "/tmp/kept.txt") << mode;
        EXPECT_EQ(result, QDialog::Accepted);
        EXPECT_EQ(Form.Choice, fecSkip);
    }
}

TEST_F(FileExistsFormTest, SaveAsWithAnotherModeDoesNothing)
{
    for (std::int32_t mode : {2, -1, 100}) {
        Form.SaveAsMode = mode;
        Form.Choice = fecRewrite;
        Form.OnRunModal = [](QDialog&) {
            ADD_FAILURE() << "nothing may be asked";
            return int(QDialog::Rejected);
        };
        bool openAfterwards = false;
        Show([&](TFileExistsForm& f) {
            f.btnSaveAs->click();
            openAfterwards = f.isVisible();
            f.btnReplaceAll->click();
        });
        EXPECT_TRUE(openAfterwards) << mode;
        EXPECT_EQ(Form.Choice, fecRewriteAll);
    }
}

TEST_F(FileExistsFormTest, NewNameStaysUntilTheCallerSetsIt)
{
    Form.SaveAsMode = samInputDialog;
    Form.TargetFileName = "a.txt";
    Form.OnRunModal = [](QDialog& box) {
        dynamic_cast<TInputDialog&>(box).txtResult->setText("b.txt");
        return int(QDialog::Accepted);
    };
    Show([](TFileExistsForm& f) { f.btnSaveAs->click(); });
    EXPECT_EQ(Form.TargetFileName, "b.txt");
    Show([](TFileExistsForm& f) { f.btnReplace->click(); });
    EXPECT_EQ(Form.Choice, fecRewrite);
    EXPECT_EQ(Form.TargetFileName, "b.txt");
}

TEST_F(FileExistsFormTest, RealSaveDialogTypedName)
{
    // No seam: the real save-file dialog, with a name typed into its file-name field.
    QTemporaryDir temp;
    QFile existing(temp.filePath("photo.jpg"));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.close();
    Form.SaveAsMode = samSaveDialog;
    Form.TargetFileName = existing.fileName();
    QString shownFilter;
    QString proposedName;
    TModalScript script;
    script.Then("Download", [&](QWidget* box) {
        auto* combo = box->findChild<QComboBox*>("fileTypeCombo");
        shownFilter = combo ? combo->currentText() : QString("<no combo>");
        auto* edit = box->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(edit, nullptr);
        proposedName = edit->text();
        // Set rather than typed: typing opens the completer's popup, which takes the Enter.
        // The focus must be in the field, as when typing: only then does a new name drop
        // the proposed file from the dialog's selection.
        EXPECT_TRUE(QTest::qWaitForWindowActive(box));
        edit->setFocus();
        EXPECT_TRUE(QTest::qWaitFor([&] { return edit->hasFocus(); }, 5000));
        edit->setText("photo 2.jpg");
        QTest::keyClick(edit, Qt::Key_Return);
    });
    EXPECT_EQ(Show([](TFileExistsForm& f) { f.btnSaveAs->click(); }), QDialog::Accepted);
    EXPECT_EQ(shownFilter, "All (*.*)");
    EXPECT_EQ(proposedName, "photo.jpg");
    EXPECT_EQ(Form.Choice, fecSaveAs);
    EXPECT_EQ(Form.TargetFileName, temp.filePath("photo 2.jpg"));
}
