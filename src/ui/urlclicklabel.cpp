#include "ui/urlclicklabel.h"

#include <QDesktopServices>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget *parent) : QLabel(parent) { }

void UrlClickLabel::setUrl(const QString &newUrl)
{
    url = newUrl;
}

void UrlClickLabel::mousePressEvent(QMouseEvent *)
{
    if (url.isEmpty())
        return;
    QDesktopServices::openUrl(QUrl(url));
}
