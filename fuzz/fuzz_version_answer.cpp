// The version server's UDP answer "STABLE,BETA,ALPHA" and the version number taken from it.
//
// Anyone on the path can send that datagram. Its fields must be pieces of the answer's text
// between commas, the answer must end at its first zero byte, and a field taken as a version
// must be a plain decimal number (blanks, a sign and leading zeros aside): "1e3", "0x10" or
// "12abc" must never become a version to look for on the mirrors.

#include "app/configuration.h"
#include "app/updatechecker.h"
#include "fuzzsupport.h"

namespace {

Configuration *configuration = nullptr;

void checkField(const QByteArray &field, const QByteArray &answer)
{
    if (field.isEmpty())
        return;
    if (field.contains(',') || field.contains('\0') || !answer.contains(field))
        Fuzz::fail("a field is a piece of the answer between commas", QString::fromLatin1(field));

    const QString text = QString::fromLatin1(field);
    if (!configuration->getClientVersionFromString(text, QStringLiteral("%1")))
        return;
    QString plain = text.trimmed();
    const bool negative = plain.startsWith(QLatin1Char('-'));
    if (negative || plain.startsWith(QLatin1Char('+')))
        plain.remove(0, 1);
    while (plain.size() > 1 && plain.startsWith(QLatin1Char('0')))
        plain.remove(0, 1);
    if ((negative ? QLatin1Char('-') + plain : plain)
            != QString::number(configuration->clientVersion)
        && !(negative && plain == QLatin1String("0") && configuration->clientVersion == 0))
        Fuzz::fail("a version is taken only from a decimal number", text);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    Fuzz::startApplication((*argv)[0]);
    configuration = new Configuration;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram = Fuzz::bytes(data, size);
    // No query is made: the address is never used.
    UpdateChecker checker(QByteArrayLiteral("127.0.0.1"), 1, 1);
    checker.takeAnswer(datagram);

    const qsizetype zero = datagram.indexOf('\0');
    if (checker.getAnswer() != (zero < 0 ? datagram : datagram.left(zero)))
        Fuzz::fail("the answer ends at its first zero byte", QString::fromLatin1(datagram));
    checkField(checker.getClientStableVersion(), checker.getAnswer());
    checkField(checker.getClientBetaVersion(), checker.getAnswer());
    checkField(checker.getClientAlphaVersion(), checker.getAnswer());
    return 0;
}
