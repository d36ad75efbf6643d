#pragma once

#include <QString>
#include <QStringList>

/// What to publish: one version of the client for one client type, as ReleaseBuilder lays it
/// out below a mirror directory.
struct ReleaseSpecification
{
    /// Client type; the manifest is VERSION/clientType + ".ini".
    QString clientType;
    /// Version number (decimal digits); the directory below the mirror root.
    QString version;
    /// Directory of the files below the version directory; empty means clientType, so that
    /// several client types can share one version directory.
    QString section;
    /// Root of the client tree to publish; every file below it becomes an entry.
    QString sourceDir;
    /// Root of the mirror tree to write into.
    QString mirrorDir;
    /// Key files of the private signing keys. The first one's signature goes to TYPE.ini.sig,
    /// where every updater looks; the others' to TYPE.ini.sigs, which only updaters that trust
    /// several keys fetch, and only when the first signature does not verify for them.
    QStringList privateKeyFiles;
    /// Days (fractions allowed) after publication until updaters refuse the release; negative:
    /// it never expires.
    double expiresInDays = -1;
    /// Paths (relative to sourceDir) of files to store gzip-compressed as path + ".gz"; the
    /// updater unpacks them to path.
    QStringList gzipPaths;
    /// Paths (relative to the installation directory) that the updater removes.
    QStringList deletePaths;
    /// An earlier version in the mirror tree: every file it installed or deleted that this
    /// release does not bring is deleted too. Empty: only deletePaths.
    QString previousVersion;
    /// Files stored as they are from this size on get a block list in the side file, so that
    /// updaters can fetch only their changed blocks.
    qint64 blockListMinSize = 1024 * 1024;
    /// Replace an existing release of the same version and client type.
    bool overwrite = false;
    /// Publish the contents of directory links as if they were directories; without it a
    /// directory link refuses the release.
    bool followDirLinks = false;
};
