#pragma once

#include <QString>

// Diagnostic lines on standard output, one line per call, flushed at once.
namespace ConsoleLog {
void line(const QString& text);
// The quoted, escaped form used when a value is printed for debugging: "a \"b\"".
QString debugQuoted(const QString& text);
// A secret as it may appear in the log: its first four characters and its length, never the
// whole of it ("" stays "").
QString maskedSecret(const QString& secret);
// Turns the output off (benchmarks) or on.
void setEnabled(bool enabled);
}  // namespace ConsoleLog
