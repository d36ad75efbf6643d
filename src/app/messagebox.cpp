#include "app/messagebox.h"

#include "app/consolelog.h"

#include <QTextDocumentFragment>

namespace {

QMessageBox::StandardButton buttonFromName(const QString &name)
{
    const QString n = name.trimmed().toLower();
    if (n == QLatin1String("yes"))
        return QMessageBox::Yes;
    if (n == QLatin1String("no"))
        return QMessageBox::No;
    if (n == QLatin1String("retry"))
        return QMessageBox::Retry;
    if (n == QLatin1String("abort"))
        return QMessageBox::Abort;
    if (n == QLatin1String("cancel"))
        return QMessageBox::Cancel;
    return QMessageBox::Ok;
}

void logBox(const QString &title, const QString &text)
{
    // Box texts may be rich text; the console wants the words only.
    const QString plain
        = Qt::mightBeRichText(text) ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
    ConsoleLog::write(title + QLatin1String(": ") + plain);
}

} // namespace

bool MessageBox::scriptedAnswer(QMessageBox::StandardButton *answer)
{
    const QByteArray script = qgetenv("VARNOLT_BOX_ANSWERS");
    if (script.isEmpty())
        return false;
    // The position in the script restarts whenever the script itself changes,
    // so in-process tests can set a new script per case.
    static QByteArray lastScript;
    static int next = 0;
    if (script != lastScript) {
        lastScript = script;
        next = 0;
    }
    const QStringList answers = QString::fromLatin1(script).split(QLatin1Char(','));
    *answer = buttonFromName(answers.at(qMin(next, int(answers.size()) - 1)));
    ++next;
    return true;
}

QMessageBox::StandardButton MessageBox::critical(QWidget *parent, const QString &title,
                                                 const QString &text,
                                                 QMessageBox::StandardButtons buttons)
{
    logBox(title, text);
    QMessageBox::StandardButton answer;
    if (scriptedAnswer(&answer))
        return answer;
    return QMessageBox::critical(parent, title, text, buttons);
}

QMessageBox::StandardButton MessageBox::question(QWidget *parent, const QString &title,
                                                 const QString &text,
                                                 QMessageBox::StandardButtons buttons)
{
    logBox(title, text);
    QMessageBox::StandardButton answer;
    if (scriptedAnswer(&answer))
        return answer;
    return QMessageBox::question(parent, title, text, buttons);
}
