#include "releaseoptions.h"

ReleaseOptions::ReleaseOptions()
    : typeOption(QStringLiteral("type"), QStringLiteral("Client type, e.g. client_linux_amd64."),
                 QStringLiteral("TYPE")),
      versionOption(QStringLiteral("version"), QStringLiteral("Version number of the release."),
                    QStringLiteral("N")),
      sourceOption(QStringLiteral("source"),
                   QStringLiteral("Client tree to publish, laid out as "
                                  "installed."),
                   QStringLiteral("DIR")),
      outOption(QStringLiteral("out"), QStringLiteral("Mirror root to write the release into."),
                QStringLiteral("MIRRORDIR")),
      keyOption(QStringLiteral("key"),
                QStringLiteral("Private key file. Repeatable: the first key's signature goes to "
                               "TYPE.ini.sig, the others' to TYPE.ini.sigs."),
                QStringLiteral("PRIVATE")),
      sectionOption(
          QStringLiteral("section"),
          QStringLiteral("Directory of the files below the version directory (default: TYPE)."),
          QStringLiteral("NAME")),
      gzipOption(
          QStringLiteral("gzip"),
          QStringLiteral("Store the file RELPATH of the tree gzip-compressed as RELPATH.gz; the "
                         "updater unpacks it to RELPATH. Repeatable."),
          QStringLiteral("RELPATH")),
      deleteOption(
          QStringLiteral("delete"),
          QStringLiteral("Make the updater remove RELPATH from the installation. Repeatable."),
          QStringLiteral("RELPATH")),
      forceOption(QStringLiteral("force"),
                  QStringLiteral("Replace an existing release of the same "
                                 "version and type.")),
      followOption(
          QStringLiteral("follow-dir-links"),
          QStringLiteral("Publish the contents of directory links that stay inside the tree as "
                         "directories of their own.")),
      expiresOption(QStringLiteral("expires-in"),
                    QStringLiteral("Updaters refuse the release DAYS after its publication "
                                   "(fractions allowed; default: never)."),
                    QStringLiteral("DAYS")),
      previousOption(QStringLiteral("previous"),
                     QStringLiteral("Delete every file that release N in MIRRORDIR installed or "
                                    "deleted and this one does not bring, and remove its "
                                    "directories this one lacks when they are empty."),
                     QStringLiteral("N")),
      blocksOption(QStringLiteral("block-lists-from"),
                   QStringLiteral("Give files stored as they are from BYTES on (default 1048576) "
                                  "a block list, so that updaters fetch only their changed "
                                  "blocks; a size above every file's turns them off."),
                   QStringLiteral("BYTES"))
{
    for (const QCommandLineOption &option :
         {typeOption, versionOption, sourceOption, outOption, keyOption, sectionOption, gzipOption,
          deleteOption, forceOption, followOption, expiresOption, previousOption, blocksOption})
        commandLine.addOption(option);
}

QString ReleaseOptions::usage()
{
    return QStringLiteral(
        "release --type TYPE --version N --source DIR --out MIRRORDIR --key PRIVATE...\n"
        "        [--expires-in DAYS] [--previous N] [--section NAME] [--gzip RELPATH]...\n"
        "        [--delete RELPATH]... [--block-lists-from BYTES]\n"
        "        [--force] [--follow-dir-links]\n\n"
        "Publishes every file below DIR as version N of client type TYPE, writing\n"
        "  MIRRORDIR/N/TYPE.ini          the product ini listing each file's MD5 and size,\n"
        "                                bound to TYPE and N, with the publication time and\n"
        "                                the expiry (--expires-in)\n"
        "  MIRRORDIR/N/TYPE.ini.sig      its signature, made with the first PRIVATE\n"
        "  MIRRORDIR/N/TYPE.ini.sigs     the signatures of the further keys, if any\n"
        "  MIRRORDIR/N/TYPE.hashes       the side file: each stored file's SHA-256 and\n"
        "                                block list\n"
        "  MIRRORDIR/N/TYPE.digests      each stored file's SHA-256, and the SHA-256 and\n"
        "                                size of each block list file\n"
        "  MIRRORDIR/N/SECTION/RELPATH   each file (RELPATH.gz for --gzip files)\n"
        "  MIRRORDIR/N/SECTION/RELPATH::blocks   the block list of a file of BYTES or more\n"
        "and TYPE.ini, TYPE.digests and each list gzip-compressed beside them (NAME.gz).\n"
        "Copy the directory N to every mirror so that it lies at BASEURL/N, BASEURL being\n"
        "the mirror's URL in mirrors.ini.\n\n"
        "A file link is published as a plain file with its target's content. The release\n"
        "is refused (exit code 3, one line per entry) when DIR holds a name that is not\n"
        "valid UTF-8, a dangling link, a link whose target lies outside DIR (whatever the\n"
        "options: absolute, through \"..\" or through further links), a directory link\n"
        "(see --follow-dir-links) or anything else that is neither a file nor a\n"
        "directory. Empty directories are published; updaters create them. With\n"
        "--previous, the directories release N had and this one has not are removed\n"
        "from installations when they are empty.");
}

bool ReleaseOptions::toSpecification(ReleaseSpecification *specification, QString *problem) const
{
    QStringList missing;
    for (const QCommandLineOption *option :
         {&typeOption, &versionOption, &sourceOption, &outOption, &keyOption}) {
        if (!commandLine.isSet(*option))
            missing << QLatin1String("--") + option->names().constFirst();
    }
    if (!missing.isEmpty()) {
        *problem = QStringLiteral("missing ") + missing.join(QLatin1String(", "));
        return false;
    }
    for (const QCommandLineOption *option :
         {&typeOption, &versionOption, &sourceOption, &outOption, &sectionOption,
          &expiresOption, &previousOption, &blocksOption}) {
        if (commandLine.values(*option).size() > 1) {
            *problem = QStringLiteral("--%1 may be given once").arg(option->names().constFirst());
            return false;
        }
    }

    specification->clientType = commandLine.value(typeOption);
    specification->version = commandLine.value(versionOption);
    specification->section = commandLine.value(sectionOption);
    specification->sourceDir = commandLine.value(sourceOption);
    specification->mirrorDir = commandLine.value(outOption);
    specification->privateKeyFiles = commandLine.values(keyOption);
    specification->previousVersion = commandLine.value(previousOption);
    if (commandLine.isSet(blocksOption)) {
        bool number = false;
        specification->blockListMinSize = commandLine.value(blocksOption).toLongLong(&number);
        if (!number || specification->blockListMinSize < 0) {
            *problem = QStringLiteral("--block-lists-from takes a size in bytes");
            return false;
        }
    }
    if (commandLine.isSet(expiresOption)) {
        bool number = false;
        specification->expiresInDays = commandLine.value(expiresOption).toDouble(&number);
        // Up to a century: further would overflow nothing, but is surely a typing error.
        if (!number || !(specification->expiresInDays >= 0)
            || specification->expiresInDays > 36500) {
            *problem = QStringLiteral("--expires-in takes a number of days from 0 to 36500");
            return false;
        }
    }
    specification->gzipPaths = commandLine.values(gzipOption);
    specification->deletePaths = commandLine.values(deleteOption);
    specification->overwrite = commandLine.isSet(forceOption);
    specification->followDirLinks = commandLine.isSet(followOption);
    return true;
}
