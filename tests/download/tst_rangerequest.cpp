#include "byterangeanswer.h"
#include "download/rangerequest.h"

#include <QTest>

// What an answer to a request for the rest of a file means for the bytes kept, whatever legal
// form its Content-Range takes.
class TestRangeRequest : public QObject
{
    Q_OBJECT

private slots:
    void resumeTakesEveryContentRangeForm_data();
    void resumeTakesEveryContentRangeForm();
    void answers_data();
    void answers();
};

namespace {

const qint64 Size = 1000;

} // namespace

Q_DECLARE_METATYPE(RangeRequest::AnswerUse)

void TestRangeRequest::resumeTakesEveryContentRangeForm_data()
{
    QTest::addColumn<QByteArray>("form");
    QTest::addColumn<bool>("legal");
    for (const ByteRangeAnswer::Form &form : ByteRangeAnswer::contentRangeForms())
        QTest::newRow(form.name) << form.form << form.legal;
}

void TestRangeRequest::resumeTakesEveryContentRangeForm()
{
    QFETCH(QByteArray, form);
    QFETCH(bool, legal);

    // The rest of the file from byte 600 on.
    const QByteArray contentRange = ByteRangeAnswer::contentRange(form, 600, Size - 1, Size);
    QCOMPARE(RangeRequest::judge(206, contentRange, 600, Size),
             legal ? RangeRequest::AppendToFile : RangeRequest::RestartFromZero);
    RangeRequest::ContentRange part;
    QCOMPARE(RangeRequest::readContentRange(contentRange, Size, &part), legal);
    if (legal) {
        QCOMPARE(part.first, 600);
        QCOMPARE(part.last, Size - 1);
    }
}

void TestRangeRequest::answers_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<RangeRequest::AnswerUse>("use");

    using R = RangeRequest;
    QTest::newRow("the whole file instead") << 200 << QByteArray() << R::TakeWhole;
    QTest::newRow("past the end") << 416 << QByteArray("bytes */1000") << R::RestartFromZero;
    QTest::newRow("another start") << 206 << QByteArray("bytes 0-999/1000") << R::RestartFromZero;
    QTest::newRow("stops short") << 206 << QByteArray("bytes 600-998/*") << R::RestartFromZero;
    QTest::newRow("numbers beyond 64 bits")
        << 206 << QByteArray("bytes 600-99999999999999999999/1000") << R::RestartFromZero;
    QTest::newRow("server error") << 500 << QByteArray() << R::BrokenMirror;
}

void TestRangeRequest::answers()
{
    QFETCH(int, status);
    QFETCH(QByteArray, contentRange);
    QFETCH(RangeRequest::AnswerUse, use);
    QCOMPARE(RangeRequest::judge(status, contentRange, 600, Size), use);
}

QTEST_GUILESS_MAIN(TestRangeRequest)
#include "tst_rangerequest.moc"
