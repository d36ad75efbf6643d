#include "manifest/cryptotools.h"
#include "manifest/scopedrsakey.h"
#include "testsupport.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace {

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

const unsigned char *bytesOf(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

QByteArray sign(Rsa_key *key, const QByteArray &data)
{
    unsigned char out[KEY_BLOCK_SIZE];
    unsigned long outLen = sizeof(out);
    sign_msg(key, bytesOf(data), static_cast<unsigned long>(data.size()), out, &outLen);
    return QByteArray(reinterpret_cast<const char *>(out), int(outLen));
}

bool verify(Rsa_key *key, const QByteArray &data, const QByteArray &signature)
{
    return verify_msg(key, bytesOf(data), static_cast<unsigned long>(data.size()),
                      bytesOf(signature), static_cast<unsigned long>(signature.size()));
}

// The DER encoding of a key as rsa_export writes it; two keys are the same key exactly when
// these agree.
QByteArray derOf(Rsa_key *key, int type)
{
    unsigned char out[KEY_BLOCK_SIZE];
    unsigned long outLen = sizeof(out);
    check_err("rsa_export", rsa_export(out, &outLen, type, key));
    return QByteArray(reinterpret_cast<const char *>(out), int(outLen));
}

// The text of the crypt_exception that call throws, or a null string if it throws none.
QString thrownText(const std::function<void()> &call)
{
    try {
        call();
    } catch (const crypt_exception &e) {
        return QString::fromLocal8Bit(e.what());
    }
    return QString();
}

} // namespace

class TestCryptoTools : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void signAndVerifyRoundTrip_data();
    void signAndVerifyRoundTrip();
    void savedKeysLoadAsTheSameKeys();
    void signatureOfTheRightLengthThatDoesNotMatchIsFalse_data();
    void signatureOfTheRightLengthThatDoesNotMatchIsFalse();
    void signatureOfAnotherLengthThrows_data();
    void signatureOfAnotherLengthThrows();
    void keyBlockFillerIsIgnored_data();
    void keyBlockFillerIsIgnored();
    void unusableKeysThrowAndLeaveTheKeyEmpty();
    void signingNeedsThePrivateKey();
    void builtInKeyIsTheConfiguredPublicKey();
    void checkErrAndHashMsg();
    void readFile_data();
    void readFile();
    void readFileReusesTheCallersBuffer();
    void readFileErrors();
    void writeFileAndSaveKeyReportFailures();
    void verificationsRunConcurrently();

private:
    ScopedRsaKey key;
    QTemporaryDir dir;
};

void TestCryptoTools::initTestCase()
{
    crypt_init();
    QVERIFY(hash_idx >= 0);
    QVERIFY(prng_idx >= 0);
    QVERIFY(dir.isValid());
    create_key(key.get());
    QCOMPARE(key.type(), int(PK_PRIVATE));
}

void TestCryptoTools::signAndVerifyRoundTrip_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("a product ini") << QByteArray("[files]\nbin\\client=0123::7\n");
    QTest::newRow("300 KB") << randomBytes(300 * 1024);
}

void TestCryptoTools::signAndVerifyRoundTrip()
{
    QFETCH(QByteArray, data);
    const QByteArray signature = sign(key.get(), data);
    QCOMPARE(signature.size(), 128);
    QVERIFY(verify(key.get(), data, signature));

    // The salt is random: two signatures of the same data differ and both verify.
    const QByteArray again = sign(key.get(), data);
    QVERIFY(again != signature);
    QVERIFY(verify(key.get(), data, again));

    QByteArray changed = data.isEmpty() ? QByteArray(1, '\0') : data;
    if (!data.isEmpty())
        changed[changed.size() / 2] = char(changed.at(changed.size() / 2) ^ 0x01);
    QVERIFY(!verify(key.get(), changed, signature));
}

