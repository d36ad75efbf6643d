#include "app/configuration.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "downloadsupport.h"
#include "taskrun.h"
#include "testsupport.h"

#include <QDir>
#include <QMap>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const int Version = 7;
const int SmallFiles = 60;

QByteArray smallFile(int i)
{
    return randomBytes(100 + i, 64 * 1024);
}

// The download list of the small files the mirror serves below "files".
QList<FileDownloadSpecification> smallFileDownloads()
{
    QList<FileDownloadSpecification> downloads;
    for (int i = 0; i < SmallFiles; ++i) {
        FileDownloadSpecification record;
        record.section = QStringLiteral("files");
        record.filePath = QStringLiteral("small%1.bin").arg(i);
        record.md5 = md5Of(smallFile(i));
        record.size = quint64(smallFile(i).size());
        downloads.append(record);
    }
    return downloads;
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

} // namespace

// HTTP/2 against a real nginx started by the test on 127.0.0.1: negotiated by ALPN with a TLS
// mirror that offers it, and asked for with prior knowledge over plain HTTP where a mirror's
// group says "http2=prior". The pool notes each mirror's protocol once.
class TestHttp2Mirror : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void downloadsOverHttp2_data();
    void downloadsOverHttp2();
    void manyFilesShareTheConnection();
    void serverEndsConnections_data();
    void serverEndsConnections();

private:
    QTemporaryDir dir;
    QProcess nginx;
    quint16 tlsPort = 0;
    quint16 plainPort = 0;
    // Servers that end their connections after a few requests, allow one stream at a time, or
    // speak HTTP/1.1 only, by name.
    QMap<QString, quint16> limitedPorts;
    QByteArray body;
};

void TestHttp2Mirror::initTestCase()
{
    const QString nginxPath
        = QStandardPaths::findExecutable(QStringLiteral("nginx"), {"/usr/sbin", "/usr/bin"});
    const QString opensslPath = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    QVERIFY2(!nginxPath.isEmpty() && !opensslPath.isEmpty(),
             "nginx and openssl are needed (scripts/install-deps.sh installs them)");
    QVERIFY(dir.isValid());

    // A certificate for 127.0.0.1 that the test's TLS configuration trusts.
    QProcess openssl;
    openssl.start(opensslPath,
                  {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                   "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                   dir.filePath("key.pem"), "-out", dir.filePath("cert.pem")});
    QVERIFY(openssl.waitForFinished(30000));
    QCOMPARE(openssl.exitCode(), 0);
    const QList<QSslCertificate> certificates
        = QSslCertificate::fromPath(dir.filePath(QStringLiteral("cert.pem")));
    QCOMPARE(certificates.size(), 1);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(certificates);
    QSslConfiguration::setDefaultConfiguration(tls);

    // nginx's workers run as another user when it is started by root: what they serve must be
    // theirs to read.
    QVERIFY(QFile::setPermissions(
        dir.path(), QFile::permissions(dir.path()) | QFile::ReadOther | QFile::ExeOther));
    body = randomBytes(7, 300000);
    QVERIFY(writeFile(dir.filePath(QStringLiteral("root/7/data/file.bin")), body));
    for (int i = 0; i < SmallFiles; ++i)
        QVERIFY(writeFile(dir.filePath(QStringLiteral("root/7/files/small%1.bin").arg(i)),
                          smallFile(i)));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("logs"))));
    tlsPort = freePort();
    plainPort = freePort();
    QVERIFY(tlsPort != 0 && plainPort != 0 && tlsPort != plainPort);
    const QList<QPair<QString, QString>> limited = {
        {"ends after 7", "http2; keepalive_requests 7;"},
        {"TLS, ends after 7", "ssl http2; keepalive_requests 7;"},
        {"ends after 1", "http2; keepalive_requests 1;"},
        {"TLS, ends after 1", "ssl http2; keepalive_requests 1;"},
        {"one stream", "http2; http2_max_concurrent_streams 1;"},
        {"HTTP/1.1 only", ";"},
    };
    QString limitedServers;
    for (const auto &[name, listen] : limited) {
        quint16 port = 0;
        // Ports handed out by the probe are free until taken, but may repeat.
        for (int tries = 0; tries < 20
             && (port == 0 || port == tlsPort || port == plainPort
                 || limitedPorts.values().contains(port));
             ++tries)
            port = freePort();
        QVERIFY(port != 0);
        limitedPorts.insert(name, port);
        const qsizetype split = listen.indexOf(QLatin1Char(';'));
        limitedServers
            += QStringLiteral("    server {\n        listen 127.0.0.1:%1 %2;\n"
                              "        %3\n        root %4/root;\n    }\n")
                   .arg(port)
                   .arg(listen.left(split).trimmed(), listen.mid(split + 1).trimmed(), dir.path());
    }
    const QString conf = QStringLiteral(R"(daemon off;
worker_processes 1;
pid %1/nginx.pid;
error_log %1/logs/error.log;
events { worker_connections 1024; }
http {
    access_log %1/logs/access.log;
    client_body_temp_path %1/temp-body;
    proxy_temp_path %1/temp-proxy;
    fastcgi_temp_path %1/temp-fastcgi;
    uwsgi_temp_path %1/temp-uwsgi;
    scgi_temp_path %1/temp-scgi;
    server {
        listen 127.0.0.1:%2 ssl http2;
        listen 127.0.0.1:%3 http2;
        ssl_certificate %1/cert.pem;
        ssl_certificate_key %1/key.pem;
        root %1/root;
    }
    ssl_certificate %1/cert.pem;
    ssl_certificate_key %1/key.pem;
%4}
)")
                             .arg(dir.path())
                             .arg(tlsPort)
                             .arg(plainPort)
                             .arg(limitedServers);
    QVERIFY(writeFile(dir.filePath(QStringLiteral("nginx.conf")), conf.toUtf8()));
    nginx.setProcessChannelMode(QProcess::ForwardedChannels);
    nginx.start(nginxPath, {"-p", dir.path(), "-c", dir.filePath(QStringLiteral("nginx.conf"))});
    QVERIFY(nginx.waitForStarted(10000));
    QVERIFY2(QTest::qWaitFor(
                 [this] {
                     bool all = accepts(tlsPort) && accepts(plainPort);
                     for (const quint16 port : std::as_const(limitedPorts))
                         all = all && accepts(port);
                     return all;
                 },
                 10000),
             qPrintable(
                 QString::fromLocal8Bit(readAll(dir.filePath(QStringLiteral("logs/error.log"))))));
}

