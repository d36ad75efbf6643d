#include "app/messagebox.h"

#include "app/consolelog.h"

#include <QEventLoop>

#include <cstdlib>
#include <functional>

namespace {

struct ButtonName
{
    const char *name;
    QMessageBox::StandardButton button;
};

const ButtonName ButtonNames[] = {{"Ok", QMessageBox::Ok},       {"Yes", QMessageBox::Yes},
                                  {"No", QMessageBox::No},       {"Retry", QMessageBox::Retry},
                                  {"Abort", QMessageBox::Abort}, {"Cancel", QMessageBox::Cancel}};

// NoButton for a name that is no button at all.
QMessageBox::StandardButton buttonFromName(const QString &name)
{
    for (const ButtonName &entry : ButtonNames) {
        if (name.trimmed().compare(QLatin1String(entry.name), Qt::CaseInsensitive) == 0)
            return entry.button;
    }
    return QMessageBox::NoButton;
}

QString buttonNames(QMessageBox::StandardButtons buttons)
{
    QStringList names;
    for (const ButtonName &entry : ButtonNames) {
        if (buttons.testFlag(entry.button))
            names.append(QLatin1String(entry.name));
    }
    return names.join(QLatin1String(", "));
}

} // namespace

QMessageBox::StandardButton MessageBox::scriptedOrShown(QWidget *parent, QMessageBox::Icon icon,
                                                        const QString &title, const QString &text,
                                                        QMessageBox::StandardButtons buttons)
{
    ConsoleLog::writeBox(title, text);
    QString name;
    if (!scriptedAnswer(&name)) {
        if (icon == QMessageBox::Question)
            return QMessageBox::question(parent, title, text, buttons);
        if (icon == QMessageBox::Information)
            return QMessageBox::information(parent, title, text, buttons);
        return QMessageBox::critical(parent, title, text, buttons);
    }
    const QMessageBox::StandardButton answer = buttonFromName(name);
    if (answer == QMessageBox::NoButton || !buttons.testFlag(answer)) {
        // Taking it as some other answer would send an unattended run down a
        // path nobody chose, for instance retrying forever; the script is
        // wrong and must be mended.
        ConsoleLog::write(QStringLiteral("VARNOLT_BOX_ANSWERS: the box \"%1: %2\" has no button "
                                         "\"%3\" (it offers %4); giving up")
                              .arg(title, ConsoleLog::plainText(text), name, buttonNames(buttons)));
        std::fflush(stderr);
        // Immediately: the box may be open inside any code, and nothing of
        // the program may go on past an answer it cannot take.
        std::_Exit(1);
    }
    // A box on screen runs an event loop of its own until it is answered, and
    // a box opened meanwhile on top of it is answered first. A scripted box
    // does the same: it lets everything already waiting in the event queue
    // happen, and is answered once no box opened after it is still open. So
    // unattended runs go the ways attended ones go.
    static int openBoxes = 0;
    const int depth = ++openBoxes;
    QEventLoop loop;
    std::function<void()> answerWhenOnTop;
    answerWhenOnTop = [&] {
        if (openBoxes == depth)
            loop.quit();
        else
            QMetaObject::invokeMethod(&loop, answerWhenOnTop, Qt::QueuedConnection);
    };
    QMetaObject::invokeMethod(&loop, answerWhenOnTop, Qt::QueuedConnection);
    loop.exec();
    --openBoxes;
    return answer;
}

bool MessageBox::scriptedAnswer(QString *name)
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
    *name = answers.at(qMin(next, int(answers.size()) - 1)).trimmed();
    ++next;
    return true;
}

QMessageBox::StandardButton MessageBox::critical(QWidget *parent, const QString &title,
                                                 const QString &text,
                                                 QMessageBox::StandardButtons buttons)
{
    return scriptedOrShown(parent, QMessageBox::Critical, title, text, buttons);
}

QMessageBox::StandardButton MessageBox::information(QWidget *parent, const QString &title,
                                                    const QString &text,
                                                    QMessageBox::StandardButtons buttons)
{
    return scriptedOrShown(parent, QMessageBox::Information, title, text, buttons);
}

QMessageBox::StandardButton MessageBox::question(QWidget *parent, const QString &title,
                                                 const QString &text,
                                                 QMessageBox::StandardButtons buttons)
{
    return scriptedOrShown(parent, QMessageBox::Question, title, text, buttons);
}
