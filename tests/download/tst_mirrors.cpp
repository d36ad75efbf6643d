#include "download/mirrorconnection.h"
#include "download/mirrors.h"
#include "downloadsupport.h"
#include "testsupport.h"

#include <QFile>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

namespace {

const int Version = 42;

QStringList names(const Mirrors &pool)
{
    QStringList result;
    for (const FTPSiteAccessData &mirror : pool.mirrorList())
        result << mirror.name;
    return result;
}

// Charges errors until the mirror disappears; returns the errors it survived.
int errorsTolerated(Mirrors &pool, const QString &name)
{
    for (int errors = 0; errors < 100; ++errors) {
        pool.addMirrorError(name);
        if (pool.getMirrorIndex(name) < 0)
            return errors;
    }
    return -1;
}

} // namespace

class TestMirrors : public QObject
{
    Q_OBJECT

private slots:
    void readsListInOrder();
    void connectionPeerNames_data();
    void connectionPeerNames();
    void refusedRequestsOpenNewConnections();
    void retries_data();
    void retries();
    void slotsAndUrl_data();
    void slotsAndUrl();
    void optionalKeys_data();
    void optionalKeys();
    void protocolNotedOncePerMirror();
    void alphaMirror();
    void alphaMissing_data();
    void alphaMissing();
    void slotsRunOutUntilReleased();
    void weightsByFreeSlots_data();
    void weightsByFreeSlots();
    void fixedSeedRepeatsChoices();
    void emptyPoolReportedOnce();
    void lastMirrorDroppedReportedOnce();
    void duplicateNamesActOnFirst();
    void operationsAfterRemovalChangeNothing();
    void unnamedEntriesSkipped();

private:
    FreshPaths dir;
};

void TestMirrors::readsListInOrder()
{
    QVERIFY(dir.isValid());
    const QString path = writeMirrorsIni(dir,
                                         {{"zeta", "http://z.example/v", {}},
                                          {"alpha", "http://a.example/v", {}},
                                          {"mid", "http://m.example/v", {}}});
    // A group nobody lists is not a mirror.
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    file.write("\n[unlisted]\nurl=http://u.example/\n");
    file.close();

    Mirrors pool;
    QVERIFY(pool.initDefault(path, Version));
    QCOMPARE(names(pool), QStringList({"zeta", "alpha", "mid"}));
    for (const FTPSiteAccessData &mirror : pool.mirrorList()) {
        QCOMPARE(mirror.errorCount, 0);
        QCOMPARE(mirror.useCount, 0);
        QCOMPARE(mirror.timeoutTicks, 15);
    }
    QCOMPARE(pool.getMirrorIndex("mid"), 2);
    QCOMPARE(pool.getMirrorIndex("MID"), -1);

    // No file at all: the pool just stays empty.
    Mirrors none;
    QVERIFY(none.initDefault(dir.path("absent.ini"), Version));
    QVERIFY(none.mirrorList().isEmpty());
}

void TestMirrors::retries_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("tolerated");
    QTest::newRow("zero") << "0" << 5;
    QTest::newRow("negative") << "-2" << 5;
    QTest::newRow("text") << "abc" << 5;
    QTest::newRow("missing") << QString() << 5;
    QTest::newRow("beyond int") << "3000000000" << 5;
    QTest::newRow("one") << "1" << 1;
    QTest::newRow("seven") << "7" << 7;
}

void TestMirrors::retries()
{
    QFETCH(QString, value);
    QFETCH(int, tolerated);
    const QString path = writeMirrorsIni(dir, {{"m", "http://m.example/", value}});
    Mirrors pool;
    QVERIFY(pool.initDefault(path, Version));
    QCOMPARE(pool.mirrorList().at(0).retries, tolerated);

    QSignalSpy messages(&pool, &Mirrors::message);
    QCOMPARE(errorsTolerated(pool, "m"), tolerated);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QString("Mirror m failed too many times, removing"));
}

