#pragma once

#include <QString>

// The session record: group "current" of update.ini names the version, the
// temporary directory and the client type of the run in progress, so that an
// interrupted run can be recognised and its downloads reused at the next
// start. Stateless; each call opens the settings file for its own duration.
class UpdateIniData
{
public:
    static QString filename();

    // True when a usable record exists; only then are the non-null
    // out-arguments filled. Usable means: the version is a number, the type
    // and the directory are not empty, and the directory is one the updater
    // may own (see isSessionDirectory) and not marked as another installation's
    // (SessionMarker). Anything else counts as no session, because the engine
    // empties and removes the recorded directory.
    static bool get(int *version, QString *type, QString *dir);

    // Each write below returns whether the file was saved. A save is skipped (false) when a
    // lock file of an earlier save cannot be removed: the settings library would wait for it
    // for ever. A write that would change nothing is not made (true): the file is rewritten and
    // synced only when its content changes.
    static bool modify(int version, const QString &dir, const QString &type);

    // Removes the record; other groups stay as they are.
    static bool cleanup();

    // The end of a successful run in one save: the session record goes, and group
    // "installed" records the client type and version the run installed, so that an older
    // version is never installed behind the user's back. Other groups stay as they are. bound:
    // the release's product ini was bound to its type and version; once recorded, that stays,
    // and product inis without a binding are refused from then on (boundReleaseInstalled()).
    static bool finishRun(const QString &type, int version, bool bound = false);
    static bool boundReleaseInstalled();
    // True when a version is recorded for type; only then is version filled.
    static bool installedVersion(const QString &type, int *version);

    // A directory that a session of this user may have created: a real
    // directory (not a symbolic link) directly inside the system's temporary
    // directory, owned by the current user, named "varnolt_temp_" and digits. A
    // damaged or edited record pointing anywhere else must never make the
    // updater empty that place.
    static bool isSessionDirectory(const QString &dir);

private:
    static bool lockFileCleared();
};
