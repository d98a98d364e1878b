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

    // What a selection queues and the one alert it raises. Entries ending in "/" are folders;
    // the selection is added as one action, in order.
    void admission_data() {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("selection");
        QTest::addColumn<QStringList>("queued");
        QTest::addColumn<QString>("alert");
        QTest::addColumn<QString>("detail");
        QTest::newRow("camera names, any case")
            << QStringList{"cam/",          "cam/IMG_0001.JPG", "cam/DSC_0042.JPEG", "cam/a.png",
                           "cam/b.Png",     "cam/notes.txt",    "cam/.DS_Store",     "cam/.png",
                           "cam/x.tar.png", "cam/trailing."}
            << QStringList{"cam"}
            << QStringList{"DSC_0042.JPEG", "IMG_0001.JPG", "a.png", "b.Png", "x.tar.png"}
            << "4 files could not be added. Only add png and jpg images"
            << "Not png or jpg: .DS_Store, .png, notes.txt, trailing..";
        QTest::newRow("numbers in names in counting order")
            << QStringList{"f/",           "f/photo10.jpg",  "f/photo9.jpg",
                           "f/photo1.jpg", "f/IMG_0100.JPG", "f/IMG_0099.JPG"}
            << QStringList{"f"}
            << QStringList{"IMG_0099.JPG", "IMG_0100.JPG", "photo1.jpg", "photo9.jpg",
                           "photo10.jpg"}
            << QString() << QString();
        QTest::newRow("the same name in two folders")
            << QStringList{"one/", "two/", "one/apple.jpg", "two/apple.jpg"}
            << QStringList{"one", "two/apple.jpg"} << QStringList{"apple.jpg", "apple.jpg"}
            << QString() << QString();
        QTest::newRow("the same files again, with folders and others")
            << QStringList{"f/",      "f/sub/",  "f/raw.png/", "f/sub/deep.png",
                           "f/a.png", "f/b.png", "f/1.txt",    "f/2.txt",
                           "f/3.txt", "f/4.txt", "f/5.txt",    "f/6.txt"}
            << QStringList{"f", "f/a.png", "f"} << QStringList{"a.png", "b.png"}
            << "12 files could not be added. Only add png and jpg images"
            << "Not png or jpg: 1.txt, 2.txt, 3.txt, 4.txt, 5.txt and 1 more.\n"
               "Already in the list: a.png, b.png.\n"
               "Not searched: raw.png, sub. Add a folder on its own to queue its images.";
        QTest::newRow("only folders inside")
            << QStringList{"f/", "f/sub/"} << QStringList{"f"} << QStringList{}
            << "1 folder inside was not searched"
            << "Not searched: sub. Add a folder on its own to queue its images.";
    }
    void admission() {
        QFETCH(QStringList, entries);
        QFETCH(QStringList, selection);
        Queue f;
        for (const QString& e : entries)
            QVERIFY(e.endsWith('/') ? QDir(f.dir.path()).mkpath(e) : f.file(e) != QString());
        QList<ImageQueue::Item> items;
        for (const QString& s : selection) items.append({f.dir.filePath(s), true});
        f.q.admitSelection(items);
        QTEST(names(f.q), "queued");
        QFETCH(QString, alert);
        QCOMPARE(f.t.alerts.messages(), alert.isEmpty() ? QStringList{} : QStringList{alert});
        if (!alert.isEmpty()) QTEST(f.t.alerts.entries.first().detail, "detail");
        for (int i = 0; i < f.q.count(); ++i)  // each row is its own file
            QVERIFY(QFileInfo(*f.q.at(i)->imageURl).isFile());
        if (f.q.count() == 2 && names(f.q).first() == names(f.q).last())
            QVERIFY(f.q.at(0)->imageURl != f.q.at(1)->imageURl);
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
        const DataModelPtr removed = q.at(1);
        QCOMPARE(q.indexOf(q.at(4).get()), 4);
        QVERIFY(q.deleteImage(1));
        QCOMPARE(q.counter, 3);
        // Rows after it are found where they moved to; the removed one is nowhere.
        for (int i = 0; i < q.count(); ++i) QCOMPARE(q.indexOf(q.at(i).get()), i);
        QCOMPARE(q.indexOf(removed.get()), -1);
        QCOMPARE(q.at(3)->imageName, QStringLiteral("img4.png"));
        QCOMPARE(w.controls().lblUploadCountText, QStringLiteral("Finished 3 of 4"));
        QVERIFY(!q.deleteImage(9));  // stale index ignored
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
        q.admitPaths({late}, true);  // the same file again
        QCOMPARE(f.t.alerts.messages(), QStringList{"Image is already in the list!"});
        f.t.alerts.clear();

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