void TestMirrors::slotsAndUrl_data()
{
    QTest::addColumn<QString>("configured");
    QTest::addColumn<int>("maxUses");
    QTest::addColumn<QString>("url");
    QTest::newRow("http") << "http://h.example/files" << 3 << "http://h.example/files/42";
    QTest::newRow("https mixed case")
        << "HtTpS://h.example/files" << 3 << "HtTpS://h.example/files/42";
    QTest::newRow("trailing slash")
        << "http://h.example/files/" << 3 << "http://h.example/files/42";
    QTest::newRow("ftp") << "ftp://h.example/files" << 1 << "ftp://h.example/files/42";
    QTest::newRow("no scheme") << "h.example/files" << 1 << "h.example/files/42";
    QTest::newRow("no group") << QString() << 1 << "/42";
}

void TestMirrors::slotsAndUrl()
{
    QFETCH(QString, configured);
    QFETCH(int, maxUses);
    QFETCH(QString, url);
    QString path = writeMirrorsIni(dir, {{"m", configured, {}}});
    if (configured.isNull()) // the listed mirror has no group of its own
        path = dir.write("mirrors.ini", "[mirrors]\nsize=1\n1\\mirror=m\n");

    Mirrors pool;
    QVERIFY(pool.initDefault(path, Version));
    QCOMPARE(pool.mirrorList().size(), 1);
    const FTPSiteAccessData mirror = pool.mirrorList().at(0);
    QCOMPARE(mirror.maxUses, maxUses);
    QCOMPARE(mirror.url, url);
    QCOMPARE(mirror.retries, 5);
}

void TestMirrors::optionalKeys_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<int>("maxUses");
    QTest::addColumn<bool>("http2Direct");
    const QString http = QStringLiteral("http://h.example/files");
    QTest::newRow("none") << http << QByteArray() << 3 << false;
    QTest::newRow("slots") << http << QByteArray("slots=8\n") << 8 << false;
    QTest::newRow("slots for ftp")
        << "ftp://h.example/files" << QByteArray("slots=2\n") << 2 << false;
    QTest::newRow("most slots") << http << QByteArray("slots=64\n") << 64 << false;
    // Anything else means the default, as a missing key.
    QTest::newRow("too many slots") << http << QByteArray("slots=65\n") << 3 << false;
    QTest::newRow("no slots") << http << QByteArray("slots=0\n") << 3 << false;
    QTest::newRow("negative slots") << http << QByteArray("slots=-4\n") << 3 << false;
    QTest::newRow("slots not a number") << http << QByteArray("slots=many\n") << 3 << false;
    QTest::newRow("prior knowledge") << http << QByteArray("http2=prior\n") << 3 << true;
    QTest::newRow("other http2 value") << http << QByteArray("http2=yes\n") << 3 << false;
    QTest::newRow("both") << http << QByteArray("slots=16\nhttp2=prior\n") << 16 << true;
}

void TestMirrors::optionalKeys()
{
    QFETCH(QString, url);
    QFETCH(QByteArray, keys);
    QFETCH(int, maxUses);
    QFETCH(bool, http2Direct);
    const QString path = dir.write(
        "mirrors.ini", "[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=" + url.toUtf8() + "\n" + keys);
    Mirrors pool;
    QVERIFY(pool.initDefault(path, Version));
    QCOMPARE(pool.mirrorList().size(), 1);
    QCOMPARE(pool.mirrorList().at(0).maxUses, maxUses);
    QCOMPARE(pool.mirrorList().at(0).http2Direct, http2Direct);
    QCOMPARE(pool.mirrorList().at(0).retries, 5);
}

