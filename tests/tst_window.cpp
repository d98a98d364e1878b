#include "AppDelegate.h"
#include "BatchJournal.h"
#include "BusyIndicator.h"
#include "Button.h"
#include "ColorSwatch.h"
#include "DragDropView.h"
#include "ElidedLabel.h"
#include "GetStartView.h"
#include "ImageCell.h"
#include "ImageListView.h"
#include "ImagePreview.h"
#include "LocalService.h"
#include "OutputCell.h"
#include "RunProgressPanel.h"
#include "ScriptedServer.h"
#include "ServiceSession.h"
#include "SheetVC.h"
#include "TestContext.h"
#include "ThumbnailCache.h"
#include "ThumbnailView.h"
#include "UserDefaultKeys.h"
#include "ViewController.h"
#include "WindowFixture.h"

#include <QUuid>
#include <QtTest>
#include <QtWidgets>
#include <atomic>
#include <memory>

namespace {

// The views shown, the buttons enabled and START's title: what tells the window's states apart.
QString state(const QWidget& w) {
    QStringList on;
    for (const char* view : {"imageView", "dragView", "contentScroll", "BottomView"})
        if (outlet(w, view)->isVisible()) on << view;
    for (const char* button : {"btnAdd", "btnClearList", "btnStart"})
        if (outlet(w, button)->isEnabled()) on << button;
    return on.join(' ') + " / " + outlet<QPushButton>(w, "btnStart")->text();
}

// The marks of the two background options, transparent first.
QString marks(const QWidget& w) {
    return outlet(w, "imgTransparent")->property("mark").toString() + '/' +
           outlet(w, "imgColored")->property("mark").toString();
}

QStringList queuedNames(ViewController& w) {
    QStringList out;
    for (int row = 0; row < w.queue().count(); ++row) out << *w.queue().at(row)->imageName;
    return out;
}

// Drags `data` onto `target`; true when the drag was taken on entry, *dropped when the drop was.
bool sendDrag(QWidget* target, QMimeData* data, bool* dropped) {
    const QPoint pos = target->rect().center();
    QDragEnterEvent enter(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDragMoveEvent move(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    QDropEvent drop(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    *dropped = drop.isAccepted();
    return enter.isAccepted() && move.isAccepted();
}

}  // namespace

class WindowTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void getStartOverlay_data() {
        QTest::addColumn<bool>("first");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("overlay");
        QTest::newRow("first launch, old key") << true << QStringLiteral("old-key") << true;
        QTest::newRow("empty key") << false << QString() << true;
        QTest::newRow("stored key") << false << QStringLiteral("k") << false;
    }
    void getStartOverlay() {
        QFETCH(bool, first);
        QFETCH(QString, key);
        QFETCH(bool, overlay);
        Fixture f(!first);
        f.t.settings.setString(UserDefaultKeys::apiKey, key);
        ViewController& w = f.open();
        QCOMPARE(w.getStartView() != nullptr, overlay);
        QCOMPARE(f.t.settings.apiKey().isEmpty(), overlay);
        QCOMPARE(outlet(w, "btnAdd")->isVisible(), !overlay);
        QCOMPARE(outlet(w, "btnSettings")->isVisible(), !overlay);
        // After the version check, and only with a key to ask about.
        QTRY_VERIFY(f.server.requestCount("/api/v1/get_app_version") == 1);
        QTest::qWait(100);
        QTRY_COMPARE(f.server.requestCount("/api/v1/credit_check"),
                     f.t.settings.apiKey().isEmpty() ? 0 : 1);
        if (!overlay) return;

        QTRY_COMPARE(w.getStartView()->opacity(), 1.0);  // faded in
        // "Get Started" fades it out, then remembers the user and opens the settings sheet.
        QTest::mouseClick(w.getStartView()->btnGetStart(), Qt::LeftButton);
        QCOMPARE(f.t.settings.boolValue(UserDefaultKeys::isFirst), !first);  // set after the fade
        QTRY_VERIFY_WITH_TIMEOUT(!w.getStartView(), 3000);
        QVERIFY(f.t.settings.boolValue(UserDefaultKeys::isFirst));
        QVERIFY(outlet(w, "btnAdd")->isVisible() && outlet(w, "btnSettings")->isVisible());
        SheetVC* sheet = w.sheet();
        QTRY_VERIFY(sheet && sheet->isVisible());
        sheet->reject();
        QTest::mouseClick(outlet<QPushButton>(w, "btnSettings"), Qt::LeftButton);
        QTRY_VERIFY(sheet->isVisible());
        QCOMPARE(w.sheet(), sheet);  // one dialog, kept
    }

    void backgroundAndFormatControls() {
        Fixture f;
        ViewController& w = f.open(f.images(2));
        // Tab walks the window in reading order: header, list, bottom bar.
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        outlet(w, "btnAdd")->setFocus();
        QStringList walked{QApplication::focusWidget()->objectName()};
        for (int i = 0; i < 10; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            walked << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(walked.join(' '),
                 "btnAdd btnSettings btnOpenFolder btnRefresh tblList btnTransparent btnColored "
                 "btnColor btnOutputType btnClearList btnStart");
        auto* format = outlet<QComboBox>(w, "btnOutputType");
        auto* transparent = outlet<QPushButton>(w, "btnTransparent");
        auto* colorButton = outlet<QPushButton>(w, "btnColor");
        auto* swatch = outlet<ColorSwatch>(w, "dropperView");
        QCOMPARE(marks(w), QStringLiteral("radio/empty"));
        format->setCurrentText(QStringLiteral("JPG"));  // forces the coloured option
        QVERIFY(!transparent->isEnabled());
        QCOMPARE(marks(w), QStringLiteral("empty/radio"));
        format->setCurrentText(QStringLiteral("PNG"));
        QVERIFY(transparent->isEnabled());
        QCOMPARE(marks(w), QStringLiteral("empty/radio"));

        // Coloured with no colour yet: the swatch says "none", not "transparent".
        QVERIFY(!swatch->color().isValid());
        // The colour control toggles the one non-modal colour panel (opaque colours only, shown
        // live) and the flag; Cancel takes the colour back, OK keeps it, and both clear the flag.
        QTest::mouseClick(colorButton, Qt::LeftButton);
        QColorDialog* panel = w.colorPanel();
        QVERIFY(panel && panel->isVisible() && !panel->isModal());
        QVERIFY(!panel->testOption(QColorDialog::ShowAlphaChannel) && w.options().isOpenColorPanel);
        auto* answers = panel->findChild<QDialogButtonBox*>();
        QVERIFY(answers && answers->button(QDialogButtonBox::Ok) &&
                answers->button(QDialogButtonBox::Cancel));
        for (const auto answer : {QDialogButtonBox::Cancel, QDialogButtonBox::Ok}) {
            if (!panel->isVisible()) QTest::mouseClick(colorButton, Qt::LeftButton);
            panel->setCurrentColor(QColor(0, 255, 0));
            QCOMPARE(w.options().selectedColor, QStringLiteral("#00FF00"));
            QCOMPARE(swatch->color(), QColor(0, 255, 0));
            QTest::mouseClick(answers->button(answer), Qt::LeftButton);
            QVERIFY(!panel->isVisible() && !w.options().isOpenColorPanel);
            const bool kept = answer == QDialogButtonBox::Ok;
            QCOMPARE(w.options().selectedColor, kept ? QStringLiteral("#00FF00") : QString());
            QCOMPARE(swatch->color().isValid(), kept);
        }
        QTest::mouseClick(colorButton, Qt::LeftButton);
        QVERIFY(panel->isVisible());
        QTest::mouseClick(colorButton, Qt::LeftButton);
        QVERIFY(!panel->isVisible() && !w.options().isOpenColorPanel);
        QCOMPARE(w.options().selectedColor, QStringLiteral("#00FF00"));
        // Closed by a format choice: the flag stays, so the next press only clears it.
        QTest::mouseClick(colorButton, Qt::LeftButton);
        format->setCurrentText(QStringLiteral("JPG"));
        QVERIFY(!panel->isVisible() && w.options().isOpenColorPanel);
        QTest::mouseClick(colorButton, Qt::LeftButton);
        QVERIFY(!panel->isVisible() && !w.options().isOpenColorPanel);
        QTest::mouseClick(colorButton, Qt::LeftButton);
        QVERIFY(panel->isVisible());

        // Transparent closes the panel and clears the colour and the swatch, for good.
        format->setCurrentText(QStringLiteral("PNG"));
        QTest::mouseClick(transparent, Qt::LeftButton);
        QVERIFY(!panel->isVisible());
        QCOMPARE(w.options().selectedColor, QString());
        QCOMPARE(swatch->color().alpha(), 0);
        QCOMPARE(marks(w), QStringLiteral("radio/empty"));
        QTest::mouseClick(outlet<QPushButton>(w, "btnColored"), Qt::LeftButton);
        QCOMPARE(marks(w), QStringLiteral("empty/radio"));
        QCOMPARE(w.options().selectedColor, QString());

        // Quitting closes the panel.
        AppDelegate delegate(w);
        QTest::mouseClick(colorButton, Qt::LeftButton);
        QVERIFY(QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection));
        QVERIFY(!panel->isVisible());
    }

    void dropTargetRefusesTextAndQueuesFilesAndFolders() {
        Fixture f;
        ViewController& w = f.open();
        QMimeData text;
        text.setText(QStringLiteral("/etc/passwd"));
        bool dropped = true;
        QVERIFY(!sendDrag(w.dragView(), &text, &dropped) && !dropped);

        // A folder first, then a plain file of any type: the folder is filtered, the file taken.
        QTemporaryDir folder;
        const QString readme = f.t.dir.filePath(QStringLiteral("readme.txt"));
        for (const QString& path : {folder.filePath("b.JPG"), folder.filePath("notes.txt"), readme})
            QVERIFY(writeFile(path, "text"));
        for (const char* n : {"a.png", "c.jpeg"}) writeImage(folder.filePath(QLatin1String(n)));
        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(folder.path()), QUrl::fromLocalFile(readme)});
        QVERIFY(sendDrag(w.dragView(), &files, &dropped) && dropped);
        QCOMPARE(queuedNames(w), (QStringList{"a.png", "b.JPG", "c.jpeg", "readme.txt"}));
        QCOMPARE(f.t.alerts.messages(),
                 QStringList{"1 file could not be added. Only add png and jpg images"});
        // The list follows the queue when a row goes before its posted insertion arrives.
        QVERIFY(w.queue().deleteImage(1));
        QTRY_VERIFY(w.list()->isVisible() && w.list()->model()->rowCount() == 3);
        QCOMPARE(w.list()->model()->index(2, 0).data().toString(), QStringLiteral("readme.txt"));

        // Dropping on the list counts as dropping on the drop area; a refused drag spoils nothing.
        QVERIFY(!sendDrag(w.list()->viewport(), &text, &dropped));
        QMimeData more;
        more.setUrls({QUrl::fromLocalFile(writeImage(f.t.dir.filePath("more.png")))});
        QVERIFY(sendDrag(w.list()->viewport(), &more, &dropped) && dropped);
        QCOMPARE(queuedNames(w).last(), QStringLiteral("more.png"));
        w.queue().resetList();  // before the insertion of more.png arrives
        QCoreApplication::processEvents();
        QCOMPARE(w.list()->model()->rowCount(), 0);
    }

