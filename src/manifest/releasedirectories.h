#pragma once

#include <QString>
#include <QStringList>

class QSettings;

/// The directories a release names beside its files, as keys outside any section of the product
/// ini, next to the release binding:
///
///     [General]
///     directories_dropped=plugins/old::logs                 ; optional
///     directories_empty=data/cache::share/fonts/local       ; optional
///
/// directories_empty lists the directories of the release that hold no file (the directories
/// above files need no entry: installing the files makes them); the updater creates each that is
/// missing. directories_dropped lists directories an earlier release had and this one has not;
/// the updater removes each that is empty after the obsolete files are gone, and leaves any that
/// holds something. Paths are relative to the installation directory and separated by "::",
/// which no path of a product ini may hold.
///
/// Updaters that predate the keys neither count nor process keys outside sections, so such a
/// release installs with them, only without the directories.
class ReleaseDirectories
{
public:
    QStringList empty;
    QStringList dropped;

    bool isEmpty() const { return empty.isEmpty() && dropped.isEmpty(); }

    /// The keys' names.
    static const QString EmptyKey;
    static const QString DroppedKey;

    /// The keys as the settings reader (@p settings, at its top level) holds them. The paths are
    /// not checked: whoever uses them must.
    static ReleaseDirectories read(QSettings &settings);
    /// The same from the keys' values as they are.
    static ReleaseDirectories fromValues(const QString &empty, const QString &dropped);

    /// Writes the keys that have paths into @p settings at its top level.
    void write(QSettings &settings) const;

    bool operator==(const ReleaseDirectories &other) const
    {
        return empty == other.empty && dropped == other.dropped;
    }
};
