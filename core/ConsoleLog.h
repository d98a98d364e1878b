#pragma once

#include <QLoggingCategory>
#include <QString>

// The service conversation's diagnostic lines ("vorpane.service"). Off by default, so a normal
// run keeps the terminal quiet; `--verbose` or QT_LOGGING_RULES="vorpane.*.debug=true" shows them.
Q_DECLARE_LOGGING_CATEGORY(lcService)
// The window's own diagnostic lines ("vorpane.ui"), off by default as well.
Q_DECLARE_LOGGING_CATEGORY(lcUi)

// Diagnostic lines, one line per call, through a logging category.
namespace ConsoleLog {
// A line of the service log.
void line(const QString& text);
void line(const QLoggingCategory& category, const QString& text);
// The quoted, escaped form used when a value is printed for debugging: "a \"b\"".
QString debugQuoted(const QString& text);
// A secret as it may appear in the log: its first four characters and its length, never the
// whole of it ("" stays "").
QString maskedSecret(const QString& secret);
// Turns the output off (benchmarks) or on, whatever the logging rules say.
void setEnabled(bool enabled);
// Turns every "vorpane.*" debug line on (the `--verbose` option).
void enableVerbose();
}  // namespace ConsoleLog
