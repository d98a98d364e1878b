#include "NaturalOrder.h"

#include <QFileInfo>

#include <algorithm>

namespace {
bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}
}  // namespace

int compareNumeric(const QString& a, const QString& b) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Skip leading zeros, then the longer run is the larger number.
            qsizetype si = i;
            qsizetype sj = j;
            while (si < a.size() && a[si] == QLatin1Char('0')) ++si;
            while (sj < b.size() && b[sj] == QLatin1Char('0')) ++sj;
            qsizetype ei = si;
            qsizetype ej = sj;
            while (ei < a.size() && isDigit(a[ei])) ++ei;
            while (ej < b.size() && isDigit(b[ej])) ++ej;
            const qsizetype lenA = ei - si;
            const qsizetype lenB = ej - sj;
            if (lenA != lenB) return lenA < lenB ? -1 : 1;
            for (qsizetype k = 0; k < lenA; ++k) {
                if (a[si + k] != b[sj + k]) return a[si + k] < b[sj + k] ? -1 : 1;
            }
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j] ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

bool naturalLess(const QString& a, const QString& b) {
    const int c = compareNumeric(a, b);
    return c != 0 ? c < 0 : a < b;
}

void sortByName(QFileInfoList& entries) {
    std::sort(entries.begin(), entries.end(), [](const QFileInfo& a, const QFileInfo& b) {
        return naturalLess(a.fileName(), b.fileName());
    });
}
