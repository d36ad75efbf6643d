#include "manifest/plainini.h"

#include <QSet>

#include <algorithm>

namespace {

// Characters every part of a plain ini may hold as they are.
bool isPlainCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'
        || c == '.' || c == '-';
}

// A section name, or a key whose parts the settings reader separates by "\" in the file.
bool isPlainName(QByteArrayView name, bool isKey)
{
    if (name.isEmpty())
        return false;
    char previous = '\\';
    for (const char c : name) {
        if (c == '\\') {
            // A leading, doubled or trailing separator is one the reader would drop.
            if (!isKey || previous == '\\')
                return false;
        } else if (!isPlainCharacter(c)) {
            return false;
        }
        previous = c;
    }
    return previous != '\\';
}

// Values also hold the separators of a product ini's fields, paths and times.
bool isPlainValue(QByteArrayView value)
{
    return std::all_of(value.cbegin(), value.cend(), [](char c) {
        return isPlainCharacter(c) || c == ':' || c == '/' || c == '+';
    });
}

bool keyLess(const QPair<QString, QString> &a, const QPair<QString, QString> &b)
{
    return a.first < b.first;
}

bool hasDuplicateKey(const QList<QPair<QString, QString>> &sorted)
{
    return std::adjacent_find(sorted.cbegin(), sorted.cend(),
                              [](const auto &a, const auto &b) { return a.first == b.first; })
        != sorted.cend();
}

} // namespace

QString PlainIni::generalValue(const QString &key) const
{
    const auto it = std::lower_bound(general.cbegin(), general.cend(),
                                     QPair<QString, QString>(key, QString()), keyLess);
    return it != general.cend() && it->first == key ? it->second : QString();
}

bool PlainIni::read(const QByteArray &data, PlainIni *out)
{
    *out = PlainIni();
    QSet<QString> sectionNames;
    QList<QPair<QString, QString>> *current = &out->general;
    qsizetype position = 0;
    while (position < data.size()) {
        qsizetype end = data.indexOf('\n', position);
        if (end < 0)
            end = data.size();
        const QByteArrayView line = QByteArrayView(data).sliced(position, end - position);
        position = end + 1;
        if (line.isEmpty())
            continue;
        if (line.front() == '[') {
            if (line.back() != ']')
                return false;
            const QByteArrayView name = line.sliced(1, line.size() - 2);
            if (!isPlainName(name, false))
                return false;
            const QString section = QString::fromLatin1(name);
            // The reader keeps a General section's keys outside any section, in any case.
            if (section.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0) {
                if (section != QLatin1String("General"))
                    return false;
                current = &out->general;
                continue;
            }
            if (sectionNames.contains(section))
                return false;
            sectionNames.insert(section);
            out->sections.append({section, {}});
            current = &out->sections.last().entries;
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0)
            return false;
        const QByteArrayView key = line.first(equals);
        const QByteArrayView value = line.sliced(equals + 1);
        // A key outside any section with parts would make a section of its own.
        if (!isPlainName(key, current != &out->general) || !isPlainValue(value))
            return false;
        QString path = QString::fromLatin1(key);
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        current->append({path, QString::fromLatin1(value)});
    }
    // A General section given twice would be merged by the reader: so are its keys here, and
    // a key given twice anywhere is left to the reader.
    // What the release tool wrote comes sorted already.
    const auto sortByKey = [](QList<QPair<QString, QString>> &entries) {
        if (!std::is_sorted(entries.cbegin(), entries.cend(), keyLess))
            std::sort(entries.begin(), entries.end(), keyLess);
    };
    sortByKey(out->general);
    if (hasDuplicateKey(out->general))
        return false;
    for (Section &section : out->sections) {
        sortByKey(section.entries);
        if (hasDuplicateKey(section.entries))
            return false;
    }
    // The reader lists no section without keys.
    out->sections.erase(
        std::remove_if(out->sections.begin(), out->sections.end(),
                       [](const Section &section) { return section.entries.isEmpty(); }),
        out->sections.end());
    std::sort(out->sections.begin(), out->sections.end(),
              [](const Section &a, const Section &b) { return a.name < b.name; });
    return true;
}
