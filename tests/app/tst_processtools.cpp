#include "app/configuration.h"
#include "app/processtools.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// Starting the client: this test runs a copy of itself from a directory
// whose path has spaces in it, and that copy starts the client script beside
// it, exactly as the updater does.
class TestProcessTools : public QObject
{
    Q_OBJECT

private slots:
    void startsTheScriptBesideTheProgram();
    void missingScriptStartsNothing();

private:
    struct Launch
    {
        int exitCode = -1;
        bool markerWritten = false;
    };
    Launch launchFrom(bool withScript);
};

TestProcessTools::Launch TestProcessTools::launchFrom(bool withScript)
{
    Launch launch;
    QTemporaryDir base;
    const QString dir = base.filePath(QStringLiteral("Varnolt Client 3"));
    QDir().mkpath(dir);
    const QString copy = dir + QLatin1String("/launcher");
    if (!QFile::copy(QCoreApplication::applicationFilePath(), copy))
        return launch;
    const QString marker = base.filePath(QStringLiteral("started"));
    if (withScript) {
        const QString script = dir + QLatin1Char('/') + Configuration::getClientBinaryName();
        QFile file(script);
        if (!file.open(QIODevice::WriteOnly))
            return launch;
        file.write("#!/bin/sh\necho \"$0\" > \"" + QFile::encodeName(marker) + "\"\n");
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QProcess process;
    process.start(copy, {QStringLiteral("--launch-client")});
    if (!process.waitForFinished(30000))
        return launch;
    launch.exitCode = process.exitCode();
    // The client is detached: it may still be starting when the launcher
    // has already ended.
    launch.markerWritten
        = withScript && QTest::qWaitFor([&] { return QFile::exists(marker); }, 10000);
    if (!withScript)
        launch.markerWritten = QFile::exists(marker);
    return launch;
}

void TestProcessTools::startsTheScriptBesideTheProgram()
{
    const Launch launch = launchFrom(true);
    QCOMPARE(launch.exitCode, 0);
    QVERIFY(launch.markerWritten);
}

void TestProcessTools::missingScriptStartsNothing()
{
    const Launch launch = launchFrom(false);
    QCOMPARE(launch.exitCode, 0);
    QVERIFY(!launch.markerWritten);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().contains(QLatin1String("--launch-client"))) {
        ProcessTools::startVl3Client();
        return 0;
    }
    TestProcessTools test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processtools.moc"
