#pragma once

#include "toolcommand.h"

/// "varnolt-release cost --from OLD --to NEW": what an update from one client tree to another
/// costs a user, per changed file and in total, with block lists (only the changed blocks of a
/// large file travel, and every user fetches every block list with the side file) and without.
class CostCommand : public ToolCommand
{
public:
    CostCommand(QTextStream &out, QTextStream &err) : ToolCommand(out, err) { }

    int run(const QStringList &arguments);
};
