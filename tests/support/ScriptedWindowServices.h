#pragma once

#include "core/WindowServices.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <vector>

namespace vn::test {

// Window services for tests: answers are queued in advance, every box shown is recorded, and a
// test that leaves a queued answer unused fails when the services are destroyed.
class ScriptedWindowServices : public WindowServices {
public:
    struct Box {
        QString title;  // as passed; empty means the application title
        QString text;
        Icon icon;
        Buttons buttons;
        bool isInput = false;
        QString defaultAnswer;
    };

    ScriptedWindowServices() = default;
    ~ScriptedWindowServices() override;

    // Queued answers, consumed in order by message boxes (Yes/No) and input boxes.
    void answerMessage(Answer a) { m_messageAnswers.push_back(a); }
    void answerInput(const QString& text) { m_inputAnswers.push_back(text); }

    // Runs before each yield returns; receives the 1-based number of that yield.
    std::function<void(int)> onYield;
    // Runs when a box is shown (after it is recorded), for tests that act during a modal box.
    std::function<void(const Box&)> onBox;

    Answer messageBox(const QString& text, Buttons buttons, Icon icon,
                      const QString& title) override;
    QString inputBox(const QString& prompt, const QString& title,
                     const QString& defaultAnswer) override;
    void yield() override;
    void setPointer(Pointer p) override {
        m_pointer = p;
        pointerHistory.push_back(p);
    }
    Pointer pointer() const override { return m_pointer; }
    void setProgress(Bar bar, double position) override;
    void setProgressText(Bar bar, const QString& text) override;
    bool quitRequested() const override { return quit; }
    void requestQuit() override { quit = true; }

    // What was shown.
    std::vector<Box> boxes;
    int yields = 0;
    std::vector<double> progress1, progress2;
    QStringList progressText1, progressText2;
    std::vector<Pointer> pointerHistory;
    bool quit = false;

    // Boxes whose title is "Application Error".
    std::vector<Box> errors() const;
    QStringList texts() const;

private:
    std::deque<Answer> m_messageAnswers;
    std::deque<QString> m_inputAnswers;
    Pointer m_pointer = Pointer::Arrow;
};

}  // namespace vn::test
