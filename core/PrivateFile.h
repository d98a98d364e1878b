#pragma once

#include <QString>

// Files that hold the user's secrets or work (the settings with their key, the batch journal)
// are readable and writable by their owner only.
namespace PrivateFile {
// Creates the file (empty) when missing and leaves it, new or old, with mode 0600.
bool create(const QString& path);
}  // namespace PrivateFile
