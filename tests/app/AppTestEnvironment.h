// Shared helpers of the app tests: the program's application object and a fixture that
// starts the program the way main() does.
#pragma once

#include "app/Application.h"
#include "app/Forms.h"
#include "app/MainWindow.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <memory>
#include <string>
#include <vector>

// Swallows the Quit event so that a test can ask the program to quit without ending the
// event loops of the tests that follow.
class QuitSwallower : public QObject {
public:
    QuitSwallower();
    ~QuitSwallower() override;
    int Quits = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// Starts the program (title, forms, main window shown) and records traced handlers and
// error boxes.
class ProgramTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    TApplication& App() { return *TApplication::Instance(); }
    TMainWindow& Main() { return *Forms->MainWindow; }

    std::unique_ptr<TForms> Forms;
    std::vector<std::string> Handlers;                  // traced handler names, in order
    std::vector<std::pair<QString, QString>> Boxes;     // error boxes: caption, message
    std::vector<std::pair<QString, QString>> MessageBoxes;   // the window's boxes: caption, text
    std::vector<QMessageBox::Icon> MessageIcons;             // ... and their icons
};
