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

    Targets m_targets;
    // GetRoomArea's answer and the look of RoomArea.json it was built from;
    // null when it must be built again.
    QString m_roomAreaAnswer;
    FileStamp m_roomAreaStamp;
};
