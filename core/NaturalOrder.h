#pragma once

#include <QString>

// Compares two version-like texts: runs of ASCII digits compare by numeric value, everything else
// character by character, case-sensitively. Returns <0, 0 or >0.
int compareNumeric(const QString& a, const QString& b);
