#pragma once

#include <QString>
#include <QTranslator>

// The updater's catalogue and Qt's own, installed into the application for
// one locale for as long as this object lives.
//
// The updater's catalogue is built into the resources. Qt's catalogue (the
// texts of standard buttons and dialogs) is looked up in the "translations"
// directory beside the executable, where a client installation ships it, and
// then in Qt's own translations directory, where the system's Qt packages put
// it. A catalogue that is not found leaves its texts English.
//
// Create after the application object, on the main thread.
class Translators
{
public:
    // localeName as QLocale::name() gives it, for example "de_DE".
    explicit Translators(const QString &localeName);
    ~Translators();

    Translators(const Translators &) = delete;
    Translators &operator=(const Translators &) = delete;

    bool hasUpdaterCatalogue() const { return !updaterTranslator.isEmpty(); }
    bool hasQtCatalogue() const { return !qtTranslator.isEmpty(); }

private:
    QTranslator updaterTranslator;
    QTranslator qtTranslator;
};
