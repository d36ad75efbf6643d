#pragma once

#include <QMessageBox>

// All modal boxes of the updater go through here. Every box text is also
// written to standard error. When the environment variable
// VARNOLT_BOX_ANSWERS holds a comma-separated list of button names
// ("Ok", "Yes", "No", "Retry", "Abort", "Cancel"), boxes are not shown: each
// call takes the next answer of the list, and the last answer repeats. This
// lets automated runs (tests, unattended demos) drive every path without a
// display or a hanging modal loop. A scripted box still runs the event loop
// once before it returns, as a shown box does while it is open. An answer
// that the box does not offer (or that is no button name) ends the program
// at once with exit code 1 and a line on standard error naming the box and
// the answer.
class MessageBox
{
public:
    static QMessageBox::StandardButton
    critical(QWidget *parent, const QString &title, const QString &text,
             QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    static QMessageBox::StandardButton
    information(QWidget *parent, const QString &title, const QString &text,
                QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    static QMessageBox::StandardButton question(QWidget *parent, const QString &title,
                                                const QString &text,
                                                QMessageBox::StandardButtons buttons);

private:
    static QMessageBox::StandardButton scriptedOrShown(QWidget *parent, QMessageBox::Icon icon,
                                                       const QString &title, const QString &text,
                                                       QMessageBox::StandardButtons buttons);
    static bool scriptedAnswer(QString *name);
};