void TestMirrors::protocolNotedOncePerMirror()
{
    QByteArray text = mirrorsIniText({{"a", "http://a.example", {}},
                                      {"b", "http://b.example", {}},
                                      {"c", "https://c.example", {}}});
    text += "slots=5\n";
    const QString path = dir.write("mirrors.ini", text);
    Mirrors pool;
    QVERIFY(pool.initDefault(path, Version));
    QSignalSpy messages(&pool, &Mirrors::message);
    QSignalSpy http2Found(&pool, &Mirrors::http2Found);
    pool.noteProtocol(QStringLiteral("a"), false, 0);
    pool.noteProtocol(QStringLiteral("a"), true, 0);
    pool.noteProtocol(QStringLiteral("b"), true, 0);
    pool.noteProtocol(QStringLiteral("b"), true, 0);
    pool.noteProtocol(QStringLiteral("c"), true, 0);
    pool.noteProtocol(QStringLiteral("gone"), true, 0);
    QCOMPARE(signalTexts(messages),
             QStringList({"Mirror a answers over HTTP/1.1", "Mirror b answers over HTTP/2",
                          "Mirror c answers over HTTP/2"}));
    // The streams of one HTTP/2 connection, unless the group says how many.
    QCOMPARE(mirrorRecord(pool, "a").maxUses, 3);
    QCOMPARE(mirrorRecord(pool, "b").maxUses, FTPSiteAccessData::Http2Slots);
    QCOMPARE(mirrorRecord(pool, "c").maxUses, 5);
    QCOMPARE(http2Found.count(), 2);
}

void TestMirrors::alphaMirror()
{
    const QString path = dir.write("update.ini", "[Channel]\nalpha=http://alpha.example/builds/\n");
    Mirrors pool;
    QSignalSpy fatal(&pool, &Mirrors::fatalError);
    QVERIFY(pool.initAlpha(path, 7));
    QCOMPARE(fatal.count(), 0);
    QCOMPARE(pool.mirrorList().size(), 1);
    const FTPSiteAccessData mirror = pool.mirrorList().at(0);
    QCOMPARE(mirror.name, QString("Alpha Channel"));
    QCOMPARE(mirror.url, QString("http://alpha.example/builds/7"));
    QCOMPARE(mirror.maxUses, 1);
    QCOMPARE(errorsTolerated(pool, "Alpha Channel"), 4);
}

void TestMirrors::alphaMissing_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::newRow("no key") << QByteArray("[Channel]\nbeta=http://b.example/\n");
    QTest::newRow("empty key") << QByteArray("[Channel]\nalpha=\n");
    QTest::newRow("other group") << QByteArray("[update]\nalpha=http://a.example/\n");
}

void TestMirrors::alphaMissing()
{
    QFETCH(QByteArray, contents);
    const QString path = dir.write("update.ini", contents);
    Mirrors pool;
    QSignalSpy fatal(&pool, &Mirrors::fatalError);
    QVERIFY(!pool.initAlpha(path, 7));
    QCOMPARE(fatal.count(), 1);
    QCOMPARE(fatal.at(0).at(0).toString(),
             QString("alpha parameter in channel section in update ini file not found"));
    QVERIFY(pool.mirrorList().isEmpty());
}

void TestMirrors::slotsRunOutUntilReleased()
{
    const QString path = writeMirrorsIni(dir, {{"m", "http://m.example/", {}}});
    Mirrors pool;
    pool.initDefault(path, Version);

    for (int use = 1; use <= 3; ++use) {
        FTPSiteAccessData mirror;
        QCOMPARE(pool.getRandomMirror(mirror), int(Mirrors::MirrorAssigned));
        QCOMPARE(mirror.name, QString("m"));
        QCOMPARE(mirror.useCount, use);
    }
    int capacity = -1;
    int used = -1;
    pool.calcUseStats(capacity, used);
    QCOMPARE(capacity, 3);
    QCOMPARE(used, 3);

    FTPSiteAccessData untouched;
    untouched.name = "mine";
    for (int attempt = 0; attempt < 3; ++attempt)
        QCOMPARE(pool.getRandomMirror(untouched), int(Mirrors::AllMirrorsBusy));
    QCOMPARE(untouched.name, QString("mine"));
    QCOMPARE(untouched.useCount, 0);

    pool.releaseMirror("m");
    QCOMPARE(pool.getRandomMirror(untouched), int(Mirrors::MirrorAssigned));
    QCOMPARE(untouched.name, QString("m"));
    QCOMPARE(pool.getRandomMirror(untouched), int(Mirrors::AllMirrorsBusy));
}

