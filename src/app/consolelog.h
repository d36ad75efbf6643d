#pragma once

#include <QString>

// Mirrors what the user sees (log lines, box texts) on standard error, so that
// support and scripts can follow a run after the window is gone.
namespace ConsoleLog {

// Writes "hh:mm:ss text" as one line; line breaks inside the text become spaces.
void write(const QString &text);

} // namespace ConsoleLog
