#pragma once

#include <QString>
#include <optional>

// What a row of the list shows about its image.
enum class RowStatus {
    Waiting,       // not sent yet
    InProgress,    // being sent, or its result being fetched
    Done,          // result saved; statusText holds " WIDTHxHEIGHT"
    Failed,        // statusText holds the reason
    FailedHalted,  // the exchange broke down and the run halted at this image
};

// One queued image. The record keeps where the file is, not its bytes: they are read when the
// image is sent, so memory does not grow with the size of the queue.
class DataModel final {
public:
    std::optional<QString> imageName;  // file name with extension; the record's identity
    std::optional<QString> imageURl;   // absolute path of the source file
    std::optional<bool> isUploaded;    // kept for compatibility; nothing sets it
    qint64 byteCount = 0;              // size of the file when it was queued

    // Row presentation, owned by the run and read by the window.
    RowStatus status = RowStatus::Waiting;
    QString statusText;
    QString outputFile;  // the result saved for this image, when there is one

    // The address of the processed image, kept from the service's 200 reply until the file is
    // saved: the credit is spent, so a failed download is fetched again, never sent again.
    QString resultUrl;
    // Failed for a reason that another attempt cannot change (too large, not an image, unreadable).
    bool failedForGood = false;
    // Done by an earlier run (the ledger knows the file, still in the output folder): not sent.
    bool alreadySaved = false;
    // "Process again": sent even though its result is already saved.
    bool sendAgain = false;

    bool isHandled() const { return status == RowStatus::Done || status == RowStatus::Failed; }

    // Where the queue last found this record: the search for it starts there.
    mutable int rowHint = 0;
};
