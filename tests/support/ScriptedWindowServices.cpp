#include "tests/support/ScriptedWindowServices.h"

#include <gtest/gtest.h>

namespace vn::test {

ScriptedWindowServices::~ScriptedWindowServices() {
    EXPECT_TRUE(m_messageAnswers.empty()) << m_messageAnswers.size() << " message answer(s) unused";
    EXPECT_TRUE(m_inputAnswers.empty()) << m_inputAnswers.size() << " input answer(s) unused";
}

Answer ScriptedWindowServices::messageBox(const QString& text, Buttons buttons, Icon icon,
                                          const QString& title) {
    boxes.push_back({title, text, icon, buttons, false, QString()});
    if (onBox)
        onBox(boxes.back());
    if (buttons == Buttons::Ok)
        return Answer::Ok;
    if (m_messageAnswers.empty()) {
        ADD_FAILURE() << "no scripted answer for the question: " << text.toStdString();
        return Answer::No;
    }
    const Answer a = m_messageAnswers.front();
    m_messageAnswers.pop_front();
    return a;
}

QString ScriptedWindowServices::inputBox(const QString& prompt, const QString& title,
                                         const QString& defaultAnswer) {
    boxes.push_back({title, prompt, Icon::None, Buttons::Ok, true, defaultAnswer});
    if (onBox)
        onBox(boxes.back());
    if (m_inputAnswers.empty()) {
        ADD_FAILURE() << "no scripted answer for the prompt: " << prompt.toStdString();
        return QString();
    }
    const QString a = m_inputAnswers.front();
    m_inputAnswers.pop_front();
    return a;
}

void ScriptedWindowServices::yield() {
    ++yields;
    if (onYield)
        onYield(yields);
}

void ScriptedWindowServices::setProgress(Bar bar, double position) {
    (bar == Bar::Overall ? progress1 : progress2).push_back(position);
}

void ScriptedWindowServices::setProgressText(Bar bar, const QString& text) {
    (bar == Bar::Overall ? progressText1 : progressText2).append(text);
}

std::vector<ScriptedWindowServices::Box> ScriptedWindowServices::errors() const {
    std::vector<Box> out;
    for (const Box& b : boxes)
        if (b.title == QLatin1String("Application Error"))
            out.push_back(b);
    return out;
}

QStringList ScriptedWindowServices::texts() const {
    QStringList out;
    for (const Box& b : boxes) out.append(b.text);
    return out;
}

}  // namespace vn::test
