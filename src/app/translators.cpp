#include "app/translators.h"

#include "app/configuration.h"

#include <QCoreApplication>
#include <QLibraryInfo>

Translators::Translators(const QString &localeName)
{
    // Installed even when nothing was found: the texts then simply stay
    // English.
    (void)updaterTranslator.load(QLatin1String(":/i18n/update_") + localeName);
    QCoreApplication::installTranslator(&updaterTranslator);

    const QString qtName = QLatin1String("qt_") + localeName;
    if (!qtTranslator.load(qtName,
                           Configuration::getAppRootPath() + QLatin1String("/translations")))
        (void)qtTranslator.load(qtName, QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    QCoreApplication::installTranslator(&qtTranslator);
}

Translators::~Translators()
{
    QCoreApplication::removeTranslator(&qtTranslator);
    QCoreApplication::removeTranslator(&updaterTranslator);
}
