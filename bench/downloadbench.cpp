// Downloads one file through the updater's download task and prints the
// throughput and the process's peak memory, to show that the body streams to
// disk through a bounded buffer. Usage:
//   varnolt-bench-download BASE_URL REMOTE_PATH LOCAL_FILE EXPECTED_SIZE
#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: %s BASE_URL REMOTE_PATH LOCAL_FILE EXPECTED_SIZE\n", argv[0]);
        return 2;
    }
    QTemporaryDir dir;
    const QString mirrorsIni = dir.filePath(QStringLiteral("mirrors.ini"));
    QFile ini(mirrorsIni);
    if (!ini.open(QIODevice::WriteOnly))
        return 1;
    // The task appends "/" and the version to the base URL; version 0 here.
    ini.write("[mirrors]\nsize=1\n1\\mirror=bench\n[bench]\nurl=" + args.at(1).toUtf8() + "\n");
    ini.close();

    QNetworkAccessManager manager;
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    manager.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    Mirrors mirrors;
    mirrors.initDefault(mirrorsIni, 0);
    DownloadTaskSpecification task(&manager, &mirrors, args.at(2), args.at(3),
                                   args.at(4).toLongLong(), nullptr, 1.0);
    int result = 1;
    QObject::connect(&task, &TaskSpecification::finished, &app, [&] {
        result = 0;
        app.quit();
    });
    QObject::connect(&task, &TaskSpecification::canceled, &app, [&] { app.quit(); });
    QObject::connect(&task, &TaskSpecification::message, &app,
                     [](const QString &text) { QTextStream(stderr) << text << '\n'; });

    QElapsedTimer timer;
    timer.start();
    task.execute();
    if (task.state == TaskSpecification::Running)
        app.exec();
    const double seconds = timer.elapsed() / 1000.0;
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const double megabytes = QFile(args.at(3)).size() / 1e6;
    std::printf("downloaded %.0f MB in %.2f s: %.0f MB/s; peak resident memory %.1f MB\n",
                megabytes, seconds, seconds > 0 ? megabytes / seconds : 0.0,
                usage.ru_maxrss / 1024.0);
    return result;
}