void TestCryptoTools::savedKeysLoadAsTheSameKeys()
{
    const QString publicPath = dir.filePath(QStringLiteral("public.key"));
    const QString privatePath = dir.filePath(QStringLiteral("private.key"));
    save_key(key.get(), PK_PUBLIC, QFile::encodeName(publicPath).constData());
    save_key(key.get(), PK_PRIVATE, QFile::encodeName(privatePath).constData());
    QCOMPARE(QFileInfo(publicPath).size(), qint64(KEY_BLOCK_SIZE));
    QCOMPARE(QFileInfo(privatePath).size(), qint64(KEY_BLOCK_SIZE));
    // A 1024-bit public key is a 140-byte RSAPublicKey at the start of the block.
    QCOMPARE(readAll(publicPath).left(3), QByteArray::fromHex("308189"));

    ScopedRsaKey publicKey;
    load_key(publicKey.get(), QFile::encodeName(publicPath).constData());
    QCOMPARE(publicKey.type(), int(PK_PUBLIC));
    const QByteArray data("signed with the private key, checked with the public one");
    QVERIFY(verify(publicKey.get(), data, sign(key.get(), data)));

    ScopedRsaKey privateKey;
    load_key(privateKey.get(), QFile::encodeName(privatePath).constData());
    QCOMPARE(privateKey.type(), int(PK_PRIVATE));
    QCOMPARE(derOf(privateKey.get(), PK_PRIVATE), derOf(key.get(), PK_PRIVATE));
    QVERIFY(verify(publicKey.get(), data, sign(privateKey.get(), data)));
}

void TestCryptoTools::signatureOfTheRightLengthThatDoesNotMatchIsFalse_data()
{
    QTest::addColumn<QByteArray>("signature");
    QTest::newRow("signature of other data") << sign(key.get(), QByteArray("other data"));
    QTest::newRow("zeros") << QByteArray(128, '\0');
    QTest::newRow("0xff bytes, above the modulus") << QByteArray(128, '\xff');
    for (int i = 0; i < 3; ++i)
        QTest::addRow("random %d", i) << randomBytes(128);
}

void TestCryptoTools::signatureOfTheRightLengthThatDoesNotMatchIsFalse()
{
    QFETCH(QByteArray, signature);
    const QByteArray data("the data");
    bool result = true;
    const QString thrown = thrownText([&] { result = verify(key.get(), data, signature); });
    QCOMPARE(thrown, QString());
    QVERIFY(!result);
}

void TestCryptoTools::signatureOfAnotherLengthThrows_data()
{
    const QByteArray data("the data");
    const QByteArray valid = sign(key.get(), data);
    QTest::addColumn<QByteArray>("signature");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("127 bytes") << valid.left(127);
    QTest::newRow("129 bytes") << valid + '\0';
    QTest::newRow("129 bytes, zero first") << QByteArray(1, '\0') + valid;
    QTest::newRow("256 bytes") << valid + valid;
}

void TestCryptoTools::signatureOfAnotherLengthThrows()
{
    QFETCH(QByteArray, signature);
    const QString thrown
        = thrownText([&] { verify(key.get(), QByteArray("the data"), signature); });
    QVERIFY2(thrown.startsWith(QLatin1String("rsa_verify_hash: ")), qPrintable(thrown));
    QVERIFY(thrown.size() > int(qstrlen("rsa_verify_hash: ")));
}

void TestCryptoTools::keyBlockFillerIsIgnored_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("public") << int(PK_PUBLIC);
    QTest::newRow("private") << int(PK_PRIVATE);
}

void TestCryptoTools::keyBlockFillerIsIgnored()
{
    QFETCH(int, type);
    const QByteArray der = derOf(key.get(), type);
    QByteArray block = der + randomBytes(int(KEY_BLOCK_SIZE) - der.size());
    QCOMPARE(block.size(), int(KEY_BLOCK_SIZE));

    ScopedRsaKey loaded;
    load_key(loaded.get(), bytesOf(block), KEY_BLOCK_SIZE);
    QCOMPARE(loaded.type(), type);
    QCOMPARE(derOf(loaded.get(), type), der);

    // And through a key file, whose filler the toolkit never looks at either.
    const QString path = dir.filePath(QStringLiteral("filler.key"));
    QVERIFY(writeFile(path, block));
    ScopedRsaKey fromFile;
    load_key(fromFile.get(), QFile::encodeName(path).constData());
    QCOMPARE(derOf(fromFile.get(), type), der);
}

