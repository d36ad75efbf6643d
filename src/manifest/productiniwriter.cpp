#include "manifest/productiniwriter.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QSettings>

const QString ProductIniWriter::DELETE_SECTION = QStringLiteral("delete");

QString ProductIniWriter::checkSectionName(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("the section name is empty");
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return QStringLiteral("section name \"%1\" contains a slash or backslash").arg(name);
    if (name == DELETE_SECTION)
        return QStringLiteral("\"delete\" is reserved for files to remove");
    if (name.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("section name \"%1\" would be read as no section at all").arg(name);
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("section name \"%1\" contains a control character").arg(name);
    }
    return QString();
}

QString ProductIniWriter::checkRelativePath(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("empty path");
    if (path.contains(QLatin1Char('\\')))
        return QStringLiteral("path \"%1\" contains a backslash").arg(path);
    if (path.contains(QLatin1String("::")))
        return QStringLiteral("path \"%1\" contains \"::\"").arg(path);
    for (const QChar c : path) {
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("path \"%1\" contains a control character").arg(path);
    }
    if (path.startsWith(QLatin1Char('/')))
        return QStringLiteral("path \"%1\" is absolute").arg(path);
    // QSettings folds empty components away, and the updater must never write outside the
    // installation directory.
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return QStringLiteral("path \"%1\" is not a clean relative path").arg(path);
    }
    return QString();
}

bool ProductIniWriter::addFile(const QString &section, const QString &filePath, const QString &md5,
                               quint64 size)
{
    if (!checkMd5(md5))
        return false;
    return addEntry(section, filePath, md5 + QLatin1String("::") + QString::number(size));
}

bool ProductIniWriter::addPackedFile(const QString &section, const QString &filePath,
                                     const QString &md5, quint64 size, const QString &unzipMd5,
                                     quint64 unzipSize, const QString &unzipFilePath)
{
    if (!checkMd5(md5) || !checkMd5(unzipMd5))
        return false;
    const QString problem = checkRelativePath(unzipFilePath);
    if (!problem.isEmpty())
        return fail(problem);
    const QString separator = QStringLiteral("::");
    const QString value = md5 + separator + QString::number(size) + separator + unzipMd5 + separator
        + QString::number(unzipSize) + separator + unzipFilePath;
    return addEntry(section, filePath, value);
}

bool ProductIniWriter::addDelete(const QString &filePath)
{
    const QString problem = checkRelativePath(filePath);
    if (!problem.isEmpty())
        return fail(problem);
    if (!takeName(DELETE_SECTION, filePath))
        return true;
    entries.append({DELETE_SECTION, filePath, QString()});
    return true;
}

bool ProductIniWriter::setDirectories(const ReleaseDirectories &releaseDirectories)
{
    for (const QStringList *paths : {&releaseDirectories.empty, &releaseDirectories.dropped}) {
        for (const QString &path : *paths) {
            const QString problem = checkRelativePath(path);
            if (!problem.isEmpty())
                return fail(problem);
        }
    }
    directories = releaseDirectories;
    return true;
}

int ProductIniWriter::fileCount() const
{
    int count = 0;
    for (const Entry &entry : entries) {
        if (entry.section != DELETE_SECTION)
            ++count;
    }
    return count;
}

int ProductIniWriter::deleteCount() const
{
    return entries.size() - fileCount();
}

bool ProductIniWriter::write(const QString &path)
{
    if (entries.isEmpty())
        return fail(QStringLiteral("the product ini would list no files"));

    // QSettings merges into an existing file; a stale entry from an earlier run must not
    // survive into the new manifest.
    if (QFile::exists(path) && !QFile::remove(path))
        return fail(QStringLiteral("cannot replace %1").arg(path));

    {
        QSettings settings(path, QSettings::IniFormat);
        if (binding.present) {
            for (const auto &[key, value] : binding.keyValues())
                settings.setValue(key, value);
        }
        directories.write(settings);
        for (const Entry &entry : qAsConst(entries)) {
            settings.beginGroup(entry.section);
            settings.setValue(entry.key, entry.value);
            settings.endGroup();
        }
        settings.sync();
        if (settings.status() != QSettings::NoError || !QFile::exists(path))
            return fail(QStringLiteral("cannot write %1").arg(path));
    }
    return readsBack(path);
}

QString ProductIniWriter::errorString() const
{
    return error;
}

bool ProductIniWriter::checkMd5(const QString &md5)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{32}$"));
    if (!hex.match(md5).hasMatch())
        return fail(QStringLiteral("\"%1\" is not an MD5 sum of 32 hexadecimal digits").arg(md5));
    return true;
}

bool ProductIniWriter::addEntry(const QString &section, const QString &key, const QString &value)
{
    QString problem = checkSectionName(section);
    if (problem.isEmpty())
        problem = checkRelativePath(key);
    if (!problem.isEmpty())
        return fail(problem);
    if (!takeName(section, key))
        return fail(QStringLiteral("%1 is listed twice in section %2").arg(key, section));
    entries.append({section, key, value});
    return true;
}

bool ProductIniWriter::takeName(const QString &section, const QString &key)
{
    // Neither part can hold a control character, so NUL separates them unambiguously.
    const QString name = section + QChar(0) + key;
    if (names.contains(name))
        return false;
    names.insert(name);
    return true;
}

bool ProductIniWriter::fail(const QString &text)
{
    error = text;
    return false;
}

bool ProductIniWriter::readsBack(const QString &path)
{
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return fail(QStringLiteral("cannot read back %1").arg(path));

    QHash<QString, int> keysPerSection;
    for (const Entry &entry : qAsConst(entries)) {
        ++keysPerSection[entry.section];
        const QString stored
            = settings.value(entry.section + QLatin1Char('/') + entry.key).toString();
        if (stored != entry.value) {
            return fail(QStringLiteral("%1 in section %2 does not read back as written")
                            .arg(entry.key, entry.section));
        }
    }
    // The updater reads the binding with a reader of its own, made for these keys only; both
    // readers must see the same.
    if (binding.present) {
        for (const auto &[key, value] : binding.keyValues()) {
            if (settings.value(key).toString() != value)
                return fail(QStringLiteral("%1 does not read back as written").arg(key));
        }
        QFile file(path);
        ReleaseBinding read;
        QString problem;
        if (!file.open(QIODevice::ReadOnly) || !ReleaseBinding::parse(file.readAll(), &read, &problem)
            || !(read == binding))
            return fail(QStringLiteral("the release binding of %1 does not read back as written %2")
                            .arg(path, problem));
    }
    if (!(ReleaseDirectories::read(settings) == directories))
        return fail(QStringLiteral("the directories of %1 do not read back as written").arg(path));
    const QStringList sections = settings.childGroups();
    if (sections.size() != keysPerSection.size())
        return fail(QStringLiteral("%1 does not read back with its sections").arg(path));
    for (const QString &section : sections) {
        settings.beginGroup(section);
        const int count = settings.allKeys().size();
        settings.endGroup();
        if (count != keysPerSection.value(section, -1))
            return fail(QStringLiteral("section %1 does not read back as written").arg(section));
    }
    return true;
}
