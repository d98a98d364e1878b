#include "ImageQueue.h"
#include "TestContext.h"
#include "TestData.h"
#include "WindowState.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

QStringList names(const ImageQueue& q) {
    QStringList out;
    if (!q.arrTableData) return out;
    for (const auto& r : *q.arrTableData) out.append(r->imageName.value_or(QStringLiteral("?")));
    return out;
}

// A queue on temporary settings, the window state it drives, and a folder for its files.
struct Queue {
    TestContext t;
    WindowState w;
    ImageQueue q{t.context, w};
    QTemporaryDir dir;
    QString file(const QString& name) const {
        writeFile(dir.filePath(name));
        return dir.filePath(name);
    }
};

}  // namespace

class QueueTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void folderIsFilteredByExactExtensionWithOneAlertFirst() {
        TestContext t;
        WindowState w;
        QTemporaryDir dir;
        for (const char* n : {"a.png", "b.JPG", "c.jpeg", "notes.txt", ".DS_Store", ".png",
                              "x.tar.png", "trailing."})
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
            QStringList{QStringLiteral("5 files could not be added. Only add png and jpg images")});
        QCOMPARE(countWhenAlerted, 0);
        QCOMPARE(names(q2), (QStringList{"a.png", "c.jpeg", "x.tar.png"}));
        QCOMPARE(q2.at(0)->imageURl, dir.filePath(QStringLiteral("a.png")));
        QCOMPARE(q2.at(0)->byteCount, 4);
        QVERIFY(!q2.at(0)->isUploaded.has_value());
    }

    // A folder holding only folders refuses them without descending; an empty one says nothing.
    void foldersOfFoldersAndEmptyFolders() {
        Queue f;
        QVERIFY(QDir(f.dir.path()).mkdir("inner.png"));  // a folder with an image-like name
        f.file(QStringLiteral("inner.png/deep.png"));
        QVERIFY(QDir(f.dir.path()).mkdir(QStringLiteral("sub")));
        f.q.admitFolder(f.dir.path());
        // "sub" is refused; "inner.png" passes the name filter but is no file, so it is skipped.
        QCOMPARE(f.t.alerts.messages(),
                 QStringList{"1 file could not be added. Only add png and jpg images"});
        QTemporaryDir empty;
        f.q.admitSelection({{empty.path(), true}});
        QCOMPARE(f.t.alerts.entries.size(), 1);
        QVERIFY(!f.q.arrTableData.has_value());
    }

    void sameNameFromAnotherFolderIsRefused() {
        Queue f;
        QTemporaryDir one, two;
        writeFile(one.filePath(QStringLiteral("photo.png")));
        writeFile(two.filePath(QStringLiteral("photo.png")));
        // Canonically equivalent spellings are the same name; case is not folded.
        writeFile(one.filePath(QString::fromUtf8("caf\xc3\xa9.png")));
        writeFile(two.filePath(QString::fromUtf8("cafe\xcc\x81.png")));
        writeFile(two.filePath(QStringLiteral("Photo.png")));
        f.q.admitSelection({{one.path(), false}, {two.path(), false}});
        // One alert for the admission, however many duplicates it held.
        QCOMPARE(f.t.alerts.messages(), QStringList{"2 images are already in the list"});
        QCOMPARE(f.q.count(), 3);
        QVERIFY(names(f.q).contains(QStringLiteral("Photo.png")));
    }

    // Missing, unreadable and non-regular files (a named pipe would block the open forever) are
    // skipped silently, alone or inside a dropped folder.
    void unreadableAndMissingFilesAreSkippedSilently() {
        Queue f;
        const QString locked = f.file(QStringLiteral("locked.png"));
        QFile::setPermissions(locked, QFileDevice::WriteOwner);
        const bool canStillRead = QFile(locked).open(QIODevice::ReadOnly);  // root reads anything
        const QString pipe = f.dir.filePath(QStringLiteral("pipe.png"));
        QVERIFY(mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
        f.q.admitSelection({{f.dir.filePath(QStringLiteral("gone.png")), false},
                            {locked, false},
                            {pipe, true},
                            {f.file(QStringLiteral("ok.png")), false}});
        QVERIFY(f.t.alerts.entries.isEmpty());
        QCOMPARE(names(f.q),
                 canStillRead ? (QStringList{"locked.png", "ok.png"}) : QStringList{"ok.png"});
        f.q.resetList();
        f.q.admitSelection({{f.dir.path(), true}});
        QCOMPARE(names(f.q),
                 canStillRead ? (QStringList{"locked.png", "ok.png"}) : QStringList{"ok.png"});
    }

    void windowFollowsTheQueueThroughAdmissionDeletionAndReset() {
        Queue f;
        ImageQueue& q = f.q;
        const WindowState& w = f.w;
        QSignalSpy inserted(&q, &ImageQueue::rowInserted);
        QSignalSpy reset(&q, &ImageQueue::rowsReset);
        q.clearList();  // before anything was admitted
        QTRY_COMPARE(reset.count(), 1);
        QVERIFY(!w.controls().lblUploadCountVisible);
        QVERIFY(!q.arrTableData.has_value());
        QCOMPARE(q.counter, 0);
        QCOMPARE(w.controls().lblUploadCountText, QString());

        for (int i = 0; i < 5; ++i) f.file(QStringLiteral("img%1.png").arg(i));
        q.admitFolder(f.dir.path());
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
        f.w.apply([](WindowState::Controls& c) { c.btnStartEnabled = false; });
        const QString late = f.file(QStringLiteral("late.png"));
        q.admitPaths({late}, false);
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
        q.admitPaths({late}, false);
        QCOMPARE(q.count(), 1);
        QVERIFY(f.t.alerts.entries.isEmpty());
    }
};

QTEST_GUILESS_MAIN(QueueTest)
#include "tst_queue.moc"
