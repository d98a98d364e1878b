#pragma once

#include <QElapsedTimer>
#include <QSize>
#include <QString>

// What became of one image, as the command reports it.
struct ImageResult {
    QString source;
    QString output;  // the result file, when there is one
    QString status;  // "done", "failed", "skipped", "not sent", or "planned" (dry run)
    QString text;    // the reason of a failure, or the row's text
    QSize size;      // of the result file, when there is one
};

// The command's output. Results go to standard output: the path of each saved file, or with
// `json` one object per image and a summary object. Everything else goes to standard error: on a
// terminal a progress bar redrawn in place, otherwise one plain line per image; `quiet` keeps
// only the alerts and errors.
class Report final {
public:
    Report(bool json, bool quiet, bool terminal);

    // Starts the clock for `toSend` images.
    void begin(int toSend);
    void image(const ImageResult& result);
    // An alert, an error or a note, on its own line of standard error.
    void note(const QString& line);
    // One line of standard output.
    void out(const QString& line);
    // Redraws the progress bar (on a terminal).
    void redraw();
    // The last line: how the run ended, with the exit status and the credits left (-1: unknown).
    void summary(const QString& status, int exitCode, qint64 creditsLeft);

    // The last line of a dry run: "N images, M credits left" (or its JSON object).
    void dryRunSummary(int images, int exitCode, qint64 creditsLeft, const QString& why);

    int done() const { return m_done; }
    int failed() const { return m_failed; }
    int notSent() const { return m_notSent; }

private:
    void clearBar();
    void err(const QString& line);
    double rate() const;

    bool m_json;
    bool m_quiet;
    bool m_terminal;
    bool m_barShown = false;
    QElapsedTimer m_clock;
    int m_toSend = 0;
    int m_done = 0;
    int m_failed = 0;
    int m_skipped = 0;
    int m_notSent = 0;
};
