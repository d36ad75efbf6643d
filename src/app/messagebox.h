#pragma once

#include <QMessageBox>

// All modal boxes of the updater go through here. Every box text is also
// written to standard error. When the environment variable
// VARNOLT_BOX_ANSWERS holds a comma-separated list of button names
// ("Ok", "Yes", "No", "Retry", "Abort"), boxes are not shown: each call takes
// the next answer of the list, and the last answer repeats. This lets
// automated runs (tests, unattended demos) drive every path without a
// display or a hanging modal loop.
class MessageBox
{
public:
    static QMessageBox::StandardButton
    critical(QWidget *parent, const QString &title, const QString &text,
             QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    static QMessageBox::StandardButton question(QWidget *parent, const QString &title,
                                                const QString &text,
                                                QMessageBox::StandardButtons buttons);

private:
    static bool scriptedAnswer(QMessageBox::StandardButton *answer);
};
