#pragma once

#include "platform/FileStamp.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <functional>

class CPrinterJson;
class LogoFiles;
class PrintJobs;
class PrinterDirectory;
class SetTopBoxLink;
class UpdaterLauncher;

// One JSON command in, one answer text out. It hands the work to the
// objects it is given and keeps only the GetRoomArea answer.
class CommandDispatcher
{
public:
    struct Targets
    {
        PrintJobs &printJobs;           // the print queue
        LogoFiles &logoFiles;           // the logo loader
        CPrinterJson &jsonStore;        // files beside the program
        SetTopBoxLink &setTopBoxes;     // the information service
        UpdaterLauncher &updater;       // the update coordinator
        PrinterDirectory &printers;     // the installed printers
    };

    // Takes the answer text to one request, exactly once; possibly later,
    // from the event loop (a set-top box's answer to a relayed check).
    using Answer = std::function<void(const QString &answer)>;

    explicit CommandDispatcher(const Targets &targets);

    // Carries out one request body; every path ends in an answer. The relay
    // to a set-top box and SendMessage (after subtitle.conf is written)
    // answer later, every other command before this returns.
    void dispatchCommand(const QByteArray &body, const Answer &answer);

    // The event loop woke: RoomArea.json is looked at again before the next
    // GetRoomArea answer. The requests of one turn, read together, share
    // one look, so a hand edit shows from the next turn on.
    void eventLoopWoke() { m_roomAreaLooked = false; }

    // Each element of a settings array to the print queue, one record
    // carried through the array.
    void applyPrinterSettings(const QJsonArray &settings);
    // Applies an UpdateConfig request to Update.conf; true when the device
    // changed. *written is false only when the file was there and could not
    // be replaced.
    bool mergeUpdateConfig(const QJsonObject &request, bool *written = nullptr);

private:
    QString printRequest(const QJsonObject &request);
    QString settingsCommand(const QJsonObject &request);
    QString printerStatusCommand() const;
    QString setTopBoxCommand(const QJsonObject &request, int openType, int closeType, unsigned times,
                             const QString &ip);
    QString setRoomAreaCommand(const QJsonObject &request);
    QString getRoomAreaCommand();
    void empowerCodeCommand(const QJsonObject &request, const Answer &answer);
    void sendMessageCommand(const QJsonObject &request, const Answer &answer);
    // Every command but the relay.
    QString immediateAnswer(const QString &msg, const QJsonObject &request);
    QString updateConfigCommand(const QJsonObject &request);
    QString drinkCommand(const QJsonObject &request);
    // Writes through the JSON store; a failure is logged.
    bool writeJsonFile(const QJsonObject &object, const QString &name);

    // A request body read, and its "Msg".
    struct ParsedCommand
    {
        QByteArray body;
        QJsonObject request;
        QString msg;
    };
    // The body read as a command; the last one read is kept.
    ParsedCommand parsedCommand(const QByteArray &body);

    Targets m_targets;
    // The cashier sends the same few bodies over and over (the room list,
    // the box states, the printers): a repeat is not read again.
    ParsedCommand m_lastCommand;
    // As the system takes it: encoded once, looked at on every turn.
    QByteArray m_roomAreaPath;
    // GetRoomArea's answer and the look of RoomArea.json it was built from;
    // null when it must be built again.
    QString m_roomAreaAnswer;
    FileStamp m_roomAreaStamp;
    bool m_roomAreaLooked = false;
};
