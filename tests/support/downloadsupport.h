#pragma once

#include "download/ftpsiteaccessdata.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class FreshPaths;
class TaskSpecification;
class Mirrors;
class QNetworkAccessManager;
class QSignalSpy;

// Helpers for tests that download from local mirrors through a Mirrors pool.

// One mirror of a mirrors.ini.
struct MirrorEntry
{
    QString name;
    QString url;
    // The retries value as written, so that broken values can be given too;
    // not written at all when null.
    QString retries;
};

// A mirrors.ini listing the entries in order, laid out the way the settings
// library writes arrays ("1\mirror=...").
QByteArray mirrorsIniText(const QList<MirrorEntry> &entries);

// Writes mirrorsIniText(entries) to a fresh path and returns the path.
QString writeMirrorsIni(FreshPaths &paths, const QList<MirrorEntry> &entries);

// Makes the manager go to the servers on 127.0.0.1 directly, past any proxy of
// the environment, and follow no redirect, as the updater's own manager does:
// a 3xx is an answer of its own.
void prepareForLoopback(QNetworkAccessManager &manager);

// Seeds the pool so that its next choice is the mirror called name, found
// through the pool's own choices. False when no seed below 1000 picks it.
bool makeNextChoice(Mirrors &pool, const QString &name);

// The pool's messages without the note of each mirror's protocol ("Mirror M answers over
// HTTP/1.1"), which comes with its first answer.
QStringList poolMessagesBesideProtocol(const QSignalSpy &messages);

// The pool's record of the mirror called name; a default record once it was
// dropped.
FTPSiteAccessData mirrorRecord(const Mirrors &pool, const QString &name);

// The side file "blocks" line of content published at path (below the version), with the
// block size the release tool picks for its size; empty when it cannot be made.
QByteArray blockLineOf(const QByteArray &content, const QString &path);

// What a task run by ticks did: whether it finished (and was not cancelled), the bytes that
// arrived by the speed its ticks reported, and its messages.
struct TickedRun
{
    bool finished = false;
    qint64 arrived = 0;
    QStringList messages;
};

// Executes task and calls its timeTick() every 10 ms, as the engine does every second, until it
// ends or maxTicks have passed; then one last tick counts what arrived since. When stop, given
// the bytes done, returns true after a tick, the task is cancelled by the user there.
TickedRun runTicking(TaskSpecification &task, const std::function<bool(quint64 done)> &stop = {},
                     int maxTicks = 800);
