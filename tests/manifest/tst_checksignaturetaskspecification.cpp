#include "manifest/checksigfunc.h"
#include "manifest/checksignaturetaskspecification.h"
#include "manifest/cryptotools.h"
#include "manifest/scopedrsakey.h"
#include "taskrun.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <sys/resource.h>
#include <unistd.h>

// File checks on the thread pool: MD5 (streamed) and the signature against
// the built-in development key.
class TestCheckSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void md5_data();
    void md5();
    void signature_data();
    void signature();
    void fatalFailureCancels();
    void resultAfterResetIsDropped();
    void largeFileInConstantMemory();

private:
    QString write(const QString &name, const QByteArray &content);
    QByteArray sign(const QByteArray &data);

    QTemporaryDir dir;
};

namespace {

const char EmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";

struct Outcome : TaskRun
{
    // checkDone() signals seen; -1 when the first did not name the task.
    int checkDone = 0;
    bool pass = false;
};

Outcome runCheck(CheckSignatureTaskSpecification &task)
{
    QSignalSpy done(&task, &CheckSignatureTaskSpecification::checkDone);
    Outcome outcome;
    static_cast<TaskRun &>(outcome) = runTask(task);
    if (outcome.finished + outcome.canceled == 0)
        return outcome;
    outcome.checkDone = int(done.count());
    outcome.pass = !done.isEmpty() && done.first().at(0).toBool();
    if (!done.isEmpty() && done.first().at(1).value<CheckSignatureTaskSpecification *>() != &task)
        outcome.checkDone = -1;
    return outcome;
}

} // namespace

void TestCheckSignature::initTestCase()
{
    QVERIFY(dir.isValid());
    crypt_init();
}

QString TestCheckSignature::write(const QString &name, const QByteArray &content)
{
    QFile file(dir.filePath(name));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
    return file.fileName();
}

QByteArray TestCheckSignature::sign(const QByteArray &data)
{
    ScopedRsaKey key;
    load_key(key.get(), VARNOLT_DEVELOPMENT_KEY_DIR "/private.key");
    unsigned char out[512];
    unsigned long outLen = sizeof out;
    sign_msg(key.get(), reinterpret_cast<const unsigned char *>(data.constData()),
             static_cast<unsigned long>(data.size()), out, &outLen);
    return QByteArray(reinterpret_cast<const char *>(out), int(outLen));
}

void TestCheckSignature::md5_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("pass");
    // The digest its writer computed, given to the check instead of a read of the file.
    QTest::addColumn<QByteArray>("known");

    const QByteArray content("the client binary");
    const QString digest = md5Of(content);
    QTest::newRow("lower case") << content << digest << true << QByteArray();
    QTest::newRow("upper case") << content << digest.toUpper() << true << QByteArray();
    QTest::newRow("trailing space") << content << digest + " " << false << QByteArray();
    QTest::newRow("trailing newline") << content << digest + "\n" << false << QByteArray();
    QTest::newRow("other digest") << content << QString::fromLatin1(EmptyMd5) << false
                                  << QByteArray();
    QTest::newRow("empty file") << QByteArray() << QString::fromLatin1(EmptyMd5) << true
                                << QByteArray();
    QTest::newRow("empty file, upper case")
        << QByteArray() << QString::fromLatin1(EmptyMd5).toUpper() << true << QByteArray();
    // Larger than one digest block, and not a multiple of it.
    const QByteArray big(700 * 1024 + 3, 'x');
    QTest::newRow("several blocks") << big << md5Of(big) << true << QByteArray();
    const QByteArray written = QCryptographicHash::hash(content, QCryptographicHash::Md5);
    // The file changed after it was written: the check trusts the writer's digest, unread.
    QTest::newRow("known digest, file not read")
        << QByteArray("changed") << digest << true << written;
    QTest::newRow("known digest, other expected")
        << content << QString::fromLatin1(EmptyMd5) << false << written;
}

void TestCheckSignature::md5()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QFETCH(bool, pass);
    QFETCH(QByteArray, known);
    const QString path = write(QStringLiteral("product.bin"), content);
    CheckSignatureTaskSpecification task(path, expected, false, nullptr, 0.2);
    task.setKnownDigest(known);
    const Outcome outcome = runCheck(task);
    QCOMPARE(outcome.checkDone, 1);
    QCOMPARE(outcome.pass, pass);
    // Not fatal: the task finishes either way; the verdict is in checkDone.
    QCOMPARE(outcome.finished, 1);
    QCOMPARE(outcome.canceled, 0);
    QCOMPARE(task.progress, 0.2);
    QCOMPARE(outcome.messages,
             pass ? QStringList() : QStringList {"Signature check failed for " + path});
}