void TestHttp2Mirror::cleanupTestCase()
{
    nginx.terminate();
    if (!nginx.waitForFinished(5000)) {
        nginx.kill();
        nginx.waitForFinished(5000);
    }
}

void TestHttp2Mirror::downloadsOverHttp2_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("protocol");
    QTest::newRow("TLS, negotiated")
        << QStringLiteral("url=https://127.0.0.1:%1\n").arg(tlsPort) << "HTTP/2";
    QTest::newRow("plain, prior knowledge")
        << QStringLiteral("url=http://127.0.0.1:%1\nhttp2=prior\n").arg(plainPort) << "HTTP/2";
}

void TestHttp2Mirror::downloadsOverHttp2()
{
    QFETCH(QString, group);
    QFETCH(QString, protocol);

    FreshPaths paths;
    const QString ini = paths.write(QStringLiteral("mirrors.ini"),
                                    "[mirrors]\nsize=1\n1\\mirror=m\n[m]\n" + group.toUtf8());
    Mirrors pool;
    QVERIFY(pool.initDefault(ini, Version));
    QSignalSpy poolMessages(&pool, &Mirrors::message);
    QNetworkAccessManager manager;
    prepareForLoopback(manager);
    const QString target = paths.path(QStringLiteral("file.bin"));
    DownloadTaskSpecification task(&manager, &pool, QStringLiteral("data/file.bin"), target,
                                   body.size(), nullptr, 1.0);
    const TaskRun run = runTask(task);
    QVERIFY2(run.finished == 1, qPrintable(run.messages.join('\n')));
    QCOMPARE(readAll(target), body);
    QCOMPARE(signalTexts(poolMessages),
             QStringList(QStringLiteral("Mirror m answers over %1").arg(protocol)));
    QVERIFY(readAll(dir.filePath(QStringLiteral("logs/access.log"))).contains("HTTP/2.0"));
}

