#pragma once

#include <QLabel>
#include <QString>

// A picture label that opens its address in the desktop's browser when it is
// clicked, with any mouse button.
class UrlClickLabel : public QLabel
{
public:
    explicit UrlClickLabel(QWidget *parent = nullptr);

    void setUrl(const QString &url);
    QString getUrl() const { return url; }

protected:
    // Opens the address; an empty or unusable address opens nothing.
    void mousePressEvent(QMouseEvent *event) override;

private:
    QString url;
};
