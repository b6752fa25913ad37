#pragma once

#include <QJsonValue>
#include <QString>

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
    // Relays an authorisation code to the account's box; may wait in a
    // nested event loop for the box's answer (bounded there).
    virtual QString checkAuthCode(unsigned unAccount, const QJsonValue &data) = 0;
};
