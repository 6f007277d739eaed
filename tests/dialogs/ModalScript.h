// Answers the real modal boxes that open while a test waits in exec(): each step waits
// until a modal window with its caption is on top, then acts on it.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <functional>
#include <memory>

class TModalScript {
public:
    TModalScript()
    {
        FTimer.setInterval(10);
        QObject::connect(&FTimer, &QTimer::timeout, [this] { Poll(); });
    }
    ~TModalScript() { EXPECT_TRUE(FSteps.empty()) << FSteps.size() << " modal step(s) not reached"; }

    // Adds a step: once a modal window captioned caption is active, run action on it.
    TModalScript& Then(const QString& caption, std::function<void(QWidget*)> action)
    {
        FSteps.push_back({caption, std::move(action)});
        if (!FTimer.isActive()) {
            FClock.start();
            FTimer.start();
        }
        return *this;
    }

private:
    struct TStep {
        QString Caption;
        std::function<void(QWidget*)> Action;
    };

    void Poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (FSteps.empty()) {
            // Watch the last box answered: if the answer did not close it, say so and close
            // it rather than hang the suite.
            if (!FLast || !FLast->isVisible()) {
                FTimer.stop();
            } else if (FClock.elapsed() > 10000) {
                ADD_FAILURE() << "\"" << FLast->windowTitle().toStdString()
                              << "\" still open after its answer";
                FTimer.stop();
                if (auto* dialog = qobject_cast<QDialog*>(FLast.data()))
                    dialog->done(QDialog::Rejected);
            }
            return;
        }
        if (modal && modal->windowTitle() == FSteps.front().Caption) {
            TStep step = std::move(FSteps.front());
            FSteps.pop_front();
            FLast = modal;
            FClock.restart();
            step.Action(modal);
        } else if (FClock.elapsed() > 10000) {
            // Never hang the suite: close what is open and report.
            ADD_FAILURE() << "no modal window \"" << FSteps.front().Caption.toStdString() << "\"";
            FSteps.clear();
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->done(QDialog::Rejected);
        }
    }

    QPointer<QWidget> FLast;
    QTimer FTimer;
    QElapsedTimer FClock;
    std::deque<TStep> FSteps;
};
