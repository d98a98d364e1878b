#include "ImageQueue.h"
#include "TestContext.h"
#include "WindowState.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

void writeFile(const QString& path, const QByteArray& bytes = QByteArray("data")) {
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    f.write(bytes);
}

QStringList names(const ImageQueue& q) {
    QStringList out;
    if (!q.arrTableData) return out;
    for (const auto& r : *q.arrTableData) out.append(r->imageName.value_or(QStringLiteral("?")));
    return out;
}

}  // namespace

class QueueTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void folderIsFilteredByExactExtensionWithOneAlertFirst() {
        TestContext t;
        WindowState w;
        QTemporaryDir dir;
        for (const char* n : {"a.png", "b.JPG", "c.jpeg", "notes.txt", ".DS_Store"})
            writeFile(dir.filePath(QString::fromLatin1(n)));
        // The alert comes before any file of the folder is admitted.
        int countWhenAlerted = -1;
        struct Probe final : AlertPresenter {
            const ImageQueue* q = nullptr;
            int* seen = nullptr;
            RecordingAlerts* inner = nullptr;
            void showAlert(const QString& m) override {
                *seen = q->count();
                inner->showAlert(m);
            }
            void showSheetAlert(const SheetAlert& a, std::function<void(int)> d) override {
                inner->showSheetAlert(a, std::move(d));
            }
        } probe;
        probe.seen = &countWhenAlerted;
        probe.inner = &t.alerts;
        AppContext ctx{t.settings, t.credits, t.notifier, probe, t.opener, t.context.service};
        ImageQueue q2(ctx, w);
        probe.q = &q2;
        q2.admitSelection({{dir.path(), false}});
        QCOMPARE(
            t.alerts.messages(),
            QStringList{QStringLiteral("3 files could not be added. Only add png and jpg images")});
        QCOMPARE(countWhenAlerted, 0);
        QCOMPARE(names(q2), (QStringList{QStringLiteral("a.png"), QStringLiteral("c.jpeg")}));
        QCOMPARE(q2.at(0)->imageURl, dir.filePath(QStringLiteral("a.png")));
        QCOMPARE(q2.at(0)->byteCount, 4);
        QVERIFY(!q2.at(0)->isUploaded.has_value());
    }

    void folderOfOnlyASubFolderRefusesOneEntryWithoutDescending() {
        TestContext t;
        WindowState w;
        ImageQueue q(t.context, w);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path())
                    .mkdir(QStringLiteral("inner.png")));  // a folder with an image-like name
        writeFile(dir.filePath(QStringLiteral("inner.png/deep.png")));
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
        q.admitFolder(dir.path());
        // "sub" is refused; "inner.png" passes the name filter but is no file, so it is skipped.
        QCOMPARE(
            t.alerts.messages(),
            QStringList{QStringLiteral("1 file could not be added. Only add png and jpg images")});
        QVERIFY(!q.arrTableData.has_value());
    }

    void emptyFolderSaysNothing() {
        TestContext t;
        WindowState w;
        ImageQueue q(t.context, w);
        QTemporaryDir dir;
        q.admitSelection({{dir.path(), true}});
        QVERIFY(t.alerts.entries.isEmpty());
        QVERIFY(!q.arrTableData.has_value());
    }

    void sameNameFromAnotherFolderIsRefused() {
        TestContext t;
        WindowState w;
        ImageQueue q(t.context, w);
        QTemporaryDir one, two;
        writeFile(one.filePath(QStringLiteral("photo.png")));
        writeFile(two.filePath(QStringLiteral("photo.png")));
        // Canonically equivalent spellings are the same name; case is not folded.
        writeFile(one.filePath(QString::fromUtf8("caf\xc3\xa9.png")));
        writeFile(two.filePath(QString::fromUtf8("cafe\xcc\x81.png")));
        writeFile(two.filePath(QStringLiteral("Photo.png")));
        q.admitSelection({{one.path(), false}, {two.path(), false}});
        // One alert for the admission, however many duplicates it held.
        QCOMPARE(t.alerts.messages(),
                 QStringList{QStringLiteral("2 images are already in the list")});
        QCOMPARE(q.count(), 3);
        QVERIFY(names(q).contains(QStringLiteral("Photo.png")));
    }

    // Missing, unreadable and non-regular files (a named pipe would block the open forever) are
    // skipped silently, alone or inside a dropped folder.
    void unreadableAndMissingFilesAreSkippedSilently() {
        TestContext t;
        WindowState w;
        ImageQueue q(t.context, w);
        QTemporaryDir dir;
        const QString locked = dir.filePath(QStringLiteral("locked.png"));
        writeFile(locked);
        QFile::setPermissions(locked, QFileDevice::WriteOwner);
        const bool canStillRead = QFile(locked).open(QIODevice::ReadOnly);  // root reads anything
        writeFile(dir.filePath(QStringLiteral("ok.png")));
        QVERIFY(mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("pipe.png"))).constData(),
                       0600) == 0);
        q.admitSelection({{dir.filePath(QStringLiteral("gone.png")), false},
                          {locked, false},
                          {dir.filePath(QStringLiteral("pipe.png")), true},
                          {dir.filePath(QStringLiteral("ok.png")), false}});
        QVERIFY(t.alerts.entries.isEmpty());
        QCOMPARE(q.count(), canStillRead ? 2 : 1);
        QVERIFY(names(q).contains(QStringLiteral("ok.png")));
        q.resetList();
        q.admitSelection({{dir.path(), true}});
        QCOMPARE(names(q),
                 canStillRead ? (QStringList{"locked.png", "ok.png"}) : QStringList{"ok.png"});
    }

    void droppedPlainFileIsTakenWhateverItsExtension() {
        TestContext t;
        WindowState w;
        ImageQueue q(t.context, w);
        QTemporaryDir dir;
        writeFile(dir.filePath(QStringLiteral("readme.txt")));
        q.admitPaths({dir.filePath(QStringLiteral("readme.txt"))}, true);
        QCOMPARE(names(q), QStringList{QStringLiteral("readme.txt")});
    }

    void windowFollowsTheQueueThroughAdmissionDeletionAndReset() {
        TestContext t;
        WindowState w;
        ImageQueue q(t.context, w);
        QSignalSpy inserted(&q, &ImageQueue::rowInserted);

        QSignalSpy reset(&q, &ImageQueue::rowsReset);
        q.clearList();  // before anything was admitted
        QTRY_COMPARE(reset.count(), 1);
        QVERIFY(!w.controls().lblUploadCountVisible);
        QVERIFY(!q.arrTableData.has_value());
        QCOMPARE(q.counter, 0);
        QCOMPARE(w.controls().lblUploadCountText, QString());

        QTemporaryDir dir;
        for (int i = 0; i < 5; ++i) writeFile(dir.filePath(QStringLiteral("img%1.png").arg(i)));
        q.admitFolder(dir.path());
        QCOMPARE(w.controls().lblUploadCountText, QStringLiteral("Finished 0 of 5"));
        // Rows appear on the next turn of the event loop, in admission order.
        QCOMPARE(inserted.count(), 0);
        QTRY_COMPARE(inserted.count(), 5);
        for (int i = 0; i < 5; ++i) QCOMPARE(inserted.at(i).at(0).toInt(), i);
        QVERIFY(!w.controls().imageViewVisible);
        QVERIFY(w.controls().contentScrollVisible);
        QVERIFY(w.controls().bottomViewVisible);

        // A finished run of four: deleting a handled row keeps `counter` on the same record.
        q.counter = 4;
        for (int i = 0; i < 4; ++i) q.at(i)->status = RowStatus::Done;
        q.updateUploadCount(q.handledCount());
        QCOMPARE(w.controls().lblUploadCountText, QStringLiteral("Finished 4 of 5"));
        QVERIFY(q.deleteImage(1));
        QCOMPARE(q.counter, 3);
        QCOMPARE(q.at(3)->imageName, QStringLiteral("img4.png"));
        QCOMPARE(w.controls().lblUploadCountText,
                 QStringLiteral("Finished 4 of 5"));  // not rewritten until the next change
        QVERIFY(!q.deleteImage(9));                   // stale index ignored
        QVERIFY(!q.deleteImage(-1));
        QCOMPARE(q.count(), 4);

        // The row being sent cannot be deleted.
        q.at(3)->status = RowStatus::InProgress;
        QVERIFY(!q.deleteImage(3));
        q.at(3)->status = RowStatus::Waiting;

        // A run disabled START; admitting again enables it.
        w.apply([](WindowState::Controls& c) {
            c.btnStartEnabled = false;
            c.btnStartTitle = QStringLiteral("START");
        });
        writeFile(dir.filePath(QStringLiteral("late.png")));
        q.admitPaths({dir.filePath(QStringLiteral("late.png"))}, false);
        QVERIFY(w.controls().btnStartEnabled);
        QCOMPARE(w.controls().lblUploadCountText, QStringLiteral("Finished 3 of 5"));

        // Deleting every row returns the window to the empty state.
        reset.clear();
        while (q.count() > 0) QVERIFY(q.deleteImage(0));
        QTRY_COMPARE(reset.count(), 1);
        QVERIFY(q.arrTableData.has_value());  // emptied, not absent
        QCOMPARE(q.counter, 0);
        QVERIFY(w.controls().imageViewVisible);
        QVERIFY(!w.controls().contentScrollVisible);
        QVERIFY(!w.controls().lblUploadCountVisible);
        QVERIFY(w.controls().dragViewVisible);

        // The same file can be queued again after the reset.
        q.admitPaths({dir.filePath(QStringLiteral("late.png"))}, false);
        QCOMPARE(q.count(), 1);
        QVERIFY(t.alerts.entries.isEmpty());
    }

    void sizeRuleIsTwelveMebibytes() {
        QVERIFY(ImageQueue::isImageSizeAllowed(12582911));
        QVERIFY(!ImageQueue::isImageSizeAllowed(12582912));
        QVERIFY(ImageQueue::isImageSizeAllowed(0));
    }

    void pathExtensionIgnoresHiddenNames() {
        QCOMPARE(ImageQueue::pathExtension(QStringLiteral(".png")), QString());
        QCOMPARE(ImageQueue::pathExtension(QStringLiteral("a.tar.png")), QStringLiteral("png"));
        QCOMPARE(ImageQueue::pathExtension(QStringLiteral("noext")), QString());
        QCOMPARE(ImageQueue::pathExtension(QStringLiteral("trailing.")), QString());
    }
};

QTEST_GUILESS_MAIN(QueueTest)
#include "tst_queue.moc"
