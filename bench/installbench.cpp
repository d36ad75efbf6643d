// Installs a tree of downloaded files into an empty installation through the
// updater's replace and delete lists (staged files, synced, under the journal
// on disk) and, interleaved with it, copies the same tree with "cp -r" and
// one "sync". Prints the median of each and their ratio. Usage:
//   varnolt-bench-install WORKDIR [FILES [KIB [ROUNDS]]]
// The installation and the copy go below the benchmark's own directory, where
// the updater's code looks for the installation; WORKDIR holds the downloads.
// On the same file system as the installation, downloads are linked into
// place; elsewhere (WORKDIR on /dev/shm, say) they are copied.
#include "app/configuration.h"
#include "fileops/filedeletelisttaskspecification.h"
#include "fileops/filereplacelisttaskspecification.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>

namespace {

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

bool runToEnd(TaskSpecification &task)
{
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&task, &TaskSpecification::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QObject::connect(&task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    task.execute();
    if (task.state == TaskSpecification::Running)
        loop.exec();
    return finished || task.state == TaskSpecification::Finished;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: %s WORKDIR [FILES [KIB [ROUNDS]]]\n", argv[0]);
        return 2;
    }
    const QString work = args.at(1);
    const int files = args.size() > 2 ? args.at(2).toInt() : 2000;
    const int kib = args.size() > 3 ? args.at(3).toInt() : 256;
    const int rounds = args.size() > 4 ? args.at(4).toInt() : 5;
    const QString session = work + QLatin1String("/session");
    const QString tree = QStringLiteral("bench-tree");
    const QString installed = Configuration::getAppRootPath() + QLatin1Char('/') + tree;
    // The copy goes where the installation goes, so both write to the same file system.
    const QString copyTarget = Configuration::getAppRootPath() + QLatin1String("/bench-copy");

    // The downloads: FILES files of KIB KiB in directories of 100.
    QList<FileReplaceSpecification> replaceList;
    QByteArray content(kib * 1024, Qt::Uninitialized);
    for (int i = 0; i < files; ++i) {
        FileReplaceSpecification spec;
        spec.section = QStringLiteral("client");
        spec.filePath = QStringLiteral("%1/d%2/f%3.dat").arg(tree).arg(i / 100).arg(i);
        replaceList.append(spec);
        const QString path = session + QLatin1Char('/') + spec.filePath;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(content.data()),
                                              content.size() / 4);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return 1;
    }
    QProcess::execute(QStringLiteral("sync"), {});

    Configuration configuration;
    configuration.tempDir = session;
    QList<double> updater;
    QList<double> copy;
    for (int round = 0; round < rounds; ++round) {
        QDir(installed).removeRecursively();
        QDir(copyTarget).removeRecursively();
        QProcess::execute(QStringLiteral("sync"), {});

        QElapsedTimer timer;
        timer.start();
        QList<QString> deleteList;
        FileReplaceListTaskSpecification replace(&replaceList, &deleteList, &configuration, nullptr,
                                                 0.4);
        FileDeleteListTaskSpecification remove(&deleteList, nullptr, 0.05);
        remove.setInstallJournal(replace.diskJournal());
        if (!runToEnd(replace) || !runToEnd(remove)) {
            std::fprintf(stderr, "the installation failed\n");
            return 1;
        }
        updater.append(timer.nsecsElapsed() / 1e9);

        timer.restart();
        QProcess::execute(
            QStringLiteral("sh"),
            {QStringLiteral("-c"),
             QStringLiteral("cp -r '%1/%2' '%3' && sync").arg(session, tree, copyTarget)});
        copy.append(timer.nsecsElapsed() / 1e9);
        std::printf("round %d: updater %.3f s, cp -r + sync %.3f s\n", round + 1, updater.last(),
                    copy.last());
        std::fflush(stdout);
    }
    QDir(installed).removeRecursively();
    QDir(copyTarget).removeRecursively();
    std::printf("fresh install of %d files of %d KiB: updater %.3f s (min %.3f, max %.3f), "
                "cp -r + sync %.3f s (min %.3f, max %.3f), ratio %.2f\n",
                files, kib, median(updater), *std::min_element(updater.begin(), updater.end()),
                *std::max_element(updater.begin(), updater.end()), median(copy),
                *std::min_element(copy.begin(), copy.end()),
                *std::max_element(copy.begin(), copy.end()), median(updater) / median(copy));
    return 0;
}
