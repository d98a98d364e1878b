#pragma once

#include <QFileInfoList>
#include <QString>

// Compares two version-like texts: runs of ASCII digits compare by numeric value, everything else
// character by character, case-sensitively. Returns <0, 0 or >0.
int compareNumeric(const QString& a, const QString& b);

// Names with numbers in counting order: "photo2" before "photo10", as file managers list them;
// names equal that way ("p01", "p1") keep their plain order, so a listing always comes out the
// same.
bool naturalLess(const QString& a, const QString& b);
// Sorts folder entries by their names in that order.
void sortByName(QFileInfoList& entries);
