#pragma once

#include "toolcommand.h"

/// The key and signature commands of varnolt-release: keygen, fingerprint, sign and verify.
/// Each takes the command's own arguments and returns the process exit code.
class KeyCommands : public ToolCommand
{
public:
    KeyCommands(QTextStream &out, QTextStream &err) : ToolCommand(out, err) { }

    int keygen(const QStringList &arguments);
    int sign(const QStringList &arguments);
    int verify(const QStringList &arguments);
    int fingerprint(const QStringList &arguments);
};
