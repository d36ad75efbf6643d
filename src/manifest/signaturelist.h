#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

/// The further signatures of a product ini, for keys other than the first: the file TYPE.ini +
/// ".sigs" beside it. Updaters that know only one key never fetch it; the first key's signature
/// stays in TYPE.ini + ".sig".
///
///     varnolt-signatures 1
///     <key fingerprint, 64 hexadecimal digits> <signature in hexadecimal>
///
/// Its content is not trusted: every signature in it is checked against a built-in key.
class SignatureList
{
public:
    static const QByteArray Header;
    /// More would only be a hostile file's way to make the updater work.
    static constexpr int MaxEntries = 16;
    /// Enough for 16 signatures of 4096-bit keys in hexadecimal.
    static constexpr qint64 MaxFileBytes = 64 * 1024;

    struct Entry
    {
        QString fingerprint;
        QByteArray signature;
    };
    QList<Entry> entries;

    /// False with the reason in @p problem for a missing header, a malformed line or too many.
    static bool parse(const QByteArray &data, SignatureList *list, QString *problem);
    QByteArray serialize() const;

    static QString pathFor(const QString &iniPath) { return iniPath + QLatin1String(".sigs"); }
};
