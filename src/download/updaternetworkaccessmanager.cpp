#include "download/updaternetworkaccessmanager.h"

#include "app/configuration.h"

#include <QNetworkRequest>

#ifndef VARNOLT_VERSION
#error "VARNOLT_VERSION must name the updater's version"
#endif

UpdaterNetworkAccessManager::UpdaterNetworkAccessManager(const Configuration &configuration,
                                                         QObject *parent)
    : QNetworkAccessManager(parent), configuration(configuration)
{
}

QByteArray UpdaterNetworkAccessManager::userAgent(const QString &clientType)
{
    QByteArray agent = QByteArrayLiteral("Varnolt-Updater/" VARNOLT_VERSION);
    if (!clientType.isEmpty())
        agent += " (" + clientType.toUtf8() + ')';
    return agent;
}

QNetworkReply *UpdaterNetworkAccessManager::createRequest(Operation op,
                                                          const QNetworkRequest &request,
                                                          QIODevice *outgoingData)
{
    QNetworkRequest named(request);
    named.setHeader(QNetworkRequest::UserAgentHeader, userAgent(configuration.clientType));
    return QNetworkAccessManager::createRequest(op, named, outgoingData);
}