void TestMirrors::weightsByFreeSlots_data()
{
    QTest::addColumn<int>("heldOnA");
    QTest::addColumn<double>("expectedShareOfA");
    QTest::newRow("3:1") << 0 << 0.75;
    QTest::newRow("1:1") << 2 << 0.5;
    QTest::newRow("0:1") << 3 << 0.0;
}

void TestMirrors::weightsByFreeSlots()
{
    QFETCH(int, heldOnA);
    QFETCH(double, expectedShareOfA);
    const QString path
        = writeMirrorsIni(dir, {{"A", "http://a.example/", {}}, {"B", "ftp://b.example/", {}}});
    Mirrors pool;
    pool.initDefault(path, Version);
    pool.seed(20240611);

    // Hold slots of A; B's single slot stays free and is given back after each draw.
    for (int held = 0; held < heldOnA;) {
        FTPSiteAccessData mirror;
        QCOMPARE(pool.getRandomMirror(mirror), int(Mirrors::MirrorAssigned));
        if (mirror.name == "A")
            ++held;
        else
            pool.releaseMirror(mirror.name);
    }

    const int draws = 20000;
    int chosenA = 0;
    for (int i = 0; i < draws; ++i) {
        FTPSiteAccessData mirror;
        QCOMPARE(pool.getRandomMirror(mirror), int(Mirrors::MirrorAssigned));
        if (mirror.name == "A")
            ++chosenA;
        pool.releaseMirror(mirror.name);
    }
    const double share = double(chosenA) / draws;
    QVERIFY2(qAbs(share - expectedShareOfA) < 0.02, qPrintable(QString::number(share)));
}

void TestMirrors::fixedSeedRepeatsChoices()
{
    const QString path
        = writeMirrorsIni(dir, {{"A", "http://a.example/", {}}, {"B", "http://b.example/", {}}});
    auto drawSequence = [&path](quint32 seed) {
        Mirrors pool;
        pool.initDefault(path, Version);
        pool.seed(seed);
        QStringList sequence;
        for (int i = 0; i < 64; ++i) {
            FTPSiteAccessData mirror;
            pool.getRandomMirror(mirror);
            sequence << mirror.name;
            pool.releaseMirror(mirror.name);
        }
        return sequence;
    };
    QCOMPARE(drawSequence(1), drawSequence(1));
    QVERIFY(drawSequence(1) != drawSequence(2));
}

void TestMirrors::emptyPoolReportedOnce()
{
    const QString path = dir.write("mirrors.ini", "[mirrors]\nsize=0\n");
    Mirrors pool;
    pool.initDefault(path, Version);
    QSignalSpy messages(&pool, &Mirrors::message);

    FTPSiteAccessData mirror;
    mirror.name = "kept";
    for (int request = 0; request < 5; ++request)
        QCOMPARE(pool.getRandomMirror(mirror), int(Mirrors::NoMirrorLeft));
    QCOMPARE(mirror.name, QString("kept"));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QString("There are no (more) known working mirrors available"));
}

void TestMirrors::lastMirrorDroppedReportedOnce()
{
    const QString path
        = writeMirrorsIni(dir, {{"A", "http://a.example/", "1"}, {"B", "http://b.example/", {}}});
    Mirrors pool;
    pool.initDefault(path, Version);
    QSignalSpy messages(&pool, &Mirrors::message);

    FTPSiteAccessData mirror;
    QCOMPARE(pool.getRandomMirror(mirror), int(Mirrors::MirrorAssigned));
    pool.addMirrorError("A");
    pool.addMirrorError("A");
    pool.removeMirror("B");
    QCOMPARE(messages.count(), 1); // only A's drop; a removal is silent
    for (int request = 0; request < 4; ++request)
        QCOMPARE(pool.getRandomMirror(mirror), int(Mirrors::NoMirrorLeft));
    QCOMPARE(messages.count(), 2);
    QCOMPARE(messages.at(1).at(0).toString(),
             QString("There are no (more) known working mirrors available"));
}

