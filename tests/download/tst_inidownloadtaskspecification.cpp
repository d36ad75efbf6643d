#include "app/configuration.h"
#include "download/inidownloadtaskspecification.h"
#include "download/mirrors.h"
#include "downloadsupport.h"
#include "httpmirror.h"
#include "manifest/cryptotools.h"
#include "taskrun.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTest>

// The product ini step against a local mirror holding a release signed with
// the development key.
class TestIniDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void downloadsAndVerifies();
    void reusesValidFiles();
    void downloadsOnlyTheMissingSignature();
    void keptIniAgainstTheMirrors_data();
    void keptIniAgainstTheMirrors();
    void corruptIniIsFetchedAgain();
    void neverVerifyingMirrorIsCharged_data();
    void neverVerifyingMirrorIsCharged();
    void unreachableIniFails();
    void releaseWithDigestsFile_data();
    void releaseWithDigestsFile();
    void wrongCompressedFormIsRefused_data();
    void wrongCompressedFormIsRefused();

private:
    TaskRun run(IniDownloadTaskSpecification &task);
    std::unique_ptr<IniDownloadTaskSpecification> makeTask();

    QTemporaryDir mirrorRoot;
    // The release with its block lists apart, with and without compressed forms.
    QTemporaryDir compressedRoot;
    QTemporaryDir plainRoot;
    FreshPaths work;
    TestHttpMirror *mirror = nullptr;
    QNetworkAccessManager manager;
    Configuration configuration;
    Mirrors *pool = nullptr;
};

namespace {

const char IniPath[] = "/734/client_linux_x86.ini";
const char SigPath[] = "/734/client_linux_x86.ini.sig";

} // namespace

