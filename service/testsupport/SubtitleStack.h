#pragma once

#include "common/PrinterJson.h"
#include "service/http/CommandDispatcher.h"
#include "service/stb/InformationServices.h"
#include "service/testsupport/RecordingTargets.h"

#include <QJsonObject>
#include <QString>

#include <memory>

// The information service and the command dispatcher on a JSON store in one
// folder, the other targets recorded: what SendMessage commands reach.
struct SubtitleStack
{
    explicit SubtitleStack(const QString &folder) : store(folder), others(folder)
    {
        CInformationServices::Context context;
        context.readJsonFile = [this](const QString &name) { return store.readJson(name); };
        context.writeJsonFile = [this](const QJsonObject &object, const QString &name) {
            return store.writeJson(object, name);
        };
        service = std::make_unique<CInformationServices>(context);
        dispatcher = std::make_unique<CommandDispatcher>(
            CommandDispatcher::Targets{others, others, store, *service, others, others});
    }

    CPrinterJson store;
    RecordingTargets others;
    std::unique_ptr<CInformationServices> service;
    std::unique_ptr<CommandDispatcher> dispatcher;
};
