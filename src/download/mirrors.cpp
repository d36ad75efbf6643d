#include "download/mirrors.h"

#include <QDateTime>
#include <QSettings>

#include <algorithm>
#include <climits>
#include <utility>

namespace {

const int DefaultRetries = 5;
const int AlphaRetries = 4;
const int HttpMaxUses = 3;

QString alphaMirrorName()
{
    return QStringLiteral("Alpha Channel");
}

bool isHttpUrl(const QString &url)
{
    return url.left(7).toUpper() == QLatin1String("HTTP://")
        || url.left(8).toUpper() == QLatin1String("HTTPS://");
}

} // namespace

Mirrors::Mirrors(QObject *parent)
    : QObject(parent), random(quint32(QDateTime::currentSecsSinceEpoch()))
{
}

void Mirrors::seed(quint32 value)
{
    random.seed(value);
}

bool Mirrors::initDefault(const QString &iniPath, int version)
{
    QSettings settings(iniPath, QSettings::IniFormat);
    const int size = settings.beginReadArray(QStringLiteral("mirrors"));
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        FTPSiteAccessData mirror;
        mirror.name = settings.value(QStringLiteral("mirror")).toString();
        // An unnamed entry has no group to read, and an empty name is what a download holding
        // no mirror releases: such a record would have its slots given back by strangers.
        if (mirror.name.isEmpty())
            continue;
        mirrors.append(mirror);
    }
    settings.endArray();
    setDefaults(settings, version);
    return true;
}

bool Mirrors::initAlpha(const QString &updateIniPath, int version)
{
    QSettings settings(updateIniPath, QSettings::IniFormat);
    const QString url = settings.value(QStringLiteral("Channel/alpha")).toString();
    if (url.isEmpty()) {
        emit fatalError(tr("alpha parameter in channel section in update ini file not found"));
        return false;
    }
    FTPSiteAccessData mirror;
    mirror.name = alphaMirrorName();
    mirror.url = versionedUrl(url, version);
    mirror.retries = AlphaRetries;
    mirrors.append(mirror);
    return true;
}

void Mirrors::setDefaults(QSettings &settings, int version)
{
    for (FTPSiteAccessData &mirror : mirrors) {
        settings.beginGroup(mirror.name);
        const QString url = settings.value(QStringLiteral("url")).toString();
        if (isHttpUrl(url))
            mirror.maxUses = HttpMaxUses;
        // Keys updaters before them do not know, and so ignore: a mirrors.ini with them still
        // means to those what it always meant.
        const uint slotCount = settings.value(QStringLiteral("slots")).toUInt();
        mirror.slotsGiven = slotCount >= 1 && slotCount <= uint(FTPSiteAccessData::MaxSlots);
        if (mirror.slotsGiven)
            mirror.maxUses = int(slotCount);
        mirror.http2Direct
            = settings.value(QStringLiteral("http2")).toString() == QLatin1String("prior");
        mirror.url = versionedUrl(url, version);
        // Anything but a positive number (missing, 0, negative, garbage, too large) means the
        // default; toUInt() already fails on a sign or on text.
        const uint retries = settings.value(QStringLiteral("retries"), DefaultRetries).toUInt();
        mirror.retries = retries > 0 && retries <= uint(INT_MAX) ? int(retries) : DefaultRetries;
        settings.endGroup();
    }
}

int Mirrors::getRandomMirror(FTPSiteAccessData &mirror)
{
    return pickMirror(mirror, FTPSiteAccessData::NoRanges);
}

int Mirrors::getRandomMirror(FTPSiteAccessData &mirror, const QSet<QString> &avoid)
{
    return pickMirror(mirror, FTPSiteAccessData::NoRanges, avoid);
}

bool Mirrors::hasMirrorBesides(const QSet<QString> &avoid) const
{
    return std::any_of(mirrors.cbegin(), mirrors.cend(), [&avoid](const FTPSiteAccessData &known) {
        return !avoid.contains(known.name);
    });
}

