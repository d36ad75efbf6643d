#include "manifest/sha256.h"
#include "releasemirror.h"
#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QSettings>
#include <QTest>

// What a hostile or stale mirror may serve instead of the release the version server named, and
// releases signed during a change of signing keys, each run through a real headless updater
// against a release published with the real tool: the updater must refuse with its reason and
// leave the installation as it was, or install the release unchanged.
class TestReleaseSecurity : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void servedRelease_data();
    void servedRelease();

private:
    enum Scenario {
        Bound,
        OlderReleaseUnderNewPath,
        OtherClientType,
        Expired,
        Unbound,
        UnboundAfterBound,
        ForeignSideFile,
        ForeignDigestsFile,
        Sha256DiffersMd5Matches,
        TwoKeys,
        OnlySecondKey
    };
    enum Updater { TrustsDevelopmentKey, TrustsSecondKey, SecondKeyRevoked };

    void prepare(Scenario scenario);
    static QString tool();
    static bool runTool(const QStringList &arguments);
    QString versionDir() const { return site->mirrorRoot.filePath(QStringLiteral("2")); }
    QString iniPath() const { return versionDir() + QLatin1String("/client_linux_amd64.ini"); }

    std::unique_ptr<UpdateSite> site;
};

namespace {

const QString Type = QStringLiteral("client_linux_amd64");

} // namespace

void TestReleaseSecurity::init()
{
    site.reset();
}

void TestReleaseSecurity::cleanup()
{
    site.reset();
}

QString TestReleaseSecurity::tool()
{
    return QString::fromLocal8Bit(qgetenv("VARNOLT_RELEASE_EXE"));
}