    void rowsKeepTheirStateAndCanBeRemoved() {
        Fixture f;
        QStringList paths = f.images(40);
        {
            // The first is a 1-bit palette PNG: white, with a black square in its middle.
            QImage mono(300, 200, QImage::Format_Mono);
            mono.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
            mono.fill(1);
            for (int y = 50; y < 150; ++y)
                for (int x = 100; x < 200; ++x) mono.setPixel(x, y, 0);
            QVERIFY(mono.save(paths.first(), "PNG"));
        }
        ViewController& w = f.open(paths);
        ImageListView* list = w.list();
        QTRY_VERIFY(list->imageCell(0) && list->model()->rowCount() == 40);
        setRow(w, 0, RowStatus::Done, QStringLiteral(" 300x200"), paths.first());
        setRow(w, 1, RowStatus::Failed, QStringLiteral("Image size is larger than 12 MB"));

        // Only the rows on screen have cells; thumbnails come from the cache, at list size.
        QVERIFY(list->viewport()->findChildren<ImageCell*>().size() < 20);
        QTRY_VERIFY(list->imageCell(0)->thumbnail()->hasImage());
        const QImage thumb = w.thumbnails().thumbnail(paths.first());
        QVERIFY(thumb.height() <= ThumbnailCache::kEdge);
        QCOMPARE(thumb.pixel(2, 2), qRgb(255, 255, 255));
        QCOMPARE(thumb.pixel(thumb.width() / 2, thumb.height() / 2), qRgb(0, 0, 0));
        list->scrollToBottom();
        QTRY_VERIFY(list->imageCell(39) && !list->imageCell(0));
        QVERIFY(!list->imageCell(39)->imgComplete()->isVisible());  // a reused cell, waiting row
        list->scrollToTop();
        QTRY_VERIFY(list->imageCell(0));
        QVERIFY(list->imageCell(0)->imgComplete()->isVisible());
        QCOMPARE(list->outputCell(0)->lblStatus()->fullText(), QStringLiteral(" 300x200"));
        QVERIFY(list->imageCell(1)->imgFailed()->isVisible());
        QCOMPARE(list->outputCell(1)->lblStatus()->fullText(),
                 QStringLiteral("Image size is larger than 12 MB"));
        QVERIFY(!list->imageCell(2)->imgComplete()->isVisible());

        QList<QWidget*> controls{outlet(w, "btnOutputType"), list};
        for (QAbstractButton* b : w.findChildren<QAbstractButton*>())
            if (b->isVisible()) controls << b;
        QVERIFY(controls.size() >= 11);  // header, footer, list and the done row's zoom button
        for (QWidget* c : controls)      // every one reached with Tab and named
            QVERIFY2(!QAccessible::queryAccessibleInterface(c)->text(QAccessible::Name).isEmpty() &&
                         (c->focusPolicy() & Qt::TabFocus),
                     qPrintable(c->objectName()));

        // A row without a saved file, or whose file is gone, previews nothing.
        setRow(w, 2, RowStatus::Done, QStringLiteral(" 1x1"), f.t.dir.filePath("gone.png"));
        QTest::mouseClick(list->outputCell(2)->imgZoom(), Qt::LeftButton);
        w.previewRecord(w.queue().at(1));
        QVERIFY(!w.preview() || !w.preview()->isVisible());

        // The context menu's "Delete" removes its row; the others keep their state.
        openRowMenu(list, 2);
        auto* menu = list->findChild<QMenu*>(QStringLiteral("rowMenu"));
        QVERIFY(menu && menu->actions().size() == 1);
        QCOMPARE(menu->actions().first()->text(), QStringLiteral("Delete"));
        menu->actions().first()->trigger();
        menu->close();
        QTRY_VERIFY(list->imageCell(2) && list->imageCell(2)->name() == "photo03.png");
        QVERIFY(list->imageCell(0)->imgComplete()->isVisible());
        QVERIFY(list->imageCell(1)->imgFailed()->isVisible());

        // The pointer over a cell highlights it and shows its delete button; Delete removes it.
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        ImageCell* cell = list->imageCell(2);
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), cell->mapToGlobal(QPointF(5, 5)));
        QApplication::sendEvent(cell, &enter);
        QTRY_VERIFY(cell->isHighlighted() && cell->btnDelete()->isVisible());
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(cell, &leave);
        QTRY_VERIFY(!cell->isHighlighted() && !cell->btnDelete()->isVisible());
        QApplication::sendEvent(cell, &enter);
        QTRY_COMPARE(list->hoveredRow(), 2);
        QTest::keyClick(&w, Qt::Key_Delete);
        QCOMPARE(queuedNames(w).mid(0, 3),
                 (QStringList{"photo00.png", "photo01.png", "photo04.png"}));
        QApplication::sendEvent(list->imageCell(1), &enter);
        QTRY_VERIFY(list->imageCell(1)->btnDelete()->isVisible());
        QTest::mouseClick(list->imageCell(1)->btnDelete(), Qt::LeftButton);
        QCOMPARE(queuedNames(w).mid(0, 2), (QStringList{"photo00.png", "photo04.png"}));
    }

    // At its smallest size (and at 1024x640) every control of a full window is whole: each
    // text fits its control, and no two controls overlap.
    void layoutHoldsAtTheMinimumSize_data() {
        QTest::addColumn<QSize>("size");
        QTest::newRow("smallest") << QSize();
        QTest::newRow("1024x640") << QSize(1024, 640);
    }
    void layoutHoldsAtTheMinimumSize() {
        QFETCH(QSize, size);
        Fixture f;
        ViewController& w = f.open(f.images(31));
        f.t.credits.setBalances(12345, 67890, 99999);
        w.credits().refreshDisplay();
        for (int row = 0; row < 30; ++row)
            setRow(w, row, row < 2 ? RowStatus::Failed : RowStatus::Done,
                   row < 2 ? "The result could not be downloaded (connection lost)" : " 1x1");
        QVERIFY(w.queue().deleteImage(30));  // the run counts the failed rows again
        QTRY_VERIFY(outlet(w, "btnRetryFailed")->isVisible());
        w.resize(size.isValid() ? size : w.minimumSize());
        QTRY_COMPARE(w.size(), size.isValid() ? size : w.minimumSize());
        QCoreApplication::processEvents();
        QList<QWidget*> controls;
        for (QWidget* c : w.findChildren<QWidget*>()) {
            if (!c->isVisibleTo(&w) || w.list()->isAncestorOf(c) || c == w.list()) continue;
            auto* button = qobject_cast<QAbstractButton*>(c);
            auto* label = qobject_cast<QLabel*>(c);
            const QString text = button ? button->text() : label ? label->text() : QString();
            if (text.isEmpty() || qobject_cast<ElidedLabel*>(c)) continue;
            if (label && qobject_cast<QAbstractButton*>(label->parentWidget())) continue;
            const int room = button ? c->width() - 16 - (button->icon().isNull() ? 0 : 20)
                                    : label->contentsRect().width();
            QVERIFY2(c->fontMetrics().horizontalAdvance(text) <= room,
                     qPrintable(c->objectName() + ": " + text));
            QVERIFY2(w.rect().contains(QRect(c->mapTo(&w, QPoint()), c->size())),
                     qPrintable(c->objectName()));
            controls << c;
        }
        QVERIFY(controls.size() >= 8);
        for (QWidget* a : controls)
            for (QWidget* b : controls)
                if (a != b && !a->isAncestorOf(b) && !b->isAncestorOf(a))
                    QVERIFY2(!QRect(a->mapTo(&w, QPoint()), a->size())
                                  .intersects(QRect(b->mapTo(&w, QPoint()), b->size())),
                             qPrintable(a->objectName() + " over " + b->objectName()));
        if (!qEnvironmentVariableIsEmpty("VORPANE_SHOTS"))
            w.grab().save(qEnvironmentVariable("VORPANE_SHOTS") + "/minimum-" +
                          QTest::currentDataTag() + ".png");
    }

    // CLEAR LIST asks while rows wait to be sent, quitting asks during a run; each answer does
    // what it says.
    void clearListAndQuitAsk() {
        Fixture f;
        const QByteArray png = imageBytes(8, 6);
        f.server.setHandler([&](const RecordedRequest& r) {
            if (r.path.startsWith("/results/")) return ScriptedReply::bytes(200, "image/png", png);
            // Slow enough for the run to be under way when the window is closed.
            return f.accepted(r, {}, "x.png").withDelay(150);
        });
        ViewController& w = f.open(f.images(3));
        QTRY_COMPARE(w.queue().count(), 3);
        f.t.alerts.sheetAnswers = {1};  // Cancel
        w.clearList();
        QCOMPARE(f.t.alerts.entries.last().alert.informativeText,
                 "3 images have not been sent yet.");
        QCoreApplication::processEvents();
        QCOMPARE(w.queue().count(), 3);
        f.t.alerts.sheetAnswers = {0};  // Clear List
        w.clearList();
        QTRY_COMPARE(w.queue().count(), 0);

        w.queue().admitPaths(f.images(3), false);
        f.t.settings.setValue(UserDefaultKeys::imagesAtATime, 1);
        f.t.alerts.clear();
        f.t.alerts.sheetAnswers = {2, 0};  // Cancel, then Let Them Finish
        w.startUpload();
        QTRY_VERIFY(w.run().isRunning());
        QVERIFY(!w.close());
        QCOMPARE(f.t.alerts.entries.last().alert.buttons,
                 (QStringList{"Let Them Finish", "Quit Now", "Cancel"}));
        QVERIFY(w.isVisible() && w.run().isRunning());
        w.close();
        QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 10000);
        QVERIFY(w.queue().doneCount() >= 1);
        for (int row = 0; row < 3; ++row)  // nothing is left in flight
            QVERIFY(w.queue().at(row)->status != RowStatus::InProgress);
    }

    // A finished list runs again with other options once the user has read what it costs.
    void finishedListRunsAgainWithNewOptions() {
        Fixture f;
        const QByteArray png = imageBytes(8, 6);
        QStringList formats;
        f.server.setHandler([&](const RecordedRequest& r) {
            if (r.path.startsWith("/results/")) return ScriptedReply::bytes(200, "image/png", png);
            formats << QString::fromUtf8(r.part("format")->body);
            return f.accepted(r);
        });
        ViewController& w = f.open(f.images(2));
        auto* start = outlet<QPushButton>(w, "btnStart");
        QTRY_VERIFY(outlet<QLabel>(w, "lblRemainCredit")->text().contains("Total credits: 10"));
        w.startUpload();
        QTRY_COMPARE_WITH_TIMEOUT(w.run().runState(), RunState::Finished, 10000);
        QVERIFY(!start->isEnabled());
        outlet<QComboBox>(w, "btnOutputType")->setCurrentText("JPG");
        w.options().colorDidChange(QColor(Qt::white));
        QVERIFY(start->isEnabled());
        f.t.alerts.sheetAnswers = {0};
        start->click();
        QCOMPARE(f.t.alerts.entries.last().alert.informativeText.left(34),
                 "This takes 2 credits (10 left). A ");
        QTRY_COMPARE_WITH_TIMEOUT(w.run().runState(), RunState::Finished, 10000);
        QCOMPARE(formats, (QStringList{"png", "png", "jpg", "jpg"}));
        QCOMPARE(w.queue().doneCount(), 2);
    }

    // The service closes mid-run: the rows say what they are doing and why they were not sent,
    // the time left is hidden while an image waits, and bar, counter and summary agree.
    void outageWalk() {
        Fixture f;
        f.t.settings.setValue(UserDefaultKeys::imagesAtATime, 1);
        const QByteArray png = imageBytes(8, 6);
        std::atomic<bool> dark{false};
        f.server.setHandler([&](const RecordedRequest& r) {
            if (dark) return ScriptedReply::close();
            if (r.path.startsWith("/results/")) return ScriptedReply::bytes(200, "image/png", png);
            if (sentName(r) == "photo03.png")
                return ScriptedReply::json(400, R"({"error":"not an image"})");
            return f.accepted(r);
        });
        ViewController& w = f.open(f.images(8));
        w.run().setRetryDelays({300, 300});
        auto* panel = w.progressPanel();
        QStringList timeTexts;  // the time line while photo05 waits to be tried again
        connect(&w.queue(), &ImageQueue::rowChanged, &w, [&](int row) {
            if (row == 4 && w.queue().at(row)->status == RowStatus::Done) dark = true;
            if (row == 5 && w.queue().at(row)->statusText.startsWith("Retrying in")) {
                QCoreApplication::processEvents();
                timeTexts << panel->timeLabel()->text();
            }
        });
        QTRY_VERIFY(outlet<QLabel>(w, "lblRemainCredit")->text().contains("Total credits"));
        w.startUpload();
        QTRY_COMPARE_WITH_TIMEOUT(w.run().runState(), RunState::Halted, 10000);
        QVERIFY(!timeTexts.isEmpty());
        for (const QString& t : timeTexts) QVERIFY2(!t.contains("left"), qPrintable(t));

        QStringList said;
        for (int row = 0; row < 8; ++row)
            said << w.list()->model()->index(row, 1).data().toString();
        QCOMPARE(said.mid(0, 3), (QStringList{"8x6", "8x6", "8x6"}));
        QCOMPARE(said.at(3), "not an image");
        QCOMPARE(said.at(4), "8x6");
        QVERIFY2(said.at(5).startsWith("Not sent: the service could not be reached ("),
                 qPrintable(said.at(5)));
        QCOMPARE(said.mid(6), (QStringList{"Waiting", "Waiting"}));
        QCOMPARE(panel->counts(), (RunProgress::Counts{4, 1, 3}));
        QCOMPARE(outlet<QLabel>(w, "lblUploadCount")->text(), "Finished 5 of 8");
        QCOMPARE(panel->summaryLabel()->text(), "4 done \u00b7 1 failed \u00b7 3 not sent");
        auto* bar = panel->bar();
        QCOMPARE(bar->value() * 8 / bar->maximum(), 5);
        QVERIFY(panel->noteLabel()->fullText().contains("press START to send the 3 not sent"));
        QVERIFY(f.t.alerts.entries.last().detail.contains(f.server.baseUrl().toString()));
        if (!qEnvironmentVariableIsEmpty("VORPANE_SHOTS"))
            w.grab().save(qEnvironmentVariable("VORPANE_SHOTS") + "/outage.png");
    }

    // Against a service with opaque result names: results are saved under their photos'
    // names; a later launch on the same photos and folder shows them "Already saved" and sends
    // nothing; "Process again" sends one; START asks first when the credits are fewer than the
    // photos to send.
    void resultsSavedBeforeAreNotSentAgain() {
        Fixture f;
        const QString ledger = f.t.dir.filePath("batch.db");
        const QByteArray png = imageBytes(30, 20);
        f.server.setHandler([&](const RecordedRequest& r) {
            if (r.path.startsWith("/results/")) return ScriptedReply::bytes(200, "image/png", png);
            return f.accepted(r, {{"ff_credit", 1}},
                              QUuid::createUuid().toString(QUuid::Id128) + ".png");
        });
        const QStringList photos = f.images(3);
        auto uploads = [&] { return f.server.requestCount("/api/v1/remove_image_background"); };
        auto press = [&](ViewController& w) {
            QTest::mouseClick(outlet<QPushButton>(w, "btnStart"), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(w.run().runState() == RunState::Finished, 10000);
        };
        ViewController* w = &f.open(photos, ledger);
        QTRY_VERIFY(outlet<ElidedLabel>(*w, "lblCost")->fullText() ==
                    "3 to send \u00b7 10 credits left");
        press(*w);
        QCOMPARE(QDir(f.t.dir.path()).entryList({"vorpane_output_*"}),
                 (QStringList{"vorpane_output_photo00.png", "vorpane_output_photo01.png",
                              "vorpane_output_photo02.png"}));

        w = &f.open(photos, ledger);
        auto* cost = outlet<ElidedLabel>(*w, "lblCost");
        QTRY_COMPARE(cost->fullText(), "3 already saved \u00b7 10 credits left");
        QVERIFY(w->queue().at(2)->statusText.startsWith("Already saved \u00b7 30x20"));
        ImageListView* list = w->list();
        openRowMenu(list, 1);
        auto* again = list->findChild<QAction*>(QStringLiteral("actionProcessAgain"));
        QVERIFY(again);
        again->trigger();
        QTRY_COMPARE(cost->fullText(), "1 to send \u00b7 2 already saved \u00b7 10 credits left");
        press(*w);
        QCOMPARE(uploads(), 4);

        // One credit left (as the last reply said) for three new photos: START asks first.
        QStringList more;
        for (int i = 0; i < 3; ++i)
            more << writeImage(f.t.dir.filePath(QString("new%1.png").arg(i)));
        w->queue().admitPaths(more, false);
        QTRY_COMPARE(cost->fullText(), "3 to send \u00b7 3 already saved \u00b7 1 credit left");
        QTest::mouseClick(outlet<QPushButton>(*w, "btnStart"), Qt::LeftButton);
        QCOMPARE(f.t.alerts.messages().last(),
                 "1 credit for 3 photos: the first will be processed. Start?");
        f.t.alerts.pendingSheet(1);  // Cancel
        QCOMPARE(uploads(), 4);
    }

    // A crash in mid-run loses nothing: the batch comes back from the journal, START sends only
    // what was not paid for, and a result paid for but not saved is only downloaded.
    void batchOutlivesACrash() {
        Fixture f;
        const QStringList paths = f.images(6);
        std::atomic<bool> crashing{true};
        const QByteArray png = imageBytes(4, 3);
        f.server.setHandler([&f, &crashing, png](const RecordedRequest& r) {
            if (r.path.startsWith("/results/")) {  // photo03's result is on its way at the crash
                if (crashing && r.path.contains("photo03")) return ScriptedReply::hold();
                return ScriptedReply::bytes(200, "image/png", png);
            }
            const QString stem = QFileInfo(sentName(r)).baseName();
            if (crashing && (stem == "photo04" || stem == "photo05")) return ScriptedReply::hold();
            return f.accepted(r, {{"ff_credit", 9}});
        });
        const QString journal = f.t.dir.filePath("batch.db");
        auto launch = [&f](const QString& path) -> ViewController& {
            f.w.reset();  // the last launch's window and batch go, as with a new process
            f.batch = std::make_unique<BatchSession>(f.t.context, f.session);
            f.w = std::make_unique<ViewController>(f.t.context, f.session, *f.batch);
            f.batch->keepJournal(path);
            f.w->show();
            return *f.w;
        };
        auto uploads = [&f](int from) {
            QStringList names;
            for (const RecordedRequest& r : f.server.requests().mid(from))
                if (r.path.endsWith("/remove_image_background")) names << sentName(r);
            std::sort(names.begin(), names.end());
            return names;
        };
        ViewController* w = &launch(journal);
        w->queue().admitPaths(paths, false);
        QTRY_COMPARE(w->list()->model()->rowCount(), 6);
        QTest::mouseClick(outlet<QPushButton>(*w, "btnStart"), Qt::LeftButton);
        auto row = [&w](int i) { return w->queue().at(i); };
        QTRY_VERIFY_WITH_TIMEOUT(!row(3)->resultUrl.isEmpty() &&
                                     row(4)->status == RowStatus::InProgress &&
                                     row(5)->status == RowStatus::InProgress,
                                 10000);
        QTRY_COMPARE(outlet<QLabel>(*w, "lblUploadCount")->text(),
                     QStringLiteral("Finished 3 of 6"));
        QTRY_COMPARE(w->journal()->pendingCount(), 0);  // a crash now loses nothing
        const QString crashed = copyAsCrashLeavesIt(journal, f.t.dir.filePath("crashed.db"));
        f.w.reset();  // the window and the run are gone; only the copied files count
        f.batch.reset();

        crashing = false;
        const int before = f.server.requestCount();
        w = &launch(crashed);
        QCOMPARE(w->queue().count(), 6);
        QCOMPARE(outlet<QLabel>(*w, "lblUploadCount")->text(), QStringLiteral("Finished 3 of 6"));
        for (int i = 0; i < 6; ++i)
            QCOMPARE(row(i)->status, i < 3 ? RowStatus::Done : RowStatus::Waiting);
        QVERIFY(!row(3)->resultUrl.isEmpty());
        QTRY_COMPARE(state(*w),
                     "dragView contentScroll BottomView btnAdd btnClearList btnStart / START");
        QTest::mouseClick(outlet<QPushButton>(*w, "btnStart"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(outlet<QLabel>(*w, "lblUploadCount")->text(),
                                  QStringLiteral("Finished 6 of 6"), 10000);
        QCOMPARE(uploads(before), (QStringList{"photo04.png", "photo05.png"}));
        QCOMPARE(uploads(0).count("photo03.png"), 1);  // paid once, downloaded again
        QVERIFY(QFileInfo(row(3)->outputFile).isFile());
    }

#ifdef VORPANE_SERVER_PATH
    // Empty list, list, running and run ended, through the window against the local service.
    void fullRunAgainstTheLocalService() {
        LocalService service;
        QVERIFY(service.start(QStringLiteral(VORPANE_SERVER_PATH)));
        Fixture f(true, &service);
        ViewController& w = f.open();
        auto* credit = outlet<QLabel>(w, "lblRemainCredit");
        QTRY_VERIFY_WITH_TIMEOUT(credit->text().contains("Total credits: 50"), 10000);
        const QString empty("imageView dragView btnAdd btnClearList btnStart / START");
        QCOMPARE(state(w), empty);

        const QStringList chosen{writeImage(f.t.dir.filePath("first.png"), 160, 120),
                                 writeImage(f.t.dir.filePath("second.jpg"), 200, 100),
                                 writeImage(f.t.dir.filePath("third.png"), 90, 160)};
        w.setPathChooser([&](bool folders) { return folders ? QStringList() : chosen; });
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        // Add Images' arrow opens its drop-down; its main part the open dialog, whose files
        // come in order.
        auto* add = outlet<SplitButton>(w, "btnAdd");
        QTest::mouseClick(add, Qt::LeftButton, {}, QPoint(add->width() - 8, add->height() / 2));
        QTRY_VERIFY(add->dropDown()->isVisible());
        QVERIFY(w.queue().count() == 0);
        add->dropDown()->close();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTest::mouseClick(add, Qt::LeftButton, {}, QPoint(12, add->height() / 2));
        QCOMPARE(queuedNames(w), (QStringList{"first.png", "second.jpg", "third.png"}));
        QTRY_VERIFY(outlet(w, "contentScroll")->isVisible() && w.list()->imageCell(2));
        QCOMPARE(state(w),
                 "dragView contentScroll BottomView btnAdd btnClearList btnStart / START");
        QCOMPARE(outlet<QLabel>(w, "lblUploadCount")->text(), QStringLiteral("Finished 0 of 3"));

        // What the window shows as each image goes out; Ctrl+O adds nothing meanwhile.
        QSet<int> sent;
        QStringList steps;  // what the first row said while it was under way
        connect(&w.queue(), &ImageQueue::rowChanged, &w, [&](int row) {
            if (w.queue().at(row)->status != RowStatus::InProgress) return;
            sent.insert(row);
            if (row == 0) steps << w.queue().at(row)->statusText;
            QTest::keyClick(&w, Qt::Key_O, Qt::ControlModifier);
            QCOMPARE(w.queue().count(), 3);
            QCOMPARE(state(w), QStringLiteral("contentScroll BottomView btnStart / STOP"));
            QVERIFY(w.list()->imageCell(row)->progressIndicator()->isAnimating());
            QVERIFY(!w.list()->imageCell(row)->btnDelete()->isEnabled());
        });
        QTest::keyClick(&w, Qt::Key_Return, Qt::ControlModifier);  // presses START
        QTRY_COMPARE_WITH_TIMEOUT(outlet<QLabel>(w, "lblUploadCount")->text(),
                                  QStringLiteral("Finished 3 of 3"), 30000);
        QCOMPARE(sent.size(), 3);
        QCOMPARE(steps, (QStringList{"Uploading", "Cutting out", "Downloading"}));
        QCOMPARE(state(w), "dragView contentScroll BottomView btnAdd btnClearList / START");
        const QStringList sizes{" 160x120", " 200x100", " 90x160"};
        for (int row = 0; row < 3; ++row) {
            QVERIFY(w.list()->imageCell(row)->imgComplete()->isVisible());
            QCOMPARE(w.list()->outputCell(row)->lblStatus()->fullText(), sizes.at(row));
        }
        QTRY_VERIFY(credit->text().contains(QStringLiteral("Total credits: 47")));
        QCOMPARE(w.progressPanel()->summaryLabel()->text(), QStringLiteral("3 done"));
        QCOMPARE(w.progressPanel()->bar()->value(), 3);
        QVERIFY(f.t.alerts.entries.isEmpty());

        // Zoom and a double click open the row's own result; Left walks the done rows.
        for (int row : {1, 2}) {
            if (row == 1)
                QTest::mouseClick(w.list()->outputCell(row)->imgZoom(), Qt::LeftButton);
            else
                QTest::mouseDClick(w.list()->imageCell(row), Qt::LeftButton);
            QVERIFY(w.preview() && w.preview()->isVisible());
            QCOMPARE(w.preview()->currentPath(), w.queue().at(row)->outputFile);
            QCOMPARE(w.queue().outputIndex, row);
            QTRY_VERIFY(w.preview()->hasPicture());
            QTest::keyClick(w.preview(), Qt::Key_Left);
            QCOMPARE(w.preview()->currentPath(), w.queue().at(row - 1)->outputFile);
            QTest::keyClick(w.preview(), Qt::Key_Escape);
            QVERIFY(!w.preview()->isVisible());
        }
        QTest::mouseClick(outlet<QPushButton>(w, "btnClearList"), Qt::LeftButton);
        QTRY_COMPARE(state(w), empty);
    }
#endif
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
