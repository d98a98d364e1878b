#pragma once

#include <QString>

class OutputOptions;

// What a result is named after.
enum class ResultNames {
    Photo,    // "vorpane_output_" + the photo's name without its extension + the result's
    Service,  // "vorpane_output_" + the last path component of the result's address
};
class SettingsStore;

// Everything a run needs to know, handed to it when it starts: the window builds it from its
// settings and choices, the command line from its arguments. A run never reads the settings.
struct RunConfig {
    QString apiKey;
    QString outputFolder;             // where results are written
    bool createOutputFolder = false;  // made when missing (the Downloads default)
    int imagesAtATime = 3;
    QString imgFormat = QStringLiteral("png");  // "png" or "jpg"
    bool isColored = false;
    QString selectedColor;  // "#RRGGBB"; empty when no colour was chosen
    // A key the credit check refuses is dropped from the settings (the window's own key).
    bool forgetRefusedKey = false;
    ResultNames naming = ResultNames::Photo;
    // Results saved before this time (ms since the epoch) are made again rather than taken as
    // done: the command line without --skip-existing. A photo finished by another Vorpane while
    // this run goes on is never sent twice.
    qint64 resendSavedBeforeMs = 0;
    // How the user goes on after a halt, ending the halt alert's sentence.
    QString resumeHint = QStringLiteral("press START to continue");

    // The colour a result is made with: empty for a transparent backdrop.
    QString backdrop() const { return isColored ? selectedColor : QString(); }

    // The window's run: the stored key, folder and number in flight, and the choices shown.
    static RunConfig fromSettings(const SettingsStore& settings, const OutputOptions& options);
};

// How a run ended (or why it did not start); alerts, exit statuses and notifications read it.
struct RunEnd {
    enum class Kind {
        Finished,        // every queued image was handled
        Stopped,         // STOP (or Ctrl+C): the images in flight were finished
        Halted,          // the service could not be reached, or the exchange broke down
        OutOfCredit,     // no credit left for the next image
        KeyRefused,      // the service does not know the key
        UpdateRequired,  // the service requires a newer version
        FolderUnusable,  // the output folder takes no file
        NotStarted,      // a check before the run refused (no key, no colour, nothing to send)
    };
    Kind kind = Kind::Finished;
    QString cause;  // for Halted and FolderUnusable: what went wrong, in words
};
