#pragma once

#include "manifest/releasebinding.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

/**
 * @class KeptReleaseCheck
 * @brief Decides what the kept copy of the installed release (KeptRelease) may be used for.
 *
 * The copy's files are restored into a directory of their own and checked as a fetched release
 * is: a trusted, unrevoked key's signature over the ini (the further signatures too), the
 * binding to the client type and to the version update.ini records as installed, and the
 * digests file's size and SHA-256 as the ini gives them. A copy that passes is
 * - Current when the run is for the installed version and the release has not expired: its
 *   files stand in for the fetched ones and the run needs no request;
 * - Installed otherwise: it only tells which files the installed release brought.
 * A copy that fails any check is Refused, with the reason; an expired one for the installed
 * version is refused as well, so that a release published again renews it.
 */
class KeptReleaseCheck
{
public:
    enum Outcome { Absent, Current, Installed, Refused };

    struct Expectation
    {
        QString clientType;
        /// What update.ini records as installed for the type; 0 when nothing is.
        int installedVersion = 0;
        /// The version the run installs.
        int targetVersion = 0;
        bool bindingRequired = false;
        QDateTime now;
    };

    Outcome outcome = Absent;
    /// Why the copy was refused.
    QString problem;
    /// The binding of the kept ini (present only for a bound release).
    ReleaseBinding binding;
    /// The names of the restored files, in the order the copy holds them.
    QStringList names;

    /**
     * Examines the kept copy at @p keptPath, restoring its files into @p workDir (which must not
     * exist). The restored files stay there for the caller whatever the outcome; Absent when
     * there is no kept copy.
     */
    static KeptReleaseCheck examine(const QString &keptPath, const QString &workDir,
                                    const Expectation &expectation);

    /// The name of the product ini of @p clientType.
    static QString iniName(const QString &clientType) { return clientType + QLatin1String(".ini"); }
};
