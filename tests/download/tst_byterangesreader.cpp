#include "byterangeanswer.h"
#include "download/byterangesreader.h"

#include <QMap>
#include <QTest>

// The body of a multipart/byteranges answer read as it arrives, whole and a byte at a time:
// the bytes of each part at their offsets, or the reason the body is refused.
class TestByteRangesReader : public QObject
{
    Q_OBJECT

private slots:
    void boundary_data();
    void boundary();
    void body_data();
    void body();
    void everyContentRangeForm_data();
    void everyContentRangeForm();
};

namespace {

// Parts as "OFFSET:BYTES" in the order they arrived, bytes of one part joined.
QString read(const QByteArray &body, qint64 fileSize, qsizetype step, bool *complete,
             QString *error)
{
    QMap<qint64, QByteArray> parts;
    qint64 last = -1;
    ByteRangesReader reader("XB", fileSize, [&](qint64 offset, QByteArrayView bytes) {
        // A part continues where its previous piece ended.
        if (last >= 0 && offset == last)
            parts.last().append(bytes.toByteArray());
        else
            parts.insert(offset, bytes.toByteArray());
        last = offset + bytes.size();
        return true;
    });
    for (qsizetype i = 0; i < body.size(); i += step)
        reader.feed(QByteArrayView(body).sliced(i, qMin(step, body.size() - i)));
    *complete = reader.isComplete();
    *error = reader.error();
    QStringList out;
    for (auto it = parts.cbegin(); it != parts.cend(); ++it)
        out.append(QString::number(it.key()) + QLatin1Char(':') + QString::fromLatin1(it.value()));
    return out.join(QLatin1Char(' '));
}

QByteArray part(const char *range, const QByteArray &bytes)
{
    return QByteArray("--XB\r\nContent-Type: application/octet-stream\r\nContent-Range: bytes ")
        + range + "\r\n\r\n" + bytes + "\r\n";
}

} // namespace

void TestByteRangesReader::boundary_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("boundary");

    QTest::newRow("plain") << QByteArray("multipart/byteranges; boundary=3d6b6a416f9b5")
                           << QByteArray("3d6b6a416f9b5");
    QTest::newRow("quoted") << QByteArray("Multipart/Byteranges; boundary=\"a b\"")
                            << QByteArray("a b");
    QTest::newRow("another type") << QByteArray("text/html; boundary=x") << QByteArray();
    QTest::newRow("no boundary") << QByteArray("multipart/byteranges") << QByteArray();
}

void TestByteRangesReader::boundary()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, boundary);
    QCOMPARE(ByteRangesReader::boundaryOf(contentType), boundary);
}

void TestByteRangesReader::body_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("parts");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QString>("error");

    const QByteArray two = part("0-3/100", "abcd") + part("50-52/100", "xyz") + "--XB--\r\n";
    QTest::newRow("two parts") << two << "0:abcd 50:xyz" << true << QString();
    QTest::newRow("preamble, padding, epilogue, unknown total") << QByteArray(
        "preamble\r\n--XB  \r\nContent-Range: bytes 10-11/*\r\n\r\n\r\n\r\n--XB--"
        "\r\nafter") << "10:\r\n" << true << QString();
    QTest::newRow("bytes that look like a boundary") << part("0-5/100", "--XB--") + "--XB--\r\n"
                                                     << "0:--XB--" << true << QString();
    QTest::newRow("line ends without CR")
        << QByteArray("--XB\nContent-Range: bytes 1-2/100\n\nhi\n--XB--\n") << "1:hi" << true
        << QString();
    QTest::newRow("ends inside a part")
        << two.left(two.indexOf("xyz") + 1) << "0:abcd 50:x" << false << QString();
    QTest::newRow("part without its range")
        << QByteArray("--XB\r\nContent-Type: x\r\n\r\nabcd\r\n--XB--\r\n") << QString() << false
        << "does not name its range";
    QTest::newRow("range outside the file")
        << part("98-101/100", "abcd") + "--XB--\r\n"
        << QString() << false << "range \"bytes 98-101/100\" of a file of 100 bytes";
    QTest::newRow("another file size") << part("0-3/200", "abcd") + "--XB--\r\n"
                                       << QString() << false << "of a file of 100";
    QTest::newRow("part longer than its range") << part("0-1/100", "abcd") + "--XB--\r\n"
                                                << "0:ab" << false << "longer than its range";
    QTest::newRow("no part") << QByteArray("--XB--\r\n") << QString() << false << "holds no part";
    QTest::newRow("endless header line") << "--XB\r\nContent-Range: " + QByteArray(5000, 'x')
                                         << QString() << false << "a line of more than";
}

void TestByteRangesReader::body()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, parts);
    QFETCH(bool, complete);
    QFETCH(QString, error);

    for (qsizetype step : {body.size(), qsizetype(1), qsizetype(7)}) {
        bool done = false;
        QString why;
        QCOMPARE(read(body, 100, qMax<qsizetype>(step, 1), &done, &why), parts);
        QCOMPARE(done, complete);
        QVERIFY2(error.isEmpty() ? why.isEmpty() : why.contains(error), qPrintable(why));
    }
}

void TestByteRangesReader::everyContentRangeForm_data()
{
    QTest::addColumn<QByteArray>("form");
    QTest::addColumn<bool>("legal");
    for (const ByteRangeAnswer::Form &form : ByteRangeAnswer::contentRangeForms())
        QTest::newRow(form.name) << form.form << form.legal;
}

void TestByteRangesReader::everyContentRangeForm()
{
    QFETCH(QByteArray, form);
    QFETCH(bool, legal);

    const QByteArray body = "--XB\r\nCONTENT-RANGE:"
        + ByteRangeAnswer::contentRange(form, 10, 13, 100) + "\r\n\r\nabcd\r\n--XB--\r\n";
    bool done = false;
    QString why;
    QCOMPARE(read(body, 100, body.size(), &done, &why),
             legal ? QStringLiteral("10:abcd") : QString());
    QCOMPARE(done, legal);
    QCOMPARE(why.isEmpty(), legal);
}

QTEST_GUILESS_MAIN(TestByteRangesReader)
#include "tst_byterangesreader.moc"
