#include "downloadsupport.h"

#include "download/mirrors.h"
#include "tasks/taskspecification.h"
#include "manifest/blocklist.h"
#include "testsupport.h"

#include <QBuffer>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTest>

QByteArray mirrorsIniText(const QList<MirrorEntry> &entries)
{
    QString text = QStringLiteral("[mirrors]\nsize=%1\n").arg(entries.size());
    for (int i = 0; i < entries.size(); ++i)
        text += QStringLiteral("%1\\mirror=%2\n").arg(i + 1).arg(entries.at(i).name);
    for (const MirrorEntry &entry : entries) {
        text += QStringLiteral("\n[%1]\nurl=%2\n").arg(entry.name, entry.url);
        if (!entry.retries.isNull())
            text += QStringLiteral("retries=%1\n").arg(entry.retries);
    }
    return text.toUtf8();
}

QString writeMirrorsIni(FreshPaths &paths, const QList<MirrorEntry> &entries)
{
    return paths.write(QStringLiteral("mirrors.ini"), mirrorsIniText(entries));
}

void prepareForLoopback(QNetworkAccessManager &manager)
{
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    manager.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
}

bool makeNextChoice(Mirrors &pool, const QString &name)
{
    for (quint32 seed = 1; seed < 1000; ++seed) {
        pool.seed(seed);
        FTPSiteAccessData chosen;
        if (pool.getRandomMirror(chosen) != Mirrors::MirrorAssigned)
            return false;
        pool.releaseMirror(chosen.name);
        if (chosen.name == name) {
            pool.seed(seed);
            return true;
        }
    }
    return false;
}

FTPSiteAccessData mirrorRecord(const Mirrors &pool, const QString &name)
{
    const int index = pool.getMirrorIndex(name);
    return index < 0 ? FTPSiteAccessData() : pool.mirrorList().at(index);
}

QStringList poolMessagesBesideProtocol(const QSignalSpy &messages)
{
    QStringList texts = signalTexts(messages);
    texts.removeIf([](const QString &text) {
        return text.startsWith(QLatin1String("Mirror "))
            && text.contains(QLatin1String(" answers over "));
    });
    return texts;
}

QByteArray blockLineOf(const QByteArray &content, const QString &path)
{
    QBuffer buffer;
    buffer.setData(content);
    buffer.open(QIODevice::ReadOnly);
    BlockList list;
    QString problem;
    if (!BlockList::build(&buffer, BlockList::blockSizeFor(content.size()), &list, &problem))
        return QByteArray();
    return list.toLine(path);
}

TickedRun runTicking(TaskSpecification &task, const std::function<bool(quint64)> &stop,
                     int maxTicks)
{
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);
    TickedRun run;
    const auto tick = [&task, &run] {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.timeTick(done, total, speed, downloading);
        run.arrived += qint64(speed);
        return done;
    };
    task.execute();
    for (int i = 0; i < maxTicks && finished.isEmpty() && canceled.isEmpty(); ++i) {
        QTest::qWait(10);
        const quint64 done = tick();
        if (stop && stop(done)) {
            task.userCanceled();
            break;
        }
    }
    tick();
    run.finished = finished.size() == 1 && canceled.isEmpty();
    run.messages = signalTexts(messages);
    return run;
}
