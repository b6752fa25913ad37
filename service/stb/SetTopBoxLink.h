#pragma once

#include <QJsonValue>
#include <QString>

#include <functional>

// What the command dispatcher hands to the information service.
class SetTopBoxLink
{
public:
    virtual ~SetTopBoxLink() = default;

    // One notice to one box (ip) or, with an empty ip, to every box.
    virtual void sendStbMsg(const int &type, const QString &content, unsigned times, const QString &ip) = 0;
    // The InfoData answer: the boxes heard from lately.
    virtual QString getStbInfo() = 0;
    virtual void handleSubtitle(const QJsonValue &data, const bool &fromNetwork) = 0;
    // Takes whether subtitle.conf holds a cashier's subtitle command, exactly once.
    using SubtitleSaved = std::function<void(bool saved)>;
    // Applies a cashier's subtitle command. saved is called from the event
    // loop once the write that holds the change has ended: changes of one
    // turn share a write, and no answer goes out before the file has it.
    virtual void pushSubtitle(const QJsonValue &data, const SubtitleSaved &saved) = 0;
    // Takes the answer text of a relayed check, exactly once.
    using AuthCodeAnswer = std::function<void(const QString &answer)>;
    // Relays an authorisation code to the account's box. The answer comes
    // when the box has answered or the wait is over (bounded there); nothing
    // waits for it meanwhile.
    virtual void checkAuthCode(unsigned unAccount, const QJsonValue &data, const AuthCodeAnswer &answer) = 0;
};
