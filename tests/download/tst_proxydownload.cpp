#include "app/configuration.h"
#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "downloadsupport.h"
#include "engine/updateengine.h"
#include "httpmirror.h"
#include "testsupport.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

// Downloads through the engine's network access manager with the proxy from update.ini, against
// a real HTTP proxy (tinyproxy) on 127.0.0.1.
class TestProxyDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void downloadGoesThroughProxy();
    void proxyWithoutPortMeans3128();

private:
    static bool accepts(quint16 port);
    QByteArray proxyLog() const;

    QTemporaryDir tmp;
    QProcess proxy;
    quint16 proxyPort = 0;
};

void TestProxyDownload::initTestCase()
{
    QVERIFY(tmp.isValid());
    const QString program = QStandardPaths::findExecutable(
        QStringLiteral("tinyproxy"), {"/usr/bin", "/usr/sbin", "/usr/local/bin"});
    if (program.isEmpty())
        QSKIP("tinyproxy is not installed (scripts/install-deps.sh installs it)");

    // A port that was free a moment ago; the proxy takes it over.
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        proxyPort = probe.serverPort();
    }
    const QString config = tmp.filePath("tinyproxy.conf");
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("Port %1\n"
                              "Listen 127.0.0.1\n"
                              "Allow 127.0.0.1\n"
                              "LogFile \"%2\"\n"
                              "LogLevel Connect\n"
                              "Timeout 30\n"
                              "MaxClients 10\n")
                   .arg(proxyPort)
                   .arg(tmp.filePath("tinyproxy.log"))
                   .toUtf8());
    file.close();

    proxy.setProgram(program);
    proxy.setArguments({"-d", "-c", config});
    proxy.setProcessChannelMode(QProcess::MergedChannels);
    proxy.start();
    QVERIFY2(proxy.waitForStarted(5000), qPrintable(proxy.errorString()));
    QTRY_VERIFY2(accepts(proxyPort) || proxy.state() != QProcess::Running,
                 "tinyproxy does not accept connections");
    QVERIFY2(proxy.state() == QProcess::Running, proxy.readAll().constData());
}

void TestProxyDownload::cleanupTestCase()
{
    QFile::remove(Configuration::getSettingsFilePath());
    if (proxy.state() != QProcess::NotRunning) {
        proxy.terminate();
        if (!proxy.waitForFinished(5000)) {
            proxy.kill();
            proxy.waitForFinished(5000);
        }
    }
}

void TestProxyDownload::init()
{
    QFile::remove(Configuration::getSettingsFilePath());
}

bool TestProxyDownload::accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

QByteArray TestProxyDownload::proxyLog() const
{
    return readAll(tmp.filePath("tinyproxy.log"));
}

void TestProxyDownload::downloadGoesThroughProxy()
{
    QVERIFY(writeSettingsFile("[update]\nproxy=http://127.0.0.1:" + QByteArray::number(proxyPort)
                              + "\n"));
    Configuration configuration;
    UpdateEngine engine(configuration);
    QNetworkAccessManager *manager = engine.networkAccessManager();
    QCOMPARE(manager->proxy().type(), QNetworkProxy::HttpProxy);
    QCOMPARE(manager->proxy().port(), proxyPort);

    TestHttpMirror server;
    const QByteArray body(20000, 'p');
    server.setContent("3/via-proxy.bin", body);
    const QString mirrorsIni = tmp.filePath("mirrors.ini");
    QVERIFY(writeFile(mirrorsIni, mirrorsIniText({{"M", server.baseUrl(), {}}})));
    Mirrors pool;
    pool.initDefault(mirrorsIni, 3);

    const QString target = tmp.filePath("via-proxy.bin");
    DownloadTaskSpecification task(manager, &pool, "via-proxy.bin", target, body.size(), nullptr,
                                   1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QTRY_COMPARE(finished.count(), 1);

    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), body);
    QCOMPARE(server.requestCount("3/via-proxy.bin"), 1);
    // Only a proxy is asked for an absolute URL.
    const QByteArray request = "GET " + server.url("3/via-proxy.bin").toEncoded() + " HTTP/1.1";
    QTRY_VERIFY2(proxyLog().contains(request), proxyLog().constData());
}

void TestProxyDownload::proxyWithoutPortMeans3128()
{
    QVERIFY(writeSettingsFile("[update]\nproxy=http://127.0.0.1\n"));
    Configuration configuration;
    UpdateEngine engine(configuration);
    const QNetworkProxy proxySetting = engine.networkAccessManager()->proxy();
    QCOMPARE(proxySetting.type(), QNetworkProxy::HttpProxy);
    QCOMPARE(proxySetting.hostName(), QStringLiteral("127.0.0.1"));
    QCOMPARE(proxySetting.port(), quint16(3128));
}

QTEST_GUILESS_MAIN(TestProxyDownload)
#include "tst_proxydownload.moc"
