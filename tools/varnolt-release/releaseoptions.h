#pragma once

#include "releasespecification.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

/**
 * @class ReleaseOptions
 * @brief The options of "varnolt-release release" and the ReleaseSpecification they make.
 *
 * The parser knows every option once constructed; the caller parses the command line with it
 * (adding its own --help), then asks toSpecification() for what to publish.
 */
class ReleaseOptions
{
public:
    ReleaseOptions();
    ReleaseOptions(const ReleaseOptions &) = delete;
    ReleaseOptions &operator=(const ReleaseOptions &) = delete;

    QCommandLineParser &parser() { return commandLine; }

    /// The command's usage line and description, for its --help.
    static QString usage();

    /**
     * After parsing: fills @p specification and returns true, or returns false with the
     * problem (a required option missing, a single one given twice) in @p problem.
     */
    bool toSpecification(ReleaseSpecification *specification, QString *problem) const;

private:
    const QCommandLineOption typeOption;
    const QCommandLineOption versionOption;
    const QCommandLineOption sourceOption;
    const QCommandLineOption outOption;
    const QCommandLineOption keyOption;
    const QCommandLineOption sectionOption;
    const QCommandLineOption gzipOption;
    const QCommandLineOption deleteOption;
    const QCommandLineOption forceOption;
    const QCommandLineOption followOption;
    const QCommandLineOption expiresOption;
    const QCommandLineOption previousOption;
    const QCommandLineOption blocksOption;
    QCommandLineParser commandLine;
};