void TestMirrors::duplicateNamesActOnFirst()
{
    const QString path = dir.write("mirrors.ini",
                                   "[mirrors]\nsize=3\n1\\mirror=A\n2\\mirror=B\n3\\mirror=A\n"
                                   "[A]\nurl=http://a.example/\nretries=1\n"
                                   "[B]\nurl=http://b.example/\n");
    Mirrors pool;
    pool.initDefault(path, Version);
    QCOMPARE(names(pool), QStringList({"A", "B", "A"}));
    QCOMPARE(pool.getMirrorIndex("A"), 0);

    pool.releaseMirror("A");
    QCOMPARE(pool.mirrorList().at(0).useCount, -1);
    QCOMPARE(pool.mirrorList().at(2).useCount, 0);

    pool.addMirrorError("A");
    QCOMPARE(pool.mirrorList().at(0).errorCount, 1);
    QCOMPARE(pool.mirrorList().at(2).errorCount, 0);

    pool.addMirrorError("A"); // second error on the first entry drops it alone
    QCOMPARE(names(pool), QStringList({"B", "A"}));
    QCOMPARE(pool.mirrorList().at(1).errorCount, 0);

    pool.removeMirror("A");
    QCOMPARE(names(pool), QStringList({"B"}));
}

void TestMirrors::operationsAfterRemovalChangeNothing()
{
    // One slot each, so two downloads hold one of each.
    const QString path
        = writeMirrorsIni(dir, {{"A", "ftp://a.example/", "1"}, {"B", "ftp://b.example/", "1"}});
    Mirrors pool;
    pool.initDefault(path, Version);
    FTPSiteAccessData first;
    FTPSiteAccessData second;
    QCOMPARE(pool.getRandomMirror(first), int(Mirrors::MirrorAssigned));
    QCOMPARE(pool.getRandomMirror(second), int(Mirrors::MirrorAssigned));
    const FTPSiteAccessData &dropped = first.name == "A" ? first : second;
    QCOMPARE(dropped.name, QString("A"));
    pool.addMirrorError("B");

    pool.removeMirror("A");
    QSignalSpy messages(&pool, &Mirrors::message);
    for (int i = 0; i < 3; ++i) {
        pool.releaseMirror(dropped.name);
        pool.addMirrorError(dropped.name);
        pool.removeMirror(dropped.name);
    }
    QCOMPARE(messages.count(), 0);
    QCOMPARE(names(pool), QStringList({"B"}));
    QCOMPARE(pool.mirrorList().at(0).useCount, 1);
    QCOMPARE(pool.mirrorList().at(0).errorCount, 1);
    FTPSiteAccessData none;
    QCOMPARE(pool.getRandomMirror(none), int(Mirrors::AllMirrorsBusy));
}

void TestMirrors::unnamedEntriesSkipped()
{
    // An entry without a name has no group, and "" is what a download holding no mirror
    // gives back: such an entry would lose slots to strangers.
    const QString path = dir.write("mirrors.ini",
                                   "[mirrors]\nsize=3\n1\\mirror=A\n3\\mirror=B\n"
                                   "[A]\nurl=http://a.example/\n[B]\nurl=http://b.example/\n");
    Mirrors pool;
    pool.initDefault(path, Version);
    QCOMPARE(names(pool), QStringList({"A", "B"}));
    pool.releaseMirror(QString());
    pool.addMirrorError(QString());
    int capacity = 0;
    int used = -1;
    pool.calcUseStats(capacity, used);
    QCOMPARE(capacity, 6);
    QCOMPARE(used, 0);
}