void TestIniDownload::initTestCase()
{
    crypt_init();
    QTemporaryDir client;
    writeTreeFile(client.path(), QStringLiteral("vl3client_linux_x86"), "binary");
    // mirrorRoot as published before digests files; the others as published now, one of them
    // on a mirror without the compressed forms.
    const QString type = QStringLiteral("client_linux_x86");
    QString complaint = publishRelease(client.path(), mirrorRoot.path(), type, 734);
    if (complaint.isEmpty())
        complaint = publishAsBeforeDigests(mirrorRoot.path(), type, 734);
    QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
    for (const QTemporaryDir *root : {&compressedRoot, &plainRoot}) {
        const QString problem = publishRelease(client.path(), root->path(), type, 734);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
    removeCompressedMetadata(plainRoot.path(), type, 734);
    prepareForLoopback(manager);
    configuration.clientType = QStringLiteral("client_linux_x86");
    configuration.clientVersion = 734;
}

void TestIniDownload::init()
{
    // A fresh server per case, so the request counts are the case's own.
    delete mirror;
    mirror = new TestHttpMirror(this);
    mirror->setRootPath(mirrorRoot.path());
    configuration.tempDir = work.path(QStringLiteral("session"));
    QVERIFY(QDir().mkpath(configuration.tempDir));
    delete pool;
    pool = new Mirrors(this);
    pool->initDefault(writeMirrorsIni(work, {{"local", mirror->baseUrl(), "1"}}),
                      configuration.clientVersion);
}

std::unique_ptr<IniDownloadTaskSpecification> TestIniDownload::makeTask()
{
    return std::make_unique<IniDownloadTaskSpecification>(&manager, pool, &configuration, nullptr,
                                                          0.1);
}

TaskRun TestIniDownload::run(IniDownloadTaskSpecification &task)
{
    // Replies still on their way may try to end the task a second time.
    return runTask(task, 50);
}

void TestIniDownload::downloadsAndVerifies()
{
    auto task = makeTask();
    QCOMPARE(task->remoteIniPath(), QStringLiteral("client_linux_x86.ini"));
    const TaskRun result = run(*task);
    QCOMPARE(result.finished, 1);
    QCOMPARE(result.canceled, 0);
    QCOMPARE(result.messages.first(), QStringLiteral("Download / check product ini"));
    QCOMPARE(mirror->requestCount(QLatin1String(IniPath)), 1);
    QCOMPARE(mirror->requestCount(QLatin1String(SigPath)), 1);
    QVERIFY(QFile::exists(configuration.tempDir + "/client_linux_x86.ini"));
    QVERIFY(QFile::exists(configuration.tempDir + "/client_linux_x86.ini.sig"));
    // A release without a digests file: its side file, as ever.
    QCOMPARE(mirror->requestCount("/734/client_linux_x86.hashes"), 1);
    QCOMPARE(configuration.sideFilePath, configuration.tempDir + "/client_linux_x86.hashes");
    QVERIFY(!configuration.blockListsApart);
    QCOMPARE(result.progress.last(), 0.1);
    // Two downloads of a third each, then the check.
    QVERIFY(result.progress.contains(0.1 * 0.3333));
    QVERIFY(result.progress.contains(0.1 * 0.6666));
}

void TestIniDownload::reusesValidFiles()
{
    QFile::copy(mirrorRoot.path() + IniPath, configuration.tempDir + "/client_linux_x86.ini");
    QFile::copy(mirrorRoot.path() + SigPath, configuration.tempDir + "/client_linux_x86.ini.sig");
    QFile::copy(mirrorRoot.path() + "/734/client_linux_x86.hashes",
                configuration.tempDir + "/client_linux_x86.hashes");
    auto task = makeTask();
    const TaskRun result = run(*task);
    QCOMPARE(result.finished, 1);
    // Only the signature the mirror serves now, to learn that the kept one is still current.
    QCOMPARE(mirror->totalRequestCount(), 1);
    QCOMPARE(mirror->requestCount(QLatin1String(SigPath)), 1);
    QVERIFY(!QFile::exists(configuration.tempDir + "/client_linux_x86.ini.sig::current"));
    QCOMPARE(configuration.sideFilePath, configuration.tempDir + "/client_linux_x86.hashes");
    // The check alone carries the whole share.
    QCOMPARE(result.progress.last(), 0.1);
    for (double p : result.progress)
        QVERIFY(p == 0.0 || p == 0.1);
}

void TestIniDownload::downloadsOnlyTheMissingSignature()
{
    QFile::copy(mirrorRoot.path() + IniPath, configuration.tempDir + "/client_linux_x86.ini");
    auto task = makeTask();
    const TaskRun result = run(*task);
    QCOMPARE(result.finished, 1);
    QCOMPARE(mirror->requestCount(QLatin1String(IniPath)), 0);
    QCOMPARE(mirror->requestCount(QLatin1String(SigPath)), 1);
    QVERIFY(result.progress.contains(0.1 * 0.3333));
    QCOMPARE(result.progress.last(), 0.1);
}

void TestIniDownload::keptIniAgainstTheMirrors_data()
{
    QTest::addColumn<bool>("republished");
    QTest::addColumn<bool>("signatureMissing");
    // The mirrors now hold another release under the same version: fetched again, no mirror
    // charged for the ini they serve.
    QTest::newRow("release published again") << true << false;
    // The current signature cannot be had: the kept files are used as they are.
    QTest::newRow("signature not served") << false << true;
}

void TestIniDownload::keptIniAgainstTheMirrors()
{
    QFETCH(bool, republished);
    QFETCH(bool, signatureMissing);
    QTemporaryDir earlierRoot;
    QString keptFrom = mirrorRoot.path();
    if (republished) {
        QTemporaryDir client;
        writeTreeFile(client.path(), QStringLiteral("vl3client_linux_x86"), "an earlier build");
        const QString complaint = publishRelease(client.path(), earlierRoot.path(),
                                                 QStringLiteral("client_linux_x86"), 734);
        QVERIFY2(complaint.isEmpty(), qPrintable(complaint));
        keptFrom = earlierRoot.path();
    }
    for (const QString &name :
         {QStringLiteral("client_linux_x86.ini"), QStringLiteral("client_linux_x86.ini.sig"),
          QStringLiteral("client_linux_x86.hashes")})
        QVERIFY(QFile::copy(keptFrom + "/734/" + name, configuration.tempDir + '/' + name));
    if (signatureMissing)
        mirror->setFault(QLatin1String(SigPath), TestHttpMirror::Fault::status(404));

    auto task = makeTask();
    const TaskRun result = run(*task);
    QCOMPARE(result.finished, 1);
    QCOMPARE(mirrorRecord(*pool, "local").errorCount, 0);
    QCOMPARE(mirror->requestCount(QLatin1String(IniPath)), republished ? 1 : 0);
    QCOMPARE(readAll(configuration.tempDir + "/client_linux_x86.ini"),
             readAll(mirrorRoot.path() + IniPath));
    QCOMPARE(readAll(configuration.sideFilePath),
             readAll(mirrorRoot.path() + "/734/client_linux_x86.hashes"));
    QCOMPARE(result.messages.contains(
                 "The release of version 734 was signed anew since this session began; fetching "
                 "its product ini again"),
             republished);
}

void TestIniDownload::corruptIniIsFetchedAgain()
{
    // An interrupted run left a damaged ini and a signature.
    writeTreeFile(configuration.tempDir, QStringLiteral("client_linux_x86.ini"), "[damaged");
    QFile::copy(mirrorRoot.path() + SigPath, configuration.tempDir + "/client_linux_x86.ini.sig");
    auto task = makeTask();
    const TaskRun result = run(*task);
    QCOMPARE(result.finished, 1);
    QCOMPARE(result.canceled, 0);
    QVERIFY(result.messages.contains(
        QStringLiteral("Could not verify the product ini file. Retrying")));
    QCOMPARE(mirror->requestCount(QLatin1String(IniPath)), 1);
    // Once to compare with the kept one (the same), once with the ini fetched again.
    QCOMPARE(mirror->requestCount(QLatin1String(SigPath)), 2);
    QCOMPARE(task->getRetryCount(), 1);
    QFile fetched(configuration.tempDir + "/client_linux_x86.ini");
    QVERIFY(fetched.open(QIODevice::ReadOnly));
    QVERIFY(!fetched.readAll().startsWith("[damaged"));
}

void TestIniDownload::neverVerifyingMirrorIsCharged_data()
{
    QTest::addColumn<QString>("retries");
    QTest::addColumn<int>("retryLimit");
    QTest::addColumn<int>("requests");
    QTest::addColumn<bool>("dropped");

    // Dropped after its own allowance, long before the retry limit.
    QTest::newRow("mirror allowance first") << "2" << 1000 << 3 << true;
    // The retry limit stays the outer bound.
    QTest::newRow("retry limit first") << "10" << 3 << 4 << false;
}

void TestIniDownload::neverVerifyingMirrorIsCharged()
{
    QFETCH(QString, retries);
    QFETCH(int, retryLimit);
    QFETCH(int, requests);
    QFETCH(bool, dropped);

    pool->deleteLater();
    pool = new Mirrors(this);
    pool->initDefault(writeMirrorsIni(work, {{"local", mirror->baseUrl(), retries}}),
                      configuration.clientVersion);
    // The mirror serves an ini that does not match its signature.
    mirror->setContent(QLatin1String(IniPath), "[tampered]\nx=1\n");
    QSignalSpy poolMessages(pool, &Mirrors::message);
    auto task = makeTask();
    task->setRetryLimit(retryLimit);
    const TaskRun result = run(*task);
    mirror->removeContent(QLatin1String(IniPath));
    // Ends exactly once, as a failure.
    QCOMPARE(result.canceled, 1);
    QCOMPARE(result.finished, 0);
    QCOMPARE(result.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(mirror->requestCount(QLatin1String(IniPath)), requests);
    QCOMPARE(mirror->requestCount(QLatin1String(SigPath)), requests);
    if (dropped) {
        QCOMPARE(pool->getMirrorIndex("local"), -1);
        QCOMPARE(poolMessagesBesideProtocol(poolMessages),
                 QStringList({"Mirror local failed too many times, removing",
                              "There are no (more) known working mirrors available"}));
    } else {
        QCOMPARE(result.messages.last(),
                 QStringLiteral("Could not verify the product ini file. Aborting"));
        QCOMPARE(mirrorRecord(*pool, "local").errorCount, requests);
    }
}

void TestIniDownload::unreachableIniFails()
{
    mirror->setFault(QLatin1String(IniPath), TestHttpMirror::Fault::status(404));
    QSignalSpy poolMessages(pool, &Mirrors::message);
    auto task = makeTask();
    const TaskRun result = run(*task);
    QCOMPARE(result.canceled, 1);
    QCOMPARE(result.finished, 0);
    QCOMPARE(result.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(poolMessagesBesideProtocol(poolMessages),
             QStringList("There are no (more) known working mirrors available"));
    QCOMPARE(mirror->requestCount(QLatin1String(SigPath)), 0);
}

void TestIniDownload::releaseWithDigestsFile_data()
{
    QTest::addColumn<bool>("compressed");
    QTest::newRow("compressed forms") << true;
    QTest::newRow("plain forms only") << false;
}

void TestIniDownload::releaseWithDigestsFile()
{
    QFETCH(bool, compressed);
    const QString root = compressed ? compressedRoot.path() : plainRoot.path();
    mirror->setRootPath(root);
    auto task = makeTask();
    const TaskRun result = run(*task);
    QCOMPARE(result.finished, 1);
    QCOMPARE(mirrorRecord(*pool, "local").errorCount, 0);
    // The compressed form first; where there is none, the plain one in the same attempt, and
    // the plain form of the digests file at once.
    QCOMPARE(mirror->requestCount("/734/client_linux_x86.ini.gz"), 1);
    QCOMPARE(mirror->requestCount(QLatin1String(IniPath)), compressed ? 0 : 1);
    QCOMPARE(mirror->requestCount("/734/client_linux_x86.digests.gz"), compressed ? 1 : 0);
    QCOMPARE(mirror->requestCount("/734/client_linux_x86.digests"), compressed ? 0 : 1);
    // The signature stays plain; the side file is for older updaters only.
    QCOMPARE(mirror->requestCount(QLatin1String(SigPath)), 1);
    QCOMPARE(mirror->requestCount("/734/client_linux_x86.ini.sig.gz"), 0);
    QCOMPARE(mirror->requestCount("/734/client_linux_x86.hashes"), 0);
    QCOMPARE(mirror->requestCount("/734/client_linux_x86.hashes.gz"), 0);
    QCOMPARE(readAll(configuration.tempDir + "/client_linux_x86.ini"), readAll(root + IniPath));
    QCOMPARE(configuration.sideFilePath, configuration.tempDir + "/client_linux_x86.digests");
    QCOMPARE(readAll(configuration.sideFilePath), readAll(root + "/734/client_linux_x86.digests"));
    QVERIFY(configuration.blockListsApart);
}

void TestIniDownload::wrongCompressedFormIsRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("ini") << "/734/client_linux_x86.ini"
                         << "Could not verify the product ini file. Retrying";
    QTest::newRow("digests file")
        << "/734/client_linux_x86.digests"
        << "Digests file from local does not match the SHA-256 its product ini gives";
}

void TestIniDownload::wrongCompressedFormIsRefused()
{
    QFETCH(QString, path);
    QFETCH(QString, refusal);
    mirror->setRootPath(compressedRoot.path());
    // The first answer inflates to bytes of the right size that are not the signed ones.
    QByteArray other = readAll(compressedRoot.path() + path);
    other[other.size() - 2] = other.at(other.size() - 2) == 'x' ? 'y' : 'x';
    const QString compressedPath = path + ".gz";
    mirror->setContent(compressedPath, gzipped(other));
    // Counted before it is answered: from the second request on, the published form.
    const QMetaObject::Connection swap
        = connect(mirror, &TestHttpMirror::requestReceived, this, [&](const QString &asked) {
              if (asked == compressedPath.mid(1) && mirror->requestCount(compressedPath) > 1)
                  mirror->removeContent(compressedPath);
          });
    auto task = makeTask();
    const TaskRun result = run(*task);
    disconnect(swap);
    QCOMPARE(result.finished, 1);
    QVERIFY2(result.messages.contains(refusal), qPrintable(result.messages.join('\n')));
    // Charged through the refusal, then fetched again and taken.
    QCOMPARE(mirrorRecord(*pool, "local").errorCount, 1);
    QCOMPARE(mirror->requestCount(compressedPath), 2);
    QCOMPARE(readAll(configuration.tempDir + "/client_linux_x86.ini"),
             readAll(compressedRoot.path() + IniPath));
    QCOMPARE(readAll(configuration.sideFilePath),
             readAll(compressedRoot.path() + "/734/client_linux_x86.digests"));
}

QTEST_GUILESS_MAIN(TestIniDownload)
#include "tst_inidownloadtaskspecification.moc"