void TestCheckSignature::signature_data()
{
    QTest::addColumn<QByteArray>("signatureFile"); // "none", "valid", "short", "long", "empty"
    QTest::addColumn<bool>("changeData");
    QTest::addColumn<bool>("pass");
    QTest::addColumn<bool>("sigMessage");

    QTest::newRow("valid") << QByteArray("valid") << false << true << false;
    QTest::newRow("one changed byte") << QByteArray("valid") << true << false << false;
    QTest::newRow("no signature file") << QByteArray("none") << false << false << true;
    QTest::newRow("127 bytes") << QByteArray("short") << false << false << false;
    QTest::newRow("129 bytes") << QByteArray("long") << false << false << false;
    QTest::newRow("empty signature") << QByteArray("empty") << false << false << false;
}

void TestCheckSignature::signature()
{
    QFETCH(QByteArray, signatureFile);
    QFETCH(bool, changeData);
    QFETCH(bool, pass);
    QFETCH(bool, sigMessage);

    QByteArray data("[files]\nclient=0123::4\n");
    // Signed under another name: only the content counts.
    const QByteArray signature = sign(data);
    QCOMPARE(signature.size(), 128);
    if (changeData)
        data[3] = 'X';
    const QString path = write(QStringLiteral("client_linux_amd64.ini"), data);
    QFile::remove(path + ".sig");
    if (signatureFile == "valid")
        write(QStringLiteral("client_linux_amd64.ini.sig"), signature);
    else if (signatureFile == "short")
        write(QStringLiteral("client_linux_amd64.ini.sig"), signature.left(127));
    else if (signatureFile == "long")
        write(QStringLiteral("client_linux_amd64.ini.sig"), signature + 'x');
    else if (signatureFile == "empty")
        write(QStringLiteral("client_linux_amd64.ini.sig"), QByteArray());

    CheckSignatureTaskSpecification task(path, QString(), false, nullptr, 1.0);
    const Outcome outcome = runCheck(task);
    QCOMPARE(outcome.checkDone, 1);
    QCOMPARE(outcome.pass, pass);
    QCOMPARE(outcome.finished, 1);
    QStringList expected;
    if (sigMessage)
        expected << "Could not open file " + path + ".sig for reading";
    if (!pass)
        expected << "Signature check failed for " + path;
    QCOMPARE(outcome.messages, expected);
}

void TestCheckSignature::fatalFailureCancels()
{
    const QString missing = dir.filePath(QStringLiteral("missing.bin"));
    CheckSignatureTaskSpecification task(missing, QString::fromLatin1(EmptyMd5), true, nullptr,
                                         0.5);
    const Outcome outcome = runCheck(task);
    QCOMPARE(outcome.checkDone, 1);
    QVERIFY(!outcome.pass);
    QCOMPARE(outcome.canceled, 1);
    QCOMPARE(outcome.finished, 0);
    QCOMPARE(task.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(outcome.messages,
             QStringList({"Could not open file " + missing + " for reading",
                          "Signature check failed for " + missing}));

    // Fatal and passing: an ordinary finish.
    const QString empty = write(QStringLiteral("empty.bin"), QByteArray());
    CheckSignatureTaskSpecification passing(empty, QString::fromLatin1(EmptyMd5), true, nullptr,
                                            0.5);
    const Outcome ok = runCheck(passing);
    QVERIFY(ok.pass);
    QCOMPARE(ok.finished, 1);
}

void TestCheckSignature::resultAfterResetIsDropped()
{
    const QString path = write(QStringLiteral("reset.bin"), QByteArray(1024, 'r'));
    CheckSignatureTaskSpecification task(path, QString::fromLatin1(EmptyMd5), false, nullptr, 1.0);
    QSignalSpy done(&task, &CheckSignatureTaskSpecification::checkDone);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    task.reset(); // waits for the pool; the queued result arrives afterwards
    QVERIFY(QThreadPool::globalInstance()->waitForDone(10000));
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QCOMPARE(done.count(), 0);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(task.state, TaskSpecification::Idle);

    // The reset task can run again and checks anew.
    const Outcome again = runCheck(task);
    QCOMPARE(again.checkDone, 1);
    QVERIFY(!again.pass);
}

void TestCheckSignature::largeFileInConstantMemory()
{
    // A sparse file of 3 GiB: far more than this test may hold in memory.
    const QString path = dir.filePath(QStringLiteral("large.bin"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(qint64(3) << 30));
    }
    rusage before;
    getrusage(RUSAGE_SELF, &before);
    CheckSigFunc func(path, QStringLiteral("c698c87fb53058d493492b61f4c74189"));
    QVERIFY(func.run());
    rusage after;
    getrusage(RUSAGE_SELF, &after);
    // ru_maxrss is in KiB: the peak may grow by a few buffers, not by the file.
    QVERIFY2(
        after.ru_maxrss - before.ru_maxrss < 64 * 1024,
        qPrintable(QStringLiteral("peak grew by %1 KiB").arg(after.ru_maxrss - before.ru_maxrss)));
}

QTEST_GUILESS_MAIN(TestCheckSignature)
#include "tst_checksignaturetaskspecification.moc"
