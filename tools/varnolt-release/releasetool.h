#pragma once

#include "toolcommand.h"

/// The varnolt-release command line: key generation, signing, verification and publishing of
/// releases. run() parses one command line and carries it out, writing results to out and
/// problems to err; its return value is the process exit code (ExitCode). The key and signature
/// commands are KeyCommands'; publishing and checking mirrors are here.
class ReleaseTool : public ToolCommand
{
public:
    ReleaseTool(QTextStream &out, QTextStream &err);

    /// arguments as QCoreApplication::arguments() gives them (the program first).
    int run(const QStringList &arguments);

private:
    int release(const QStringList &arguments);
    int checkMirror(const QStringList &arguments);
    QString generalHelp() const;
};
