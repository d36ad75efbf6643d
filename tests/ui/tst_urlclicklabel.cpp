#include "ui/urlclicklabel.h"

#include <QDesktopServices>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

// The clickable picture label. The desktop's URL opener is replaced by a
// handler of this test for the web schemes, so nothing leaves the process.
class TestUrlClickLabel : public QObject
{
    Q_OBJECT

signals:
    void opened(const QUrl &url);

public slots:
    void open(const QUrl &url) { emit opened(url); }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void anyButtonOpensTheAddress_data();
    void anyButtonOpensTheAddress();
    void noAddressOpensNothing();
};

void TestUrlClickLabel::initTestCase()
{
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open");
}

void TestUrlClickLabel::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}

void TestUrlClickLabel::anyButtonOpensTheAddress_data()
{
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::newRow("left") << Qt::LeftButton;
    QTest::newRow("right") << Qt::RightButton;
    QTest::newRow("middle") << Qt::MiddleButton;
}

void TestUrlClickLabel::anyButtonOpensTheAddress()
{
    QFETCH(Qt::MouseButton, button);
    UrlClickLabel label;
    label.setUrl(QStringLiteral("https://www.example.com/offer"));
    label.show();
    QSignalSpy spy(this, &TestUrlClickLabel::opened);
    QTest::mousePress(&label, button);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toUrl(), QUrl(QStringLiteral("https://www.example.com/offer")));
}

void TestUrlClickLabel::noAddressOpensNothing()
{
    UrlClickLabel label;
    label.show();
    QSignalSpy spy(this, &TestUrlClickLabel::opened);
    QTest::mousePress(&label, Qt::LeftButton);
    QCOMPARE(spy.count(), 0);
}

QTEST_MAIN(TestUrlClickLabel)
#include "tst_urlclicklabel.moc"