bool TestReleaseSecurity::runTool(const QStringList &arguments)
{
    QProcess process;
    process.start(tool(), arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

void TestReleaseSecurity::servedRelease_data()
{
    QTest::addColumn<int>("scenario");
    QTest::addColumn<int>("updater");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<bool>("installs");

    QTest::newRow("bound release") << int(Bound) << int(TrustsDevelopmentKey) << QString() << true;
    // Mix-and-match: a validly signed ini of another release under the path of the one asked for.
    QTest::newRow("older release under the new path")
        << int(OlderReleaseUnderNewPath) << int(TrustsDevelopmentKey)
        << "Product ini from local is for client_linux_amd64 version 3, not version 2" << false;
    QTest::newRow("other client type")
        << int(OtherClientType) << int(TrustsDevelopmentKey)
        << "Product ini from local is for client_linux_arm64 version 2, not version 2" << false;
    // Freeze: a release kept on a mirror beyond its expiry.
    QTest::newRow("expired") << int(Expired) << int(TrustsDevelopmentKey)
                             << "Product ini from local expired on " << false;
    QTest::newRow("unbound, before any bound release")
        << int(Unbound) << int(TrustsDevelopmentKey)
        << "Product ini from local carries no version binding; accepted" << true;
    QTest::newRow("unbound after a bound release")
        << int(UnboundAfterBound) << int(TrustsDevelopmentKey)
        << "Error: Product ini from local carries no version binding" << false;
    QTest::newRow("side file not the one the ini names")
        << int(ForeignSideFile) << int(TrustsDevelopmentKey)
        << "Side file from local does not match the SHA-256 its product ini gives" << false;
    QTest::newRow("digests file not the one the ini names")
        << int(ForeignDigestsFile) << int(TrustsDevelopmentKey)
        << "Digests file from local does not match the SHA-256 its product ini gives" << false;
    // What an MD5 collision looks like to the updater: the file passes its MD5, not its SHA-256.
    QTest::newRow("SHA-256 differs where the MD5 matches")
        << int(Sha256DiffersMd5Matches) << int(TrustsDevelopmentKey)
        << "does not match although its MD5 does" << false;
    // Key rotation: signed with the old and the new key, any updater installs it.
    QTest::newRow("two keys, updater trusting the old one")
        << int(TwoKeys) << int(TrustsDevelopmentKey) << QString() << true;
    QTest::newRow("two keys, updater trusting the new one")
        << int(TwoKeys) << int(TrustsSecondKey) << QString() << true;
    QTest::newRow("two keys, the new one revoked")
        << int(TwoKeys) << int(SecondKeyRevoked) << QString() << true;
    QTest::newRow("only the new key, updater trusting the old one")
        << int(OnlySecondKey) << int(TrustsDevelopmentKey)
        << "Could not verify the product ini file. Aborting" << false;
    QTest::newRow("only a revoked key")
        << int(OnlySecondKey) << int(SecondKeyRevoked)
        << "Could not verify the product ini file. Aborting" << false;
    QTest::newRow("only the new key, updater trusting it")
        << int(OnlySecondKey) << int(TrustsSecondKey) << QString() << true;
}

void TestReleaseSecurity::prepare(Scenario scenario)
{
    const QString developmentKey = QString::fromLocal8Bit(qgetenv("VARNOLT_SIGNING_KEY"));
    const QString secondKey = QStringLiteral(VARNOLT_SECOND_PRIVATE_KEY);
    QString complaint;
    switch (scenario) {
    case OlderReleaseUnderNewPath: {
        // Version 3, published and signed properly, copied to where version 2 belongs.
        complaint = site->publishClient(3);
        const QString from = site->mirrorRoot.filePath(QStringLiteral("3"));
        QVERIFY(QProcess::execute(QStringLiteral("cp"), {"-r", from, versionDir()}) == 0);
        break;
    }
    case OtherClientType: {
        QTemporaryDir source;
        UpdateSite::writeClient(source.path(), 2);
        complaint = publishRelease(source.path(), site->mirrorRoot.path(),
                                   QStringLiteral("client_linux_arm64"), 2);
        for (const char *suffix : {".ini", ".ini.sig"}) {
            QVERIFY(QFile::rename(versionDir() + "/client_linux_arm64" + suffix,
                                  versionDir() + "/client_linux_amd64" + suffix));
        }
        break;
    }
    case Expired:
        complaint = site->publishClient(2, {"--expires-in", "0"});
        break;
    case Unbound:
    case UnboundAfterBound: {
        complaint = site->publishClient(2);
        // As published before bindings: the manifest without its keys outside sections,
        // signed again.
        QByteArray ini = readAll(iniPath());
        ini = ini.mid(ini.indexOf("\n[client_linux_amd64]") + 1);
        QVERIFY(writeFile(iniPath(), ini));
        QVERIFY(runTool({"sign", "--key", developmentKey, iniPath()}));
        if (scenario == UnboundAfterBound) {
            site->installation.writeFile(QStringLiteral("update.ini"),
                                         "[installed]\nbound_release=true\n"
                                         "type=client_linux_amd64\nversion=1\n");
        }
        break;
    }
    case ForeignSideFile:
    case ForeignDigestsFile:
    case Sha256DiffersMd5Matches: {
        complaint = site->publishClient(2);
        QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
        // The side file only counts for a release published before digests files.
        const bool side = scenario == ForeignSideFile;
        if (side) {
            complaint = publishAsBeforeDigests(site->mirrorRoot.path(), Type, 2);
            QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
        }
        const QString digests = versionDir()
            + (side ? QLatin1String("/client_linux_amd64.hashes")
                    : QLatin1String("/client_linux_amd64.digests"));
        QByteArray digestsBytes = readAll(digests);
        const QByteArray levels = Sha256::hash(UpdateSite::levelsContent()).toHex();
        QVERIFY(digestsBytes.contains(levels));
        digestsBytes.replace(levels, Sha256::hash("another file").toHex());
        QVERIFY(writeFile(digests, digestsBytes));
        QVERIFY(writeFile(digests + ".gz", gzipped(digestsBytes)));
        if (scenario != Sha256DiffersMd5Matches)
            break;
        // The publisher's side of a collision: the signed ini pins this digests file.
        QByteArray ini = readAll(iniPath());
        QSettings settings(iniPath(), QSettings::IniFormat);
        ini.replace(settings.value(QStringLiteral("digests_file_sha256")).toByteArray(),
                    Sha256::hash(digestsBytes).toHex());
        QVERIFY(writeFile(iniPath(), ini));
        QVERIFY(runTool({"sign", "--key", developmentKey, iniPath()}));
        break;
    }
    case TwoKeys:
        complaint = site->publishClient(2, {"--key", secondKey});
        break;
    case OnlySecondKey:
        complaint = site->publishClient(2);
        QVERIFY(runTool({"sign", "--key", secondKey, iniPath()}));
        break;
    case Bound:
        // With a block list for every file: a side file with blocks lines must be read as any.
        complaint = site->publishClient(2, {"--block-lists-from", "1"});
        break;
    }
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
}

void TestReleaseSecurity::servedRelease()
{
    QFETCH(int, scenario);
    QFETCH(int, updater);
    QFETCH(QString, logged);
    QFETCH(bool, installs);

    const QString executables[] = {updaterExecutable(), QStringLiteral(VARNOLT_UPDATE_SECOND),
                                   QStringLiteral(VARNOLT_UPDATE_SECOND_REVOKED)};
    site = std::make_unique<UpdateSite>(executables[updater]);
    QVERIFY(site->installation.isValid());
    UpdateSite::writeClient(site->installation.path(), 1);
    prepare(Scenario(scenario));
    if (QTest::currentTestFailed())
        return;
    const QMap<QString, QByteArray> before = site->clientFiles();

    RunningUpdater child(
        site->installation, {"--headless"},
        site->installation.environment(site->tmp.path(), QString(), site->versionServer.port()));
    QVERIFY(child.waitForEnd());
    const QString log = child.log();
    QVERIFY2(child.exitCode() == (installs ? 0 : 3), qPrintable(log));
    QVERIFY2(logged.isEmpty() || log.contains(logged), qPrintable(log));
    QCOMPARE(site->clientFiles(), installs ? UpdateSite::expectedClient(2) : before);

    const QString further = QStringLiteral("/2/client_linux_amd64.ini.sigs");
    if (scenario == TwoKeys) {
        // The further signatures cost a request only where the first one does not do.
        QCOMPARE(site->mirror.requestCount(further) > 0, updater == TrustsSecondKey);
    }
    const QSettings settings(site->installation.filePath(QStringLiteral("update.ini")),
                             QSettings::IniFormat);
    const bool bound = settings.value(QStringLiteral("installed/bound_release")).toBool();
    if (installs)
        QCOMPARE(bound, scenario != Unbound);
}

QTEST_GUILESS_MAIN(TestReleaseSecurity)
#include "tst_releasesecurity.moc"
