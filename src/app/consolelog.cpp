#include "app/consolelog.h"

#include <QTextDocumentFragment>
#include <QTime>

#include <cstdio>

namespace ConsoleLog {

void write(const QString &text)
{
    QString line = text;
    line.replace(QLatin1String("\r\n"), QLatin1String(" "));
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    line.replace(QLatin1Char('\r'), QLatin1Char(' '));
    const QByteArray out = QTime::currentTime().toString(QStringLiteral("hh:mm:ss")).toUtf8() + ' '
        + line.toUtf8() + '\n';
    std::fwrite(out.constData(), 1, size_t(out.size()), stderr);
    std::fflush(stderr);
}

void writeBox(const QString &title, const QString &text)
{
    write(title + QLatin1String(": ") + plainText(text));
}

QString plainText(const QString &text)
{
    // Box texts may be rich text; the console wants the words only.
    return Qt::mightBeRichText(text) ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
}

} // namespace ConsoleLog
