#include "app/configuration.h"
#include "app/updateinidata.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

// The session record in update.ini beside the test executable.
class TestUpdateIniData : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void roundTrip();
    void unusableRecords_data();
    void unusableRecords();
    void cleanupKeepsOtherGroups();
    void installedRecord();

private:
    QString makeSessionDir(const QString &name);

    QTemporaryDir tmp;
    QByteArray oldTmpDir;
};

void TestUpdateIniData::initTestCase()
{
    QVERIFY(tmp.isValid());
    oldTmpDir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
}

void TestUpdateIniData::cleanupTestCase()
{
    QFile::remove(UpdateIniData::filename());
    qputenv("TMPDIR", oldTmpDir);
}

void TestUpdateIniData::init()
{
    QFile::remove(UpdateIniData::filename());
}

QString TestUpdateIniData::makeSessionDir(const QString &name)
{
    QDir(tmp.path()).mkdir(name);
    return tmp.filePath(name);
}

void TestUpdateIniData::roundTrip()
{
    QCOMPARE(UpdateIniData::filename(), Configuration::getAppRootPath() + "/update.ini");
    const QString dir = makeSessionDir(QStringLiteral("varnolt_temp_0"));
    UpdateIniData::modify(850, dir, QStringLiteral("client_linux_x86"));
    int version = 0;
    QString type;
    QString recorded;
    QVERIFY(UpdateIniData::get(&version, &type, &recorded));
    QCOMPARE(version, 850);
    QCOMPARE(type, QStringLiteral("client_linux_x86"));
    QCOMPARE(recorded, dir);
    // Null out-arguments are allowed.
    QVERIFY(UpdateIniData::get(nullptr, nullptr, nullptr));
}

void TestUpdateIniData::unusableRecords_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("dirName");
    QTest::addColumn<QString>("type");

    QTest::newRow("no record") << QString() << QString() << QString();
    QTest::newRow("version abc") << "abc"
                                 << "varnolt_temp_1"
                                 << "client_linux_amd64";
    QTest::newRow("empty type") << "850"
                                << "varnolt_temp_1"
                                << "";
    QTest::newRow("directory deleted by hand") << "850"
                                               << "varnolt_temp_9"
                                               << "client_linux_amd64";
    QTest::newRow("not a session directory name") << "850"
                                                  << "important"
                                                  << "client_linux_amd64";
    QTest::newRow("prefix without digits") << "850"
                                           << "varnolt_temp_"
                                           << "client_linux_amd64";
    QTest::newRow("prefix and other characters") << "850"
                                                 << "varnolt_temp_1x"
                                                 << "client_linux_amd64";
    QTest::newRow("symbolic link to a session directory") << "850"
                                                          << "varnolt_temp_link"
                                                          << "client_linux_amd64";
    QTest::newRow("home directory") << "850"
                                    << "HOME"
                                    << "client_linux_amd64";
    QTest::newRow("nested below the temporary directory") << "850"
                                                          << "varnolt_temp_1/varnolt_temp_2"
                                                          << "client_linux_amd64";
}

void TestUpdateIniData::unusableRecords()
{
    QFETCH(QString, version);
    QFETCH(QString, dirName);
    QFETCH(QString, type);

    makeSessionDir(QStringLiteral("varnolt_temp_1"));
    makeSessionDir(QStringLiteral("varnolt_temp_1/varnolt_temp_2"));
    makeSessionDir(QStringLiteral("important"));
    makeSessionDir(QStringLiteral("varnolt_temp_"));
    makeSessionDir(QStringLiteral("varnolt_temp_1x"));
    QFile::link(tmp.filePath(QStringLiteral("varnolt_temp_1")),
                tmp.filePath(QStringLiteral("varnolt_temp_link")));
    const QString dir = dirName == QLatin1String("HOME") ? QDir::homePath() : tmp.filePath(dirName);

    if (!version.isEmpty()) {
        QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("current/version"), version);
        settings.setValue(QStringLiteral("current/dir"), dir);
        settings.setValue(QStringLiteral("current/type"), type);
    }
    int outVersion = -7;
    QString outType = QStringLiteral("untouched");
    QString outDir = QStringLiteral("untouched");
    QVERIFY(!UpdateIniData::get(&outVersion, &outType, &outDir));
    QCOMPARE(outVersion, -7);
    QCOMPARE(outType, QStringLiteral("untouched"));
    QCOMPARE(outDir, QStringLiteral("untouched"));
}

void TestUpdateIniData::cleanupKeepsOtherGroups()
{
    {
        QFile file(UpdateIniData::filename());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[update]\nstreams=3\n[Channel]\nbeta=true\n");
    }
    UpdateIniData::modify(850, makeSessionDir(QStringLiteral("varnolt_temp_3")),
                          QStringLiteral("client_linux_amd64"));
    UpdateIniData::cleanup();
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    QCOMPARE(settings.childGroups(), QStringList({"Channel", "update"}));
    QCOMPARE(settings.value(QStringLiteral("update/streams")).toInt(), 3);
    QCOMPARE(settings.value(QStringLiteral("Channel/beta")).toBool(), true);
}

void TestUpdateIniData::installedRecord()
{
    {
        QFile file(UpdateIniData::filename());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[update]\nstreams=3\n[Channel]\nbeta=true\n");
    }
    QVERIFY(!UpdateIniData::installedVersion(QStringLiteral("client_linux_amd64"), nullptr));
    UpdateIniData::finishRun(QStringLiteral("client_linux_amd64"), 900);
    UpdateIniData::modify(901, makeSessionDir(QStringLiteral("varnolt_temp_4")),
                          QStringLiteral("client_linux_amd64"));
    UpdateIniData::cleanup();

    int version = 0;
    QVERIFY(UpdateIniData::installedVersion(QStringLiteral("client_linux_amd64"), &version));
    QCOMPARE(version, 900);
    QVERIFY(!UpdateIniData::installedVersion(QStringLiteral("client_linux_x86"), &version));
    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    QCOMPARE(settings.childGroups(), QStringList({"Channel", "installed", "update"}));
    QCOMPARE(settings.value(QStringLiteral("update/streams")).toInt(), 3);
}

QTEST_GUILESS_MAIN(TestUpdateIniData)
#include "tst_updateinidata.moc"