// Each connection number names the host another way: a new connection for the network stack,
// the same host for the certificate check.
void TestMirrors::connectionPeerNames_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("plain HTTP") << "http://mirror.example.com:8080/7";
    QTest::newRow("HTTPS by name") << "https://mirror.example.com/7";
    QTest::newRow("HTTPS by IPv4 address") << "https://192.168.10.20:8443/7";
    QTest::newRow("HTTPS by IPv6 address") << "https://[2001:db8::1]/7";
}

void TestMirrors::connectionPeerNames()
{
    QFETCH(QString, url);
    const QUrl parsed(url);
    QVERIFY(MirrorConnection::peerName(parsed, 0).isEmpty());
    QSet<QString> seen;
    for (int number = 1; number <= 8; ++number) {
        const QString name = MirrorConnection::peerName(parsed, number);
        QVERIFY2(!name.isEmpty() && !seen.contains(name), qPrintable(name));
        seen.insert(name);
        if (parsed.scheme() != QLatin1String("https"))
            continue;
        const QHostAddress address(parsed.host());
        if (address.isNull())
            QCOMPARE(name.toLower(), parsed.host().toLower());
        else
            QCOMPARE(QHostAddress(name), address);
    }
}

// A server that ends its connections after so many requests: the refusals it sends are free,
// its connection is replaced once, and the answers it gave become the count after which later
// connections are replaced before it ends them. Only refusals without any answer are charged.
void TestMirrors::refusedRequestsOpenNewConnections()
{
    const QString path = dir.write("mirrors.ini", mirrorsIniText({{"a", "http://a.example", {}}}));
    Mirrors pool;
    QVERIFY(pool.initDefault(path, Version));
    QSignalSpy messages(&pool, &Mirrors::message);
    FTPSiteAccessData first;
    FTPSiteAccessData second;
    QCOMPARE(pool.getRandomMirror(first), int(Mirrors::MirrorAssigned));
    QCOMPARE(pool.getRandomMirror(second), int(Mirrors::MirrorAssigned));
    QCOMPARE(first.connection, 0);
    pool.noteProtocol(QStringLiteral("a"), true, 0);
    pool.noteProtocol(QStringLiteral("a"), true, 0);
    // Both refusals report the same end: one new connection, nothing charged.
    QVERIFY(!pool.requestRefused(first, true));
    QVERIFY(!pool.requestRefused(second, true));
    QCOMPARE(mirrorRecord(pool, "a").connection, 1);
    QCOMPARE(mirrorRecord(pool, "a").errorCount, 0);
    QCOMPARE(signalTexts(messages).count("Mirror a ended its connection, going on over a new one"),
             1);
    // An answer over the ended connection noted late still counts for it.
    pool.noteProtocol(QStringLiteral("a"), true, 0);
    QCOMPARE(mirrorRecord(pool, "a").connectionLimit, 3);
    pool.releaseMirror(QStringLiteral("a"));
    pool.releaseMirror(QStringLiteral("a"));
    QList<int> connections;
    for (int i = 0; i < 6; ++i) {
        FTPSiteAccessData handed;
        QCOMPARE(pool.getRandomMirror(handed), int(Mirrors::MirrorAssigned));
        connections << handed.connection;
        pool.releaseMirror(QStringLiteral("a"));
    }
    QCOMPARE(connections, QList<int>({1, 1, 1, 2, 2, 2}));
    // Refusals on the current connection without a single answer between them look like a
    // server that refuses everything: charged once they pass twice its slots.
    FTPSiteAccessData current = mirrorRecord(pool, "a");
    int charged = 0;
    for (int i = 0; i < 2 * current.maxUses + 1; ++i)
        charged += pool.requestRefused(current, false) ? 1 : 0;
    QCOMPARE(charged, 1);
    QCOMPARE(mirrorRecord(pool, "a").errorCount, 1);
    // Never for a connection replaced since.
    current.connection = 0;
    for (int i = 0; i < 4 * current.maxUses; ++i)
        QVERIFY(!pool.requestRefused(current, true));
}

QTEST_GUILESS_MAIN(TestMirrors)
#include "tst_mirrors.moc"
