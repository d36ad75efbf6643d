// The product ini: the release binding at its head, and the download, replace and delete lists
// built from it against an installation and a session directory.
//
// The ini comes from a mirror; its signature is checked before the lists are built, but a reader
// that a signed ini could lead out of the installation would turn the signing key into a key to
// the whole machine. So whatever the lists hold must name paths below the installation and the
// session directory, no installed path may come twice, and no deletion may hit an installed file.

#include "app/configuration.h"
#include "fuzzsupport.h"
#include "manifest/filespecifications.h"
#include "manifest/makedownloadreplacelistfunc.h"
#include "manifest/plainini.h"
#include "manifest/releasebinding.h"

#include <QSet>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

struct Setup
{
    Configuration configuration;
    QTemporaryDir session;
    QString installDir;
    QString iniPath;
};

Setup *setup = nullptr;

// Files the seed inis name, so that every outcome of the comparison is reached: an installed
// file with the right content, one with other content, a directory where a file is expected, a
// file to delete, and a download an earlier run left in the session directory.
void makeInstallation()
{
    const QString root = setup->installDir + QLatin1Char('/');
    Fuzz::makeFixture(root + QLatin1String("bin/client"), "client build 1");
    Fuzz::makeFixture(root + QLatin1String("lib/libx.so"), "library");
    Fuzz::makeFixture(root + QLatin1String("old/file"), "x");
    Fuzz::makeFixture(root + QLatin1String("dir/kept"), "kept");
    Fuzz::makeFixture(setup->session.filePath(QStringLiteral("bin/client")), "client build 2");
}

void checkBinding(const QByteArray &ini)
{
    ReleaseBinding binding;
    QString problem;
    if (!ReleaseBinding::parse(ini, &binding, &problem) || !binding.present)
        return;
    if (!binding.published.isValid() || binding.sideFileSha256.size() != 32
        || !ReleaseBinding::isPlainFileName(binding.sideFile)
        || !ReleaseBinding::isPlainFileName(binding.clientType) || binding.sideFileSize < 0)
        Fuzz::fail("an accepted binding has every required value", QString::fromUtf8(ini));
    // The release tool writes these pairs into the ini it signs and reads them back with this
    // reader: what it accepted must come back the same.
    QByteArray written = "[General]\n";
    const QList<QPair<QString, QString>> pairs = binding.keyValues();
    for (const QPair<QString, QString> &pair : pairs)
        written += pair.first.toUtf8() + '=' + pair.second.toUtf8() + '\n';
    written += "[client]\nbin/client=0123::4\n";
    ReleaseBinding again;
    if (!ReleaseBinding::parse(written, &again, &problem))
        Fuzz::fail("a written binding reads back",
                   problem + QLatin1Char('\n') + QString::fromUtf8(written));
    if (!(again == binding))
        Fuzz::fail("a written binding reads back the same", QString::fromUtf8(written));
}

// The plain form is read without the settings reader: whatever it accepts must read as the
// settings reader reads it, or a signed ini would mean one thing to one reader and another to
// the other.
void checkPlainForm(const QString &path, const QByteArray &ini)
{
    PlainIni plain;
    if (!PlainIni::read(ini, &plain))
        return;
    QSettings settings(path, QSettings::IniFormat);
    QStringList sections;
    for (const PlainIni::Section &section : qAsConst(plain.sections)) {
        sections.append(section.name);
        settings.beginGroup(section.name);
        QStringList keys;
        for (const QPair<QString, QString> &entry : section.entries) {
            keys.append(entry.first);
            if (settings.value(entry.first).toString() != entry.second)
                Fuzz::fail("a plain value reads as the settings reader reads it", entry.first);
        }
        if (settings.allKeys() != keys)
            Fuzz::fail("a plain section has the settings reader's keys", section.name);
        settings.endGroup();
    }
    if (settings.childGroups() != sections)
        Fuzz::fail("a plain ini has the settings reader's sections", QString::fromUtf8(ini));
    for (const QPair<QString, QString> &entry : qAsConst(plain.general)) {
        if (settings.value(entry.first).toString() != entry.second)
            Fuzz::fail("a plain key outside sections reads as the settings reader's", entry.first);
    }
}

void checkLists(const FileSpecifications &lists)
{
    const QString &install = setup->installDir;
    const QString session = setup->session.path();
    QSet<QString> installed;
    for (const FileDownloadSpecification &download : lists.downloadList) {
        if (!Fuzz::staysBelow(session, download.filePath))
            Fuzz::fail("a download stays in the session directory", download.filePath);
    }
    for (const FileReplaceSpecification &replace : lists.replaceList) {
        if (!Fuzz::staysBelow(session, replace.filePath))
            Fuzz::fail("an installed file comes from the session directory", replace.filePath);
        const QString destination = replace.pureDestFilePath();
        if (!Fuzz::staysBelow(install, destination))
            Fuzz::fail("an installed file stays in the installation", destination);
        if (installed.contains(destination))
            Fuzz::fail("no file is installed twice", destination);
        installed.insert(destination);
    }
    for (const QString &deleted : lists.deleteList) {
        if (!Fuzz::staysBelow(install, deleted))
            Fuzz::fail("a deletion stays in the installation", deleted);
        for (const QString &destination : qAsConst(installed)) {
            if (destination == deleted || destination.startsWith(deleted + QLatin1Char('/')))
                Fuzz::fail("no installed file is deleted", deleted);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    Fuzz::startApplication((*argv)[0]);
    setup = new Setup;
    // The session directory goes at a normal end (-max_total_time, -runs).
    std::atexit([] { delete setup; });
    if (!setup->session.isValid())
        Fuzz::fail("a session directory can be made");
    setup->installDir = Configuration::getAppRootPath();
    setup->configuration.clientType = QStringLiteral("client_linux_amd64");
    setup->configuration.tempDir = setup->session.path();
    setup->iniPath = setup->session.filePath(setup->configuration.clientType + ".ini");
    makeInstallation();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray ini = Fuzz::bytes(data, size);
    checkBinding(ini);

    Fuzz::writeFile(setup->iniPath, ini);
    checkPlainForm(setup->iniPath, ini);
    FileSpecifications lists;
    MakeDownloadReplaceListFunc lister(&setup->configuration, lists);
    if (lister.run())
        checkLists(lists);
    return 0;
}
