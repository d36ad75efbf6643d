#include "downloadsupport.h"
#include "httpmirror.h"
#include "testsupport.h"

#include <QAuthenticator>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const int WaitMs = 10000;

// One GET with everything the reply delivered, collected as it arrives.
struct Fetch
{
    std::unique_ptr<QNetworkReply> reply;
    QByteArray body;
    int readyReads = 0;
    bool finishedBeforeFirstData = false;
    qint64 firstChunkSize = -1;
    QList<qint64> progressTotals;
    bool finished = false;
};

} // namespace

class TestHttpMirrorServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void servesFilesAndMemory();
    void confinedToRoot();
    void statusCodes();
    void authenticationChallenge();
    void stallKeepsConnectionOpen();
    void truncatedBodyCloses();
    void noContentLengthEndsAtClose();
    void trickleArrivesInPieces();
    void overlongBodyIsCutByClient();
    void faultForFirstRequestsOnly();

private:
    std::unique_ptr<Fetch> get(const QString &path);
    bool waitFinished(Fetch &fetch);
    QByteArray rawRequest(const QByteArray &request);

    QNetworkAccessManager manager;
    std::unique_ptr<TestHttpMirror> mirror;
    std::unique_ptr<QTemporaryDir> root;
};

void TestHttpMirrorServer::init()
{
    prepareForLoopback(manager);
    root = std::make_unique<QTemporaryDir>();
    QVERIFY(root->isValid());
    mirror = std::make_unique<TestHttpMirror>();
    QVERIFY(mirror->isListening());
    mirror->setRootPath(root->path());
    QVERIFY(QDir(root->path()).mkpath("42"));
    QFile file(root->filePath("42/file.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(pattern(1000)), qint64(1000));
}

std::unique_ptr<Fetch> TestHttpMirrorServer::get(const QString &path)
{
    auto fetch = std::make_unique<Fetch>();
    Fetch *f = fetch.get();
    f->reply.reset(manager.get(QNetworkRequest(mirror->url(path))));
    QNetworkReply *reply = f->reply.get();
    connect(reply, &QNetworkReply::readyRead, reply, [f, reply] {
        const QByteArray chunk = reply->readAll();
        if (f->readyReads++ == 0) {
            f->finishedBeforeFirstData = reply->isFinished();
            f->firstChunkSize = chunk.size();
        }
        f->body += chunk;
    });
    connect(reply, &QNetworkReply::downloadProgress, reply,
            [f](qint64, qint64 total) { f->progressTotals << total; });
    connect(reply, &QNetworkReply::finished, reply, [f, reply] {
        if (reply->isOpen())
            f->body += reply->readAll();
        f->finished = true;
    });
    return fetch;
}

bool TestHttpMirrorServer::waitFinished(Fetch &fetch)
{
    return QTest::qWaitFor([&fetch] { return fetch.finished; }, WaitMs);
}

// For what a URL cannot carry: a path that climbs out of the root, another method.
QByteArray TestHttpMirrorServer::rawRequest(const QByteArray &request)
{
    QTcpSocket socket;
    QByteArray answer;
    connect(&socket, &QTcpSocket::readyRead, &socket, [&] { answer += socket.readAll(); });
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    socket.connectToHost(QHostAddress::LocalHost, mirror->port());
    socket.write(request);
    if (!closed.wait(WaitMs))
        return QByteArray();
    return answer + socket.readAll();
}

void TestHttpMirrorServer::servesFilesAndMemory()
{
    auto file = get("42/file.bin");
    QVERIFY(waitFinished(*file));
    QCOMPARE(file->reply->error(), QNetworkReply::NoError);
    QCOMPARE(file->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    QCOMPARE(file->reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(), 1000);
    QCOMPARE(file->body, pattern(1000));

    mirror->setContent("/42/file.bin", "from memory");
    mirror->setContent("only/in/memory.txt", "bytes");
    auto overridden = get("42/file.bin");
    auto memory = get("only/in/memory.txt");
    auto missing = get("42/nothing.bin");
    QVERIFY(waitFinished(*overridden) && waitFinished(*memory) && waitFinished(*missing));
    QCOMPARE(overridden->body, QByteArray("from memory"));
    QCOMPARE(memory->body, QByteArray("bytes"));
    QCOMPARE(missing->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);

    QCOMPARE(mirror->requestCount("42/file.bin"), 2);
    QCOMPARE(mirror->requestCount("/only/in/memory.txt"), 1);
    QCOMPARE(mirror->totalRequestCount(), 4);
    QCOMPARE(mirror->bodyBytesSent("42/file.bin"), qint64(1000 + 11));
    QTRY_COMPARE_WITH_TIMEOUT(mirror->openConnectionCount(), 0, WaitMs);
}

void TestHttpMirrorServer::confinedToRoot()
{
    QTemporaryDir outside;
    QFile secret(outside.filePath("secret"));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("secret");
    secret.close();
    const QString climb = QDir(root->path()).relativeFilePath(secret.fileName());
    QVERIFY(climb.startsWith(".."));

    const QByteArray escaped = rawRequest("GET /" + climb.toUtf8() + " HTTP/1.1\r\n\r\n");
    QVERIFY2(escaped.startsWith("HTTP/1.1 404 "), escaped.constData());
    QVERIFY(!escaped.contains("secret"));

    QVERIFY(rawRequest("GET /42 HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 404 "));
    const QByteArray post = rawRequest("POST /42/file.bin HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    QVERIFY2(post.startsWith("HTTP/1.1 405 "), post.constData());
}

void TestHttpMirrorServer::statusCodes()
{
    mirror->setFault("42/file.bin", TestHttpMirror::Fault::redirect("http://elsewhere.invalid/x"));
    mirror->setFault("42/gone.bin", TestHttpMirror::Fault::status(404));
    mirror->setFault("42/broken.bin", TestHttpMirror::Fault::status(500));
    auto redirected = get("42/file.bin");
    auto gone = get("42/gone.bin");
    auto broken = get("42/broken.bin");
    QVERIFY(waitFinished(*redirected) && waitFinished(*gone) && waitFinished(*broken));

    // Not followed: the 302 itself is the answer.
    QCOMPARE(redirected->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 302);
    QCOMPARE(redirected->reply->header(QNetworkRequest::LocationHeader).toUrl(),
             QUrl("http://elsewhere.invalid/x"));
    QVERIFY(redirected->reply->attribute(QNetworkRequest::RedirectionTargetAttribute).isValid());
    QCOMPARE(gone->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
    QCOMPARE(gone->reply->error(), QNetworkReply::ContentNotFoundError);
    QCOMPARE(broken->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 500);
    QCOMPARE(mirror->requestCount("42/file.bin"), 1);
}

void TestHttpMirrorServer::authenticationChallenge()
{
    mirror->setFault("42/file.bin", TestHttpMirror::Fault::authenticationRequired("mirror"));
    QStringList realms;
    const auto connection = connect(&manager, &QNetworkAccessManager::authenticationRequired, this,
                                    [&realms](QNetworkReply *, QAuthenticator *authenticator) {
                                        realms << authenticator->realm();
                                    });
    auto fetch = get("42/file.bin");
    QVERIFY(waitFinished(*fetch));
    disconnect(connection);
    QCOMPARE(realms, QStringList("mirror"));
    QCOMPARE(fetch->reply->error(), QNetworkReply::AuthenticationRequiredError);
    QCOMPARE(int(fetch->reply->error()), 204);
    QCOMPARE(fetch->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 401);
}

void TestHttpMirrorServer::stallKeepsConnectionOpen()
{
    mirror->setFault("42/file.bin", TestHttpMirror::Fault::stall(300));
    auto stalled = get("42/file.bin");
    QTRY_COMPARE_WITH_TIMEOUT(stalled->body.size(), 300, WaitMs);
    QCOMPARE(stalled->reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(), 1000);

    // A complete exchange on another connection: the stalled one has had every chance to move.
    mirror->setContent("other", "x");
    auto other = get("other");
    QVERIFY(waitFinished(*other));
    QVERIFY(!stalled->finished);
    QCOMPARE(stalled->body, pattern(300));
    QCOMPARE(mirror->bodyBytesSent("42/file.bin"), qint64(300));
    QTRY_COMPARE_WITH_TIMEOUT(mirror->openConnectionCount(), 1, WaitMs);

    mirror->resumeStalled("42/file.bin");
    QVERIFY(waitFinished(*stalled));
    QCOMPARE(stalled->reply->error(), QNetworkReply::NoError);
    QCOMPARE(stalled->body, pattern(1000));

    // A client giving up on a stalled transfer closes the connection on the server too.
    auto abandoned = get("42/file.bin");
    QTRY_COMPARE_WITH_TIMEOUT(abandoned->body.size(), 300, WaitMs);
    QCOMPARE(mirror->openConnectionCount(), 1);
    abandoned->reply->abort();
    QTRY_COMPARE_WITH_TIMEOUT(mirror->openConnectionCount(), 0, WaitMs);
}

void TestHttpMirrorServer::truncatedBodyCloses()
{
    mirror->setFault("42/file.bin", TestHttpMirror::Fault::truncate(400));
    auto fetch = get("42/file.bin");
    QVERIFY(waitFinished(*fetch));
    QCOMPARE(fetch->reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(), 1000);
    QVERIFY(fetch->reply->error() != QNetworkReply::NoError);
    QCOMPARE(fetch->body, pattern(400));
    QCOMPARE(mirror->bodyBytesSent("42/file.bin"), qint64(400));
}

void TestHttpMirrorServer::noContentLengthEndsAtClose()
{
    // Trickled, so that the client reports progress before the end, when it knows the size.
    TestHttpMirror::Fault fault = TestHttpMirror::Fault::noContentLength();
    fault.trickleBytes = 250;
    fault.trickleIntervalMs = 20;
    mirror->setFault("42/file.bin", fault);
    auto fetch = get("42/file.bin");
    QVERIFY(waitFinished(*fetch));
    QCOMPARE(fetch->reply->error(), QNetworkReply::NoError);
    QVERIFY(!fetch->reply->header(QNetworkRequest::ContentLengthHeader).isValid());
    QCOMPARE(fetch->body, pattern(1000));
    QVERIFY(fetch->progressTotals.size() >= 2);
    QCOMPARE(fetch->progressTotals.first(), qint64(-1));
}

void TestHttpMirrorServer::trickleArrivesInPieces()
{
    // Pieces 20 ms apart: the first one cannot arrive together with the end.
    mirror->setFault("42/file.bin", TestHttpMirror::Fault::trickle(250, 20));
    auto fetch = get("42/file.bin");
    QVERIFY(waitFinished(*fetch));
    QCOMPARE(fetch->reply->error(), QNetworkReply::NoError);
    QCOMPARE(fetch->body, pattern(1000));
    QVERIFY(!fetch->finishedBeforeFirstData);
    QVERIFY(fetch->firstChunkSize > 0 && fetch->firstChunkSize < 1000);
    QVERIFY(fetch->readyReads >= 2);
}

void TestHttpMirrorServer::overlongBodyIsCutByClient()
{
    mirror->setFault("42/file.bin", TestHttpMirror::Fault::overlong(50));
    auto fetch = get("42/file.bin");
    QVERIFY(waitFinished(*fetch));
    QCOMPARE(fetch->reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(), 1000);
    QCOMPARE(fetch->body, pattern(1000));
    QCOMPARE(mirror->bodyBytesSent("42/file.bin"), qint64(1050));
}

void TestHttpMirrorServer::faultForFirstRequestsOnly()
{
    QSignalSpy requests(mirror.get(), &TestHttpMirror::requestReceived);
    mirror->setFault("42/file.bin", TestHttpMirror::Fault::status(404).times(2));
    QList<int> statuses;
    for (int i = 0; i < 3; ++i) {
        auto fetch = get("42/file.bin");
        QVERIFY(waitFinished(*fetch));
        statuses << fetch->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }
    QCOMPARE(statuses, QList<int>({404, 404, 200}));
    QCOMPARE(requests.count(), 3);
    QCOMPARE(requests.at(0).at(0).toString(), QString("42/file.bin"));
    QCOMPARE(mirror->requestLog(), QStringList(3, "42/file.bin"));
}

QTEST_GUILESS_MAIN(TestHttpMirrorServer)
#include "tst_httpmirror.moc"
