#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

// One image named on the command line (directly or inside a folder).
struct PlannedImage {
    QString source;          // absolute path
    QString expectedOutput;  // where its result goes (named after the photo), or was saved
    bool skipped = false;    // its result is saved already and --skip-existing was given
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
    };

    QList<Batch> batches;
    QStringList notes;  // files left out, for the user
    QString error;      // an input that does not exist: nothing may run

    static InputPlan make(const Request& request);
    // --skip-existing: the images whose result `savedIn` knows to be in their batch's folder
    // (a map from source path to the saved file, for that folder) are skipped.
    void skipSaved(const std::function<QHash<QString, QString>(const QString& folder)>& savedIn);

    int imageCount() const;
    int skippedCount() const;
};
