#include "tests/support/scripted_frontend.h"

namespace dwnfrw::testing {

MsgAnswer ScriptedDialogs::message(const QString& prompt, const QString& title, MsgButtons buttons,
                                   MsgIcon icon) {
    return messageWithDetails(prompt, title, buttons, icon, QString());
}

MsgAnswer ScriptedDialogs::messageWithDetails(const QString& prompt, const QString& title,
                                              MsgButtons buttons, MsgIcon icon,
                                              const QString& details) {
    ShownMessage shown{prompt, title, buttons, icon, details};
    messages.push_back(shown);
    if (onMessage)
        onMessage(shown);
    if (!answers_.empty()) {
        MsgAnswer answer = answers_.front();
        answers_.pop_front();
        return answer;
    }
    const bool yesNo = buttons == MsgButtons::YesNo || buttons == MsgButtons::YesNoDefaultNo;
    return yesNo ? MsgAnswer::Yes : MsgAnswer::Ok;
}

std::optional<QString> ScriptedDialogs::openFile(const OpenFileRequest& request) {
    fileRequests.push_back(request);
    if (files_.empty())
        return std::nullopt;
    // Taking the QString out of the optional, rather than copying the optional,
    // keeps gcc from warning about a value it cannot prove is set.
    const bool chosen = files_.front().has_value();
    const QString file = files_.front().value_or(QString());
    files_.pop_front();
    if (!chosen)
        return std::nullopt;
    return file;
}

void RecordingProgress::setOperationText(const QString& text) {
    operationText = text;
    operationHistory.append(text);
}

void RecordingProgress::setPercentText(const QString& text) {
    percentText = text;
}

void CountingPump::processEvents() {
    ++count;
    if (onYield)
        onYield(count);
}

FakeToolbar::FakeToolbar() {
    for (const char* key :
         {"open", "info", "stop", "dwn", "esci", "comport", "Tool6", "Tool7", "Tool8"}) {
        enabled.insert(QString::fromLatin1(key), false);
    }
}

void FakeToolbar::setToolEnabled(const QString& key, bool on) {
    enabled.insert(key, on);
    changes.append(key + (on ? QStringLiteral("=on") : QStringLiteral("=off")));
}

}  // namespace dwnfrw::testing
