#pragma once

#include <QString>
#include <QStringList>

// An unpacked package waiting in the staging folder below the Updater
// folder, and its installation into the service folder.
//
// The unpacking writes "<name>-new" files there; only once all of them are
// complete does seal() write the manifest, which names the files and the
// version. A staging folder without manifest is the remains of an interrupted
// unpacking and is thrown away; one with a manifest is a pending update that
// the next run installs, finishing whatever a killed run began.
class StagedPackage
{
public:
    struct FileResult
    {
        QString name;
        bool installed = false;
        QString text; // for the update log
    };

    explicit StagedPackage(const QString &updaterFolder);

    QString folder() const { return m_folder; }
    QString manifestPath() const;

    // A fresh, empty staging folder. False when it cannot be made.
    bool prepare() const;
    // Removes the staging folder unless it holds a pending update.
    void removeUnfinished() const;
    void discard() const;

    // Writes the manifest over the staged "-new" files. Each becomes owner
    // writable only and executable where the archive marked it so or where
    // it replaces an executable. False when nothing was staged or the
    // manifest could not be written.
    bool seal(quint32 version, QString *error) const;
    bool isPending() const;
    // The pending update's version and file names; 0 and empty when none.
    quint32 version() const;
    QStringList files() const;
    // True when the pending set holds files for the service folder, not only
    // a new Updater (which the service's coordinator applies).
    bool replacesServiceFiles() const;

    // Installs every file of the pending set that is not yet in place: each
    // by one rename over its name in the service folder, the replaced file
    // kept as "<name>-old" in the Updater folder first. The new Updater goes
    // to "Updater-new" beside the running one instead. True when every file
    // is in place; the manifest then stays until finish().
    bool install(QList<FileResult> *results) const;
    // Ends a completed installation: the staging folder goes.
    void finish() const { discard(); }

private:
    QString stagedPath(const QString &name) const;
    FileResult installOne(const QString &name) const;

    QString m_updaterFolder;
    QString m_serviceFolder;
    QString m_folder;
};