void Mirrors::noteLacksCompressedMetadata(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        mirrors[index].lacksCompressedMetadata = true;
}

int Mirrors::getRandomRangeMirror(FTPSiteAccessData &mirror, const QSet<QString> &avoid)
{
    return pickMirror(mirror, FTPSiteAccessData::SingleRanges, avoid);
}

int Mirrors::pickMirror(FTPSiteAccessData &mirror, FTPSiteAccessData::RangeSupport worstAllowed,
                        const QSet<QString> &avoid)
{
    if (mirrors.isEmpty()) {
        if (!noMirrorsReported) {
            noMirrorsReported = true;
            emit message(tr("There are no (more) known working mirrors available"));
        }
        return NoMirrorLeft;
    }

    int capacity = 0;
    int freeSlots = 0;
    for (const FTPSiteAccessData &candidate : std::as_const(mirrors)) {
        if (candidate.ranges > worstAllowed)
            continue;
        capacity += candidate.maxUses;
        if (!avoid.contains(candidate.name))
            freeSlots += qMax(0, candidate.maxUses - candidate.useCount);
    }
    if (capacity == 0)
        return NoRangeMirror;
    if (freeSlots == 0)
        return AllMirrorsBusy;

    // Each free slot is one ticket, so a mirror's chance follows its free slots.
    int r = int(random.bounded(quint32(freeSlots)));
    for (FTPSiteAccessData &candidate : mirrors) {
        const int open = candidate.maxUses - candidate.useCount;
        if (open <= 0 || candidate.ranges > worstAllowed || avoid.contains(candidate.name))
            continue;
        r -= open;
        if (r < 0) {
            ++candidate.useCount;
            // A server that ends its connections after so many requests is not sent more.
            if (candidate.connectionLimit > 0
                && candidate.connectionRequests >= candidate.connectionLimit)
                replaceConnection(candidate);
            ++candidate.connectionRequests;
            mirror = candidate;
            return MirrorAssigned;
        }
    }
    return NoMirrorLeft;
}

void Mirrors::releaseMirror(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        --mirrors[index].useCount;
}

void Mirrors::addMirrorError(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    FTPSiteAccessData &mirror = mirrors[index];
    ++mirror.errorCount;
    if (mirror.errorCount <= mirror.retries)
        return;
    // Drop it before telling anyone, so a listener that asks for a mirror cannot get this one.
    const QString droppedName = mirror.name;
    mirrors.remove(index);
    emit message(tr("Mirror %1 failed too many times, removing").arg(droppedName));
}

void Mirrors::removeMirror(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        mirrors.remove(index);
}

void Mirrors::calcUseStats(int &capacity, int &used) const
{
    capacity = 0;
    used = 0;
    for (const FTPSiteAccessData &mirror : mirrors) {
        capacity += mirror.maxUses;
        used += mirror.useCount;
    }
}

int Mirrors::getMirrorIndex(const QString &name) const
{
    for (int i = 0; i < mirrors.size(); ++i) {
        if (mirrors.at(i).name == name)
            return i;
    }
    return -1;
}

QString Mirrors::versionedUrl(const QString &baseUrl, int version)
{
    QString url = baseUrl;
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    return url + QString::number(version);
}

void Mirrors::lowerRangeSupport(const QString &name, FTPSiteAccessData::RangeSupport support)
{
    const int index = getMirrorIndex(name);
    if (index >= 0 && mirrors[index].ranges < support)
        mirrors[index].ranges = support;
}

