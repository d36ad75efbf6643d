#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

class QSettings;

/**
 * @class PlainIni
 * @brief The sections, keys and values of an ini in the plain form the release tool writes,
 * read without the settings reader.
 *
 * The settings reader keeps every key of a product ini in a sorted map of variants, which for a
 * release of many files took longer than looking at all of its installed files through the
 * file-state cache. Most inis hold only plain text: section names, keys and values of letters,
 * digits and a few punctuation characters, which the settings reader takes literally (a key's
 * "\" aside, which it reads as "/"). read() takes exactly those and refuses anything else (an
 * escape, a quote, a comment, a character it does not know, a section or key given twice), so
 * that the caller falls back to the settings reader and no ini reads differently.
 *
 * Sections and keys come in the order the settings reader lists them: sorted.
 */
class PlainIni
{
public:
    struct Section
    {
        QString name;
        /// Key ("/" between its parts) and value, sorted by key.
        QList<QPair<QString, QString>> entries;
    };

    /// The keys outside any section (the General group), sorted.
    QList<QPair<QString, QString>> general;
    /// The sections, sorted by name.
    QList<Section> sections;

    /// The value of @p key among the keys outside any section; empty when it has none.
    QString generalValue(const QString &key) const;

    /// Reads @p data; false when it leaves the plain form (@p out then holds nothing useful).
    static bool read(const QByteArray &data, PlainIni *out);
};
