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
};

namespace {

const qint64 Size = 1000;

} // namespace

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

QTEST_GUILESS_MAIN(TestRangeRequest)
#include "tst_rangerequest.moc"