void Mirrors::noteProtocol(const QString &name, bool http2, int connection)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    FTPSiteAccessData &answering = mirrors[index];
    answering.refusedSinceAnswer = 0;
    answering.answeredConnection = qMax(answering.answeredConnection, connection);
    if (connection == answering.connection)
        ++answering.connectionAnswers;
    else if (connection == answering.endedConnection)
        learnConnectionLimit(answering, answering.endedAnswers + 1);
    answering.http2Shown = answering.http2Shown || http2;
    if (protocolNoted.contains(name))
        return;
    protocolNoted.insert(name);
    emit message(http2 ? tr("Mirror %1 answers over HTTP/2").arg(name)
                       : tr("Mirror %1 answers over HTTP/1.1").arg(name));
    if (!http2)
        return;
    FTPSiteAccessData &mirror = mirrors[index];
    if (!mirror.slotsGiven)
        mirror.maxUses = qMax(mirror.maxUses, int(FTPSiteAccessData::Http2Slots));
    emit http2Found();
}

void Mirrors::confirmSeveralRanges(const QString &name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        mirrors[index].severalRangesShown = true;
}

void Mirrors::replaceConnection(FTPSiteAccessData &mirror)
{
    ++mirror.connection;
    mirror.connectionRequests = 0;
    mirror.connectionAnswers = 0;
}

bool Mirrors::requestRefused(const FTPSiteAccessData &used, bool connectionEnded)
{
    const int index = getMirrorIndex(used.name);
    if (index < 0)
        return false;
    FTPSiteAccessData &mirror = mirrors[index];
    // Sent over a connection replaced since: refused for an end that is known already.
    if (used.connection < mirror.connection)
        return false;
    if (connectionEnded) {
        emit message(tr("Mirror %1 ended its connection, going on over a new one").arg(used.name));
        mirror.endedConnection = mirror.connection;
        learnConnectionLimit(mirror, mirror.connectionAnswers);
        replaceConnection(mirror);
    }
    const bool charge = ++mirror.refusedSinceAnswer > 2 * mirror.maxUses;
    if (charge)
        mirror.refusedSinceAnswer = 0;
    // Told last: its receivers may take and give back slots of this pool.
    if (connectionEnded)
        emit this->connectionEnded(used.name, used.connection);
    if (charge)
        addMirrorError(used.name);
    return charge;
}

void Mirrors::learnConnectionLimit(FTPSiteAccessData &mirror, int answers)
{
    // What the last connection it ended answered is what the server takes on one; its answers
    // may still come in after the refusals that told of its end.
    mirror.endedAnswers = answers;
    if (answers > 0)
        mirror.connectionLimit = answers;
}

bool Mirrors::waitsOnEndedConnection(const FTPSiteAccessData &used, bool requestLeft) const
{
    const int index = getMirrorIndex(used.name);
    if (index < 0)
        return false;
    const FTPSiteAccessData &mirror = mirrors[index];
    if (!mirror.http2Shown)
        return false;
    // A connection that has answered is set up: a request that has not left over it waits on a
    // connection the server has ended, maybe without a word. One that has not answered yet may
    // still be being set up. Over a connection the server has ended, the streams it still
    // serves have had their answers started by now.
    return used.connection <= mirror.endedConnection
        || (!requestLeft && used.connection <= mirror.answeredConnection);
}

bool Mirrors::connectionReplaced(const FTPSiteAccessData &used) const
{
    const int index = getMirrorIndex(used.name);
    return index >= 0 && mirrors[index].http2Shown && used.connection < mirrors[index].connection;
}

bool Mirrors::priorKnowledgeUnanswered(const FTPSiteAccessData &used)
{
    const int index = getMirrorIndex(used.name);
    if (index < 0)
        return false;
    FTPSiteAccessData &mirror = mirrors[index];
    if (!used.http2Direct || mirror.http2Shown)
        return false;
    // The requests sent before the first of them gave up are as unanswerable.
    if (!mirror.http2Direct)
        return true;
    mirror.http2Direct = false;
    replaceConnection(mirror);
    emit message(tr("Mirror %1 does not answer HTTP/2 requests sent without negotiation "
                    "(http2=prior in mirrors.ini): asking it over HTTP/1.1 for the rest of the run")
                     .arg(used.name));
    return true;
}