void TestHttp2Mirror::manyFilesShareTheConnection()
{
    FreshPaths paths;
    const QString ini = paths.write(
        QStringLiteral("mirrors.ini"),
        QStringLiteral("[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=https://127.0.0.1:%1\n")
            .arg(tlsPort)
            .toUtf8());
    Mirrors pool;
    QVERIFY(pool.initDefault(ini, Version));
    QNetworkAccessManager manager;
    prepareForLoopback(manager);
    Configuration configuration;
    configuration.tempDir = paths.path(QStringLiteral("session"));
    QVERIFY(QDir().mkpath(configuration.tempDir));
    QList<FileDownloadSpecification> downloads = smallFileDownloads();
    DownloadFileListTaskSpecification list(&downloads, &manager, &pool, &configuration, nullptr,
                                           1.0);
    // How many transfers were under way at once, seen whenever a file starts.
    int most = 0;
    connect(&list, &TaskSpecification::message, this, [&pool, &most] {
        int capacity = 0;
        int used = 0;
        pool.calcUseStats(capacity, used);
        most = qMax(most, used);
    });
    const TaskRun run = runTask(list);
    QVERIFY2(run.finished == 1, qPrintable(run.messages.join('\n')));
    for (int i = 0; i < SmallFiles; ++i)
        QCOMPARE(readAll(configuration.tempDir + QStringLiteral("/small%1.bin").arg(i)),
                 smallFile(i));
    // The mirror answered over HTTP/2, and more files than the 6 of HTTP/1.1 were fetched at
    // once, as streams of its connection.
    QCOMPARE(mirrorRecord(pool, QStringLiteral("m")).maxUses, FTPSiteAccessData::Http2Slots);
    QVERIFY2(most > configuration.streams, qPrintable(QString::number(most)));
}

// Servers end HTTP/2 connections when they like (nginx after 1000 requests by default), refuse
// streams beyond their limit, or speak no HTTP/2 at all where a group says "http2=prior". The
// streams a server never started are sent again over a new connection, and nobody is charged.
void TestHttp2Mirror::serverEndsConnections_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("expected");

    const QString plain = QStringLiteral("url=http://127.0.0.1:%1\nhttp2=prior\n");
    const QString tls = QStringLiteral("url=https://127.0.0.1:%1\n");
    QTest::newRow("ends after 7") << "ends after 7" << plain << "ended its connection";
    QTest::newRow("TLS, ends after 7") << "TLS, ends after 7" << tls << "ended its connection";
    QTest::newRow("ends after 1") << "ends after 1" << plain << "ended its connection";
    // A new TLS connection for every file: few at once, so that on a busy machine their
    // handshakes fit in the test's short ticks.
    QTest::newRow("TLS, ends after 1")
        << "TLS, ends after 1" << tls + QStringLiteral("slots=4\n") << "ended its connection";
    QTest::newRow("one stream at a time") << "one stream" << plain << "";
    QTest::newRow("HTTP/1.1 only, asked with prior knowledge")
        << "HTTP/1.1 only" << plain << "asking it over HTTP/1.1 for the rest of the run";
}

void TestHttp2Mirror::serverEndsConnections()
{
    QFETCH(QString, server);
    QFETCH(QString, group);
    QFETCH(QString, expected);

    FreshPaths paths;
    const QString ini
        = paths.write(QStringLiteral("mirrors.ini"),
                      "[mirrors]\nsize=1\n1\\mirror=m\n[m]\n"
                          + group.arg(limitedPorts.value(server)).toUtf8() + "retries=1\n");
    Mirrors pool;
    QVERIFY(pool.initDefault(ini, Version));
    QSignalSpy poolMessages(&pool, &Mirrors::message);
    QNetworkAccessManager manager;
    prepareForLoopback(manager);
    Configuration configuration;
    configuration.tempDir = paths.path(QStringLiteral("session"));
    QVERIFY(QDir().mkpath(configuration.tempDir));
    QList<FileDownloadSpecification> downloads = smallFileDownloads();
    DownloadFileListTaskSpecification list(&downloads, &manager, &pool, &configuration, nullptr,
                                           1.0);
    const TickedRun run = runTicking(list, {}, 3000);
    const QStringList lines = run.messages + signalTexts(poolMessages);
    const QString log = lines.join(QLatin1Char('\n'));
    // The lines that say what went wrong, without one line per file started.
    const QString said
        = QStringList(lines.filter(QRegularExpression(QStringLiteral("^(?!Downloading)"))))
              .join(QLatin1Char('\n'));
    QVERIFY2(run.finished, qPrintable(said));
    for (int i = 0; i < SmallFiles; ++i)
        QCOMPARE(readAll(configuration.tempDir + QStringLiteral("/small%1.bin").arg(i)),
                 smallFile(i));
    // With one retry, a single charge would be one short of dropping it: none is allowed.
    QCOMPARE(mirrorRecord(pool, QStringLiteral("m")).errorCount, 0);
    QVERIFY2(!log.contains(QLatin1String("timed out")), qPrintable(said));
    if (!expected.isEmpty())
        QVERIFY2(log.contains(expected), qPrintable(said));
}

QTEST_GUILESS_MAIN(TestHttp2Mirror)
#include "tst_http2mirror.moc"
