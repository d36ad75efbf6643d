#pragma once

#include <QString>
#include <QStringList>

/**
 * @class InstalledRelease
 * @brief What the installed release brought, read from its product ini.
 *
 * A release's delete section can name only what the releases before it had. An update that
 * skips releases, or goes back to an earlier one, would leave behind the files the installed
 * release added; with the installed release's own ini, the update removes every file it lists
 * that the target does not, and never one that no release listed (a user's own).
 */
class InstalledRelease
{
public:
    /// The installed paths of the release's files (relative, as the ini gives them: the
    /// unpacked path of a file stored compressed). Not checked: whoever uses them must.
    QStringList files;
    /// The release's empty directories (directories_empty).
    QStringList emptyDirectories;

    /// Reads the product ini at @p iniPath; an ini the reader cannot take gives empty lists.
    static InstalledRelease read(const QString &iniPath);
};
