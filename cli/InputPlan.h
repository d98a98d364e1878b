#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One image named on the command line (directly or inside a folder).
struct PlannedImage {
    QString source;          // absolute path
    QString expectedOutput;  // where its result is saved, by the service's naming
    bool skipped = false;    // that file exists and --skip-existing was given
};

// Images whose results go to one folder; the run handles one batch after the other.
struct Batch {
    QString outputFolder;
    QList<PlannedImage> images;
};

// What a command line asks for: its files and folders turned into batches, one per output
// folder. A folder is listed like a dropped one (png, jpg and jpeg files, in name order); with
// `recursive` its sub-folders are too, each into the same sub-folder of the output folder. The
// output folder itself is never listed, so results are not sent again as sources.
struct InputPlan {
    struct Request {
        QStringList inputs;
        QString outputRoot;  // absolute
        QString format;      // "png" or "jpg"
        bool recursive = false;
        bool skipExisting = false;
    };

    QList<Batch> batches;
    QStringList notes;  // files left out, for the user
    QString error;      // an input that does not exist: nothing may run

    static InputPlan make(const Request& request);
    // The name a result is saved under: "vorpane_output_" + the stem the service derives from the
    // uploaded file's name (letters, digits, ".", "_" and "-" kept, anything else "_", leading
    // dots dropped, at most 100 bytes, "image" when nothing is left) + the format's extension.
    static QString outputName(const QString& sourceFileName, const QString& format);

    int imageCount() const;
    int skippedCount() const;
};