void TestCryptoTools::unusableKeysThrowAndLeaveTheKeyEmpty()
{
    const QByteArray junk(int(KEY_BLOCK_SIZE), '\x55');
    ScopedRsaKey fromJunk;
    QString thrown = thrownText([&] { load_key(fromJunk.get(), bytesOf(junk), KEY_BLOCK_SIZE); });
    QVERIFY2(thrown.startsWith(QLatin1String("rsa_import: ")), qPrintable(thrown));
    QVERIFY(!fromJunk.isLoaded());

    // A missing or short key file is an import error, not a file error.
    ScopedRsaKey fromMissing;
    const QByteArray missing = QFile::encodeName(dir.filePath(QStringLiteral("missing.key")));
    thrown = thrownText([&] { load_key(fromMissing.get(), missing.constData()); });
    QVERIFY2(thrown.startsWith(QLatin1String("rsa_import: ")), qPrintable(thrown));
    const QString shortPath = dir.filePath(QStringLiteral("short.key"));
    QVERIFY(writeFile(shortPath, derOf(key.get(), PK_PUBLIC).left(100)));
    ScopedRsaKey fromShort;
    thrown
        = thrownText([&] { load_key(fromShort.get(), QFile::encodeName(shortPath).constData()); });
    QVERIFY2(thrown.startsWith(QLatin1String("rsa_import: ")), qPrintable(thrown));

    // A key that holds nothing is refused instead of crashing the library.
    thrown = thrownText([&] { verify(fromJunk.get(), QByteArray("x"), QByteArray(128, 'x')); });
    QVERIFY2(thrown.startsWith(QLatin1String("rsa_verify_hash: ")), qPrintable(thrown));
}

void TestCryptoTools::signingNeedsThePrivateKey()
{
    ScopedRsaKey publicKey;
    const QByteArray der = derOf(key.get(), PK_PUBLIC);
    load_key(publicKey.get(), bytesOf(der), static_cast<unsigned long>(der.size()));
    QString thrown = thrownText([&] { sign(publicKey.get(), QByteArray("data")); });
    QVERIFY2(thrown.startsWith(QLatin1String("rsa_sign_hash: ")), qPrintable(thrown));

    unsigned char out[64];
    unsigned long outLen = sizeof(out);
    thrown = thrownText([&] { sign_msg(key.get(), bytesOf("data"), 4, out, &outLen); });
    QVERIFY2(thrown.startsWith(QLatin1String("rsa_sign_hash: ")), qPrintable(thrown));
}

void TestCryptoTools::builtInKeyIsTheConfiguredPublicKey()
{
    const QByteArray configured = readAll(QStringLiteral(VARNOLT_TEST_PUBLIC_KEY_FILE));
    QCOMPARE(configured.size(), int(KEY_BLOCK_SIZE));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(PUBLIC_KEY), int(KEY_BLOCK_SIZE)),
             configured);

    ScopedRsaKey builtIn;
    load_key(builtIn.get(), PUBLIC_KEY, KEY_BLOCK_SIZE);
    QCOMPARE(builtIn.type(), int(PK_PUBLIC));
    QCOMPARE(derOf(builtIn.get(), PK_PUBLIC).size(), 140);
}

void TestCryptoTools::checkErrAndHashMsg()
{
    QCOMPARE(thrownText([] { check_err("anything", CRYPT_OK); }), QString());
    QCOMPARE(thrownText([] { check_err("rsa_import", CRYPT_INVALID_PACKET); }),
             QStringLiteral("rsa_import: ")
                 + QString::fromLatin1(error_to_string(CRYPT_INVALID_PACKET)));

    unsigned char digest[HASH_SIZE];
    hash_msg(nullptr, 0, digest);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(digest), HASH_SIZE).toHex(),
             QByteArray("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
    hash_msg(bytesOf("abc"), 3, digest);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(digest), HASH_SIZE).toHex(),
             QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d"));
}

void TestCryptoTools::readFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("2047 bytes") << randomBytes(2047);
    QTest::newRow("exactly 2048 bytes") << randomBytes(2048);
    QTest::newRow("2049 bytes") << randomBytes(2049);
    QTest::newRow("100000 bytes") << randomBytes(100000);
}

