#pragma once

#include <QString>

// Mirrors what the user sees (log lines, box texts) on standard error, so that
// support and scripts can follow a run after the window is gone.
namespace ConsoleLog {

// Writes "hh:mm:ss text" as one line; line breaks inside the text become spaces.
void write(const QString &text);

// Writes the box the window would show as one line, "title: text"; rich text is reduced to its
// words.
void writeBox(const QString &title, const QString &text);

// The words of @p text when it is rich text, else @p text.
QString plainText(const QString &text);

} // namespace ConsoleLog
