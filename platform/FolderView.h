#pragma once

#include <QString>

// Shows a file or folder to the user in the desktop's file manager, selected
// in its parent folder. Without a file manager that can select, the parent
// folder is opened with the desktop's default handler instead. Returns at
// once; the file manager is asked in the background and nothing is reported.
class FolderView
{
public:
    static void showSelected(const QString &path);
};
