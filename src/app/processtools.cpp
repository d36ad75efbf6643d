#include "app/processtools.h"

#include "app/configuration.h"

#include <QCoreApplication>
#include <QProcess>

void ProcessTools::startVl3Client()
{
    // The whole path is the program, spaces and all; it is never split into
    // a command line.
    const QString program = QCoreApplication::applicationDirPath() + QLatin1Char('/')
        + Configuration::getClientBinaryName();
    QProcess::startDetached(program, QStringList());
}
