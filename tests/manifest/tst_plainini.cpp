#include "manifest/plainini.h"
#include "testsupport.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

// The plain form of a product ini, read without the settings reader: what it takes must read
// exactly as the settings reader reads it, and everything else must be left to that reader.
class TestPlainIni : public QObject
{
    Q_OBJECT

private slots:
    void readsAsTheSettingsReader_data();
    void readsAsTheSettingsReader();
};

void TestPlainIni::readsAsTheSettingsReader_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("plain");

    const QByteArray head = "[General]\nrelease_type=client_linux_amd64\nrelease_version=2\n"
                            "directories_empty=cache::data/empty\n\n";
    QTest::newRow("as the release tool writes it") << head
            + "[client_linux_amd64]\nbin\\client=0123456789abcdef0123456789abcdef::20\n"
              "lib\\libx.so.gz=0123456789abcdef0123456789abcdef::9::"
              "fedcba9876543210fedcba9876543210::30::lib/libx.so\n\n[delete]\nold\\file=\n"
                                                   << true;
    // Sorted as the settings reader lists them, whatever the order in the file; keys outside
    // any section before the first one.
    QTest::newRow("unsorted, no General header")
        << QByteArray("release_version=2\n[b]\nz=1::1\na.b=2::2\na\\b=3::3\n[a]\nk=4::4\n[A]\n"
                      "k=5::5\n")
        << true;
    QTest::newRow("a section without keys") << QByteArray("[a]\n[b]\nk=1::1\n") << true;
    // Forms the settings reader gives a meaning of its own: left to it.
    QTest::newRow("escaped name") << QByteArray("[a]\nGr%U00fc%U00dfe=1::1\n") << false;
    QTest::newRow("quoted value") << QByteArray("[a]\nk=\"1::1\"\n") << false;
    QTest::newRow("value with a comma") << QByteArray("[a]\nk=1,2\n") << false;
    QTest::newRow("comment") << QByteArray("; signed\n[a]\nk=1::1\n") << false;
    QTest::newRow("spaces") << QByteArray("[a]\nk = 1::1\n") << false;
    QTest::newRow("carriage return") << QByteArray("[a]\r\nk=1::1\r\n") << false;
    QTest::newRow("key twice") << QByteArray("[a]\nk=1::1\nk=2::2\n") << false;
    QTest::newRow("section twice") << QByteArray("[a]\nk=1::1\n[a]\nl=2::2\n") << false;
    QTest::newRow("doubled separator") << QByteArray("[a]\nd\\\\k=1::1\n") << false;
    QTest::newRow("key outside sections with parts")
        << QByteArray("d\\k=1\n[a]\nk=1::1\n") << false;
    QTest::newRow("general in other case") << QByteArray("[general]\nk=1\n[a]\nk=1::1\n") << false;
    QTest::newRow("broken section header") << QByteArray("[a\nk=1::1\n") << false;
    QTest::newRow("variant value") << QByteArray("[a]\nk=@Invalid()\n") << false;
}

void TestPlainIni::readsAsTheSettingsReader()
{
    QFETCH(QByteArray, ini);
    QFETCH(bool, plain);

    PlainIni read;
    QCOMPARE(PlainIni::read(ini, &read), plain);
    if (!plain)
        return;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("client.ini"));
    QVERIFY(writeFile(path, ini));
    QSettings settings(path, QSettings::IniFormat);
    QStringList sections;
    for (const PlainIni::Section &section : qAsConst(read.sections)) {
        sections.append(section.name);
        settings.beginGroup(section.name);
        QStringList keys;
        for (const QPair<QString, QString> &entry : section.entries) {
            keys.append(entry.first);
            QCOMPARE(entry.second, settings.value(entry.first).toString());
        }
        QCOMPARE(keys, settings.allKeys());
        settings.endGroup();
    }
    QCOMPARE(sections, settings.childGroups());
    QStringList general;
    for (const QPair<QString, QString> &entry : qAsConst(read.general)) {
        general.append(entry.first);
        QCOMPARE(read.generalValue(entry.first), settings.value(entry.first).toString());
    }
    QCOMPARE(general, settings.childKeys());
}

QTEST_GUILESS_MAIN(TestPlainIni)
#include "tst_plainini.moc"
