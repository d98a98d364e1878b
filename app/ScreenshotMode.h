#pragma once

#include <QObject>
#include <QString>

class ViewController;

// A hidden mode for documentation pictures. With VORPANE_SCREENSHOT=<file.png> the application
// saves a picture of its window and quits:
//   VORPANE_SCREENSHOT_DELAY_MS   when to take it at the latest (default 2000)
//   VORPANE_SCREENSHOT_START_MS   press START this long after start-up
//   VORPANE_SCREENSHOT_AFTER_ROWS take it as soon as this many rows were handled while another
//                                 one is in progress
//   VORPANE_SCREENSHOT_FINISHED=1 take it once the run has finished
//   VORPANE_SCREENSHOT_REVIEW=<row> once the run has finished, picture the review window of that
//                                 row instead, its before/after split at
//                                 VORPANE_SCREENSHOT_SPLIT percent (default 50)
class ScreenshotMode final : public QObject {
    Q_OBJECT
public:
    // Installs the mode when the environment asks for it; returns whether it did.
    static bool installFromEnvironment(ViewController& window);

private:
    ScreenshotMode(ViewController& window, QString path);
    void poll();
    void take();
    void review();

    ViewController& m_window;
    QString m_path;
    int m_afterRows = -1;
    bool m_whenFinished = false;
    int m_reviewRow = -1;
    int m_split = 50;
    bool m_taken = false;
};