void TestCryptoTools::readFile()
{
    QFETCH(QByteArray, content);
    const QString path = dir.filePath(QStringLiteral("read.bin"));
    QVERIFY(writeFile(path, content));

    unsigned char *data = nullptr;
    unsigned long len = 12345;
    read_file(QFile::encodeName(path).constData(), &data, &len);
    QVERIFY(data != nullptr);
    QCOMPARE(len, static_cast<unsigned long>(content.size()));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(data), int(len)), content);
    std::free(data);
}

void TestCryptoTools::readFileReusesTheCallersBuffer()
{
    const QString first = dir.filePath(QStringLiteral("first.bin"));
    const QString second = dir.filePath(QStringLiteral("second.bin"));
    QVERIFY(writeFile(first, randomBytes(10000)));
    const QByteArray secondContent("short");
    QVERIFY(writeFile(second, secondContent));

    unsigned char *data = nullptr;
    unsigned long len = 0;
    read_file(QFile::encodeName(first).constData(), &data, &len);
    read_file(QFile::encodeName(second).constData(), &data, &len);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(data), int(len)), secondContent);
    std::free(data);
}

void TestCryptoTools::readFileErrors()
{
    const QString missing = dir.filePath(QStringLiteral("no such file"));
    unsigned char *data = nullptr;
    unsigned long len = 99;
    QCOMPARE(thrownText([&] { read_file(QFile::encodeName(missing).constData(), &data, &len); }),
             QStringLiteral("Cannot open file for reading: ") + missing);
    QCOMPARE(len, 0ul);

    // A directory opens but cannot be read; the loop must not wait for an end that never comes.
    QCOMPARE(thrownText([&] { read_file(QFile::encodeName(dir.path()).constData(), &data, &len); }),
             QStringLiteral("Cannot read file: ") + dir.path());
    std::free(data);
}

void TestCryptoTools::writeFileAndSaveKeyReportFailures()
{
    const QString path = dir.filePath(QStringLiteral("written.bin"));
    const QByteArray content = randomBytes(5000);
    write_file(QFile::encodeName(path).constData(), bytesOf(content),
               static_cast<unsigned long>(content.size()));
    QCOMPARE(readAll(path), content);
    write_file(QFile::encodeName(path).constData(), nullptr, 0);
    QCOMPARE(QFileInfo(path).size(), qint64(0));

    const QString noDirectory = dir.filePath(QStringLiteral("missing/dir/file"));
    QCOMPARE(thrownText([&] {
                 write_file(QFile::encodeName(noDirectory).constData(), bytesOf(content), 1);
             }),
             QStringLiteral("Cannot open file for writing: ") + noDirectory);
    QCOMPARE(thrownText([&] {
                 save_key(key.get(), PK_PUBLIC, QFile::encodeName(noDirectory).constData());
             }),
             QStringLiteral("Cannot open file for writing: ") + noDirectory);

    // A device that is always full: the failure must not pass for success.
    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full");
    QCOMPARE(thrownText([&] { write_file("/dev/full", bytesOf(content), 5000); }),
             QStringLiteral("Cannot write file: /dev/full"));
    QCOMPARE(thrownText([&] { save_key(key.get(), PK_PRIVATE, "/dev/full"); }),
             QStringLiteral("Cannot write file: /dev/full"));
}

void TestCryptoTools::verificationsRunConcurrently()
{
    const QByteArray der = derOf(key.get(), PK_PUBLIC);
    const QByteArray data = randomBytes(4096);
    const QByteArray good = sign(key.get(), data);
    const QByteArray bad = sign(key.get(), QByteArray("else"));

    std::atomic<int> correct {0};
    std::atomic<int> failures {0};
    std::vector<std::thread> threads;
    constexpr int threadCount = 4;
    constexpr int rounds = 25;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                try {
                    ScopedRsaKey publicKey;
                    load_key(publicKey.get(), bytesOf(der), static_cast<unsigned long>(der.size()));
                    const bool expected = (i % 2) == 0;
                    if (verify(publicKey.get(), data, expected ? good : bad) == expected)
                        ++correct;
                } catch (const crypt_exception &) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QCOMPARE(failures.load(), 0);
    QCOMPARE(correct.load(), threadCount * rounds);
}

QTEST_GUILESS_MAIN(TestCryptoTools)
#include "tst_cryptotools.moc"
