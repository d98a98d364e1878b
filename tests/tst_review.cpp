#include "Button.h"
#include "ConsoleLog.h"
#include "DesktopBus.h"
#include "DesktopIntegration.h"
#include "ImageCell.h"
#include "ImageListView.h"
#include "ImagePreview.h"
#include "MenuBar.h"
#include "OutputCell.h"
#include "RememberedChoices.h"
#include "ReviewCanvas.h"
#include "RunProgress.h"
#include "RunProgressPanel.h"
#include "SheetVC.h"
#include "ViewHelpers.h"
#include "WindowFixture.h"

#include <QtTest>
#include <QtWidgets>

namespace {

// Records what would go to the session bus; calls are answered with `replyId`.
class FakeBus final : public DesktopBus {
public:
    QStringList services;
    QList<QDBusMessage> sent;
    uint replyId = 7;
    bool hasService(const QString& name) override { return services.contains(name); }
    void send(const QDBusMessage& message,
              std::function<void(const QDBusMessage&)> replied) override {
        sent.append(message);
        if (replied) replied(message.createReply(QVariantList{replyId}));
    }
    void invoke(uint id, const QString& key) { emit notificationActionInvoked(id, key); }
};

// A picture whose left half is transparent and right half opaque blue, and its red source.
struct Pictures {
    explicit Pictures(const QTemporaryDir& dir, const QString& stem = QStringLiteral("a"),
                      QSize size = QSize(600, 400)) {
        QImage cut(size, QImage::Format_ARGB32);
        cut.fill(Qt::transparent);
        QPainter(&cut).fillRect(QRect(size.width() / 2, 0, size.width() / 2, size.height()),
                                Qt::blue);
        result = dir.filePath(stem + "_out.png");
        source = dir.filePath(stem + ".png");
        QImage photo(size, QImage::Format_RGB32);
        photo.fill(Qt::red);
        if (!cut.save(result) || !photo.save(source)) qFatal("cannot write pictures");
    }
    QString result;
    QString source;
};

QColor pixel(QWidget* widget, QPointF at) {
    return widget->grab().toImage().pixelColor(at.toPoint());
}

}  // namespace

class ReviewTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void timeLeft_data() {
        QTest::addColumn<QList<qint64>>("durations");
        QTest::addColumn<int>("remaining");
        QTest::addColumn<qint64>("expected");  // -1: no estimate yet
        QTest::newRow("two images: none yet") << QList<qint64>{1000, 1000} << 10 << qint64(-1);
        QTest::newRow("three images") << QList<qint64>{1000, 2000, 3000} << 10 << qint64(20000);
        QTest::newRow("nothing left") << QList<qint64>{1000, 2000, 3000} << 0 << qint64(0);
        QTest::newRow("only the last eight count")
            << QList<qint64>{90000, 90000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000} << 3
            << qint64(3000);
        QTest::newRow("rounded to the millisecond") << QList<qint64>{1, 1, 2} << 1 << qint64(1);
    }
    void timeLeft() {
        QFETCH(QList<qint64>, durations);
        QFETCH(int, remaining);
        QFETCH(qint64, expected);
        QCOMPARE(RunProgress::timeLeftMs(durations, remaining).value_or(-1), expected);
    }

    void durationsReadLikeAClock() {
        QCOMPARE(RunProgress::formatDuration(41600), "0:42");
        QCOMPARE(RunProgress::formatDuration(725000), "12:05");
        QCOMPARE(RunProgress::formatDuration(3723000), "1:02:03");
    }

    // Zoom, pan, backdrops and before/after, read back from the pixels on screen.
    void reviewWindow() {
        QTemporaryDir dir;
        const Pictures first(dir), second(dir, "b", QSize(40, 30));
        ImagePreview review;
        review.resize(520, 420);
        QVERIFY(!review.open({{dir.filePath("none.png"), {}}}));
        QVERIFY(review.open({{first.result, first.source}, {second.result, {}}}));
        QVERIFY(QTest::qWaitForWindowExposed(&review));
        QTRY_VERIFY(review.hasPicture());
        QCOMPARE(review.windowTitle(), QStringLiteral("a_out.png — 600 × 400"));
        ReviewCanvas* canvas = review.canvas();

        // Fitted: the whole picture inside the canvas, a checkerboard under the transparent half.
        QVERIFY(canvas->isFitted() && canvas->zoom() < 1.0);
        QRectF shown = canvas->pictureRect();
        QVERIFY(QRectF(canvas->rect()).contains(shown.adjusted(1, 1, -1, -1)));
        const QPointF square = shown.topLeft() + QPointF(2, 2);
        QCOMPARE(pixel(canvas, square), QColor(Qt::white));
        QCOMPARE(pixel(canvas, square + QPointF(ReviewCanvas::kChecker, 0)),
                 QColor(0xcc, 0xcc, 0xcc));
        const QPointF opaque = shown.center() + QPointF(shown.width() / 4, 0);
        QCOMPARE(pixel(canvas, opaque), QColor(Qt::blue));

        // 100 %: one screen pixel per saved pixel; Ctrl+0 fits again; the wheel zooms in.
        QTest::keyClick(&review, Qt::Key_1, Qt::ControlModifier);
        QCOMPARE(canvas->zoom(), 1.0);
        QCOMPARE(canvas->pictureRect().size(), QSizeF(600, 400));
        QTest::keyClick(&review, Qt::Key_0, Qt::ControlModifier);
        QVERIFY(canvas->isFitted());
        const qreal fitted = canvas->zoom();
        QWheelEvent wheel(canvas->rect().center(), canvas->mapToGlobal(canvas->rect().center()), {},
                          QPoint(0, 240), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(canvas, &wheel);
        QCOMPARE(canvas->zoom(), fitted * 1.25 * 1.25);
        // Dragging pans a picture larger than the canvas.
        QTest::keyClick(&review, Qt::Key_Plus, Qt::ControlModifier);
        const QPointF before = canvas->pictureRect().topLeft();
        QTest::mousePress(canvas, Qt::LeftButton, {}, QPoint(200, 150));
        QTest::mouseMove(canvas, QPoint(150, 120));
        QTest::mouseRelease(canvas, Qt::LeftButton, {}, QPoint(150, 120));
        QCOMPARE(canvas->pictureRect().topLeft(), before + QPointF(-50, -30));
        QTest::keyClick(&review, Qt::Key_0, Qt::ControlModifier);

        // Space held shows the source in the result's place; the split shows it on the left.
        shown = canvas->pictureRect();
        const QPointF clear = shown.topLeft() + QPointF(shown.width() / 4, shown.height() / 2);
        QTest::keyPress(&review, Qt::Key_Space);
        QCOMPARE(pixel(canvas, clear), QColor(Qt::red));
        QCOMPARE(pixel(canvas, opaque), QColor(Qt::red));
        QTest::keyRelease(&review, Qt::Key_Space);
        QVERIFY(pixel(canvas, clear) != QColor(Qt::red));
        review.findChild<QSlider*>("beforeAfter")->setValue(50);
        QCOMPARE(pixel(canvas, clear), QColor(Qt::red));
        QCOMPARE(pixel(canvas, opaque), QColor(Qt::blue));
        review.findChild<QSlider*>("beforeAfter")->setValue(0);

        // Backdrops.
        auto* backdrop = review.findChild<QComboBox*>("backdrop");
        backdrop->setCurrentIndex(int(ReviewCanvas::Backdrop::Black));
        QCOMPARE(pixel(canvas, clear), QColor(Qt::black));
        review.setChosenColor(QColor(0, 200, 0));
        backdrop->setCurrentIndex(int(ReviewCanvas::Backdrop::Chosen));
        QCOMPARE(pixel(canvas, clear), QColor(0, 200, 0));

        // Right goes to the next result; a small one keeps its size; no source, no split.
        QTest::keyClick(&review, Qt::Key_Right);
        QTRY_VERIFY(review.hasPicture());
        QCOMPARE(review.currentPath(), second.result);
        QCOMPARE(canvas->zoom(), 1.0);
        QVERIFY(!review.findChild<QSlider*>("beforeAfter")->isEnabled());
        QTest::keyClick(&review, Qt::Key_Escape);
        QVERIFY(!review.isVisible());
    }

    // The status line follows the rows and the run; the estimate comes after three images.
    void progressOfARun() {
        Fixture f;
        ViewController& w = f.open(f.images(5));
        RunProgressPanel* panel = w.progressPanel();
        qint64 now = 0;
        panel->setClock([&now] { return now; });
        QVERIFY(!panel->isVisible());
        emit w.run().runStateChanged(RunState::Running);
        QVERIFY(panel->isVisible());
        QCOMPARE(panel->timeLabel()->text(), QStringLiteral("0:00 elapsed"));
        for (int row = 0; row < 4; ++row) {
            now += 2000;
            setRow(w, row, row == 1 ? RowStatus::Failed : RowStatus::Done);
            setRow(w, row, row == 1 ? RowStatus::Failed : RowStatus::Done);  // counted once
            if (row == 1) QCOMPARE(panel->timeLabel()->text(), QStringLiteral("0:04 elapsed"));
        }
        QCOMPARE(panel->timeLabel()->text(), QStringLiteral("0:08 elapsed · about 0:02 left"));
        QCOMPARE(panel->bar()->value(), 4);
        QCOMPARE(panel->bar()->maximum(), 5);
        now += 3000;
        setRow(w, 4, RowStatus::Done);
        QSignalSpy ended(panel, &RunProgressPanel::runEnded);
        emit w.run().runStateChanged(RunState::Finished);
        QCOMPARE(ended.size(), 1);
        now += 60000;  // the clock stops with the run
        QCOMPARE(panel->timeLabel()->text(), QStringLiteral("0:11 elapsed"));
        QCOMPARE(panel->summaryLabel()->text(), QStringLiteral("4 done · 1 failed"));
        w.queue().resetList();
        QVERIFY(!panel->isVisible());
    }

    // The notification and file-manager messages, built and checked but never sent.
    void desktopMessages() {
        QTemporaryDir dir;
        const Pictures pictures(dir);
        RecordingOpener opener;
        FakeBus bus;
        DesktopIntegration desktop(opener);
        desktop.setBus(&bus);
        const RunProgress::Counts counts{297, 3, 0};
        QVERIFY(!desktop.notifyRunEnded(RunState::Finished, counts, dir.path()));  // no service
        bus.services << DesktopIntegration::kNotifications << DesktopIntegration::kFileManager;
        QVERIFY(!desktop.notifyRunEnded(RunState::Ready, counts, dir.path()));  // user stopped
        QVERIFY(bus.sent.isEmpty());
        QVERIFY(desktop.notifyRunEnded(RunState::Finished, counts, dir.path()));
        const QDBusMessage notify = bus.sent.takeFirst();
        QCOMPARE(notify.service() + notify.path() + ' ' + notify.member(),
                 "org.freedesktop.Notifications/org/freedesktop/Notifications Notify");
        const QVariantList args = notify.arguments();
        QCOMPARE(args.size(), 8);
        QCOMPARE(args.at(3).toString() + '|' + args.at(4).toString(),
                 QStringLiteral("Batch finished|297 done · 3 failed"));
        QVERIFY(args.at(5).toStringList().contains(DesktopIntegration::kOpenFolderAction));
        bus.invoke(8, DesktopIntegration::kOpenFolderAction);  // another application's
        QVERIFY(opener.opened.isEmpty());
        bus.invoke(7, DesktopIntegration::kOpenFolderAction);
        QCOMPARE(opener.opened, QList<QUrl>{QUrl::fromLocalFile(dir.path())});

        desktop.setLauncherProgress(0.25, true);
        const QDBusMessage update = bus.sent.takeFirst();
        QCOMPARE(update.type(), QDBusMessage::SignalMessage);
        QCOMPARE(update.interface() + '.' + update.member(),
                 "com.canonical.Unity.LauncherEntry.Update");
        QCOMPARE(update.arguments().at(0).toString(), "application://app.vorpane.Vorpane.desktop");
        const QVariantMap properties = update.arguments().at(1).toMap();
        QCOMPARE(properties.value("progress").toDouble(), 0.25);
        QCOMPARE(properties.value("progress-visible").toBool(), true);

        // Show in folder: the file manager selects the file, or the folder opens without one.
        QVERIFY(desktop.showInFolder(pictures.result));
        const QDBusMessage show = bus.sent.takeFirst();
        QCOMPARE(show.member(), QStringLiteral("ShowItems"));
        QCOMPARE(show.arguments().at(0).toStringList(),
                 QStringList{QUrl::fromLocalFile(pictures.result).toString()});
        bus.services.clear();
        QVERIFY(desktop.showInFolder(pictures.result));
        QCOMPARE(opener.opened.last(), QUrl::fromLocalFile(dir.path()));
        opener.canOpen = false;
        QVERIFY(!desktop.openFolder(dir.path()));
    }

    // Through the window: a done row's menu, the hover over both cells, and the end of a run
    // while the user looks elsewhere.
    void windowAndDesktop() {
        Fixture f;
        const Pictures pictures(f.t.dir);
        ViewController& w = f.open({pictures.source, writeImage(f.t.dir.filePath("b.png"))});
        FakeBus bus;
        bus.services << DesktopIntegration::kNotifications << DesktopIntegration::kFileManager;
        w.desktop().setBus(&bus);
        ImageListView* list = w.list();
        QTRY_VERIFY(list->imageCell(1));
        setRow(w, 0, RowStatus::Done, QStringLiteral(" 600x400"), pictures.result);

        // The pointer over the status column highlights the row and shows its delete button;
        // the done mark stays where it was.
        ImageCell* cell = list->imageCell(0);
        const int markX = cell->imgComplete()->x();
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(list->outputCell(0), &enter);
        QTRY_VERIFY(cell->isRowHighlighted() && cell->btnDelete()->isVisible());
        QCOMPARE(cell->imgComplete()->x(), markX);

        openRowMenu(list, 0, 1);
        auto* menu = list->findChild<QMenu*>(QStringLiteral("rowMenu"));
        QVERIFY(menu);
        QStringList titles;
        for (QAction* a : menu->actions()) titles << a->text();
        QCOMPARE(titles, (QStringList{"Review", "Show in Folder", "", "Delete"}));
        menu->actions().at(1)->trigger();
        menu->close();
        QCOMPARE(bus.sent.takeLast().member(), QStringLiteral("ShowItems"));
        menu->actions().at(0)->trigger();
        QVERIFY(w.preview() && w.preview()->isVisible());
        QCOMPARE(w.preview()->currentPath(), pictures.result);
        w.preview()->close();

        // A run that ends while another window is active is told on the desktop.
        QWidget elsewhere;
        elsewhere.show();
        elsewhere.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
        bus.sent.clear();
        emit w.run().runStateChanged(RunState::Running);
        setRow(w, 1, RowStatus::Failed);
        emit w.run().runStateChanged(RunState::Finished);
        QStringList members;
        for (const QDBusMessage& m : bus.sent) members << m.member();
        QCOMPARE(members, (QStringList{"Update", "Update", "Update", "Notify"}));
        QCOMPARE(bus.sent.last().arguments().at(4).toString(), QStringLiteral("1 done · 1 failed"));
    }

    // Every menu action does what its button does; one row per action, and no action untested.
    void menuActionsReachTheButtons() {
        Fixture f;
        const QStringList images = f.images(3);
        ViewController& w = f.open(images);
        QTRY_VERIFY(w.list()->imageCell(2));
        QList<bool> chooser;
        w.setPathChooser([&chooser](bool folders) { return chooser << folders, QStringList(); });
        const auto pressed = [&w](const char* button) {
            return std::make_shared<QSignalSpy>(outlet<QPushButton>(w, button),
                                                &QAbstractButton::clicked);
        };
        const auto clicks = std::map<QString, std::shared_ptr<QSignalSpy>>{
            {"actionOpenFolder", pressed("btnOpenFolder")},
            {"actionSettings", pressed("btnSettings")},
            {"actionClearList", pressed("btnClearList")},
            {"actionRetryFailed", pressed("btnRetryFailed")},
            {"actionStart", pressed("btnStart")}};
        const std::map<QString, std::function<bool()>> effects{
            {"actionAddImages", [&] { return chooser == QList<bool>{false}; }},
            {"actionAddFolder",
             [&] {
                 return chooser == QList<bool>{false, true};
             }},
            {"actionOpenFolder",
             [&] { return f.t.opener.opened.value(0) == QUrl::fromLocalFile(f.t.dir.path()); }},
            {"actionSettings", [&] { return QTest::qWaitFor([&] { return w.sheet(); }); }},
            {"actionQuit", [&] { return !w.isVisible(); }},
            {"actionDelete", [&] { return w.queue().count() == 2; }},
            {"actionRetryFailed",
             [&] {
                 // The failed row is sent again (the scripted service has no answer for it).
                 return QTest::qWaitFor([&] {
                     return f.server.requestCount("/api/v1/remove_image_background") >= 1 &&
                            !w.run().isRunning() && w.run().runState() != RunState::Checking;
                 });
             }},
            {"actionClearList",
             [&] { return QTest::qWaitFor([&] { return !w.queue().count(); }); }},
            {"actionStart", [&] { return w.run().runState() != RunState::Ready; }},
            {"actionShortcuts",
             [&] {
                 return w.menus()->helpDialog()->objectName() == "shortcutsDialog" &&
                        w.menus()->helpDialog()->text().contains("Ctrl+Shift+O");
             }},
            {"actionAbout", [&] {
                 const QString text = w.menus()->helpDialog()->text();
                 return text.contains("Vorpane 1.0.0") && text.contains(qVersion()) &&
                        text.contains("OpenCV") && text.contains("SQLite") &&
                        text.contains("cpp-httplib") && text.contains("QtKeychain");
             }}};
        QStringList walked;
        // Quit goes last, Start after Clear List on a new list.
        QList<QAction*> actions = w.menus()->actions();
        std::stable_sort(actions.begin(), actions.end(), [](QAction* a, QAction* b) {
            const auto rank = [](QAction* x) {
                return x->objectName() == "actionQuit" ? 2 : x->objectName() == "actionStart";
            };
            return rank(a) < rank(b);
        });
        for (QAction* action : actions) {
            const QString name = action->objectName();
            QVERIFY2(effects.count(name), qPrintable("no test for " + name));
            if (w.sheet()) w.sheet()->reject();
            if (name == "actionDelete") {
                w.activateWindow();
                QVERIFY(QTest::qWaitForWindowActive(&w));
                w.list()->setFocus();
                w.list()->setCurrentIndex(w.list()->model()->index(1, 0));
            }
            if (name == "actionRetryFailed") {
                setRow(w, 0, RowStatus::Failed);
                emit w.run().retriableFailedChanged(1);
                QVERIFY(outlet(w, "btnRetryFailed")->isVisibleTo(&w));
            }
            if (name == "actionStart") {
                w.queue().admitPaths(images, false);
                QTRY_VERIFY(outlet(w, "btnStart")->isVisible());
            }
            action->trigger();
            QVERIFY2(effects.at(name)(), qPrintable(name));
            if (clicks.count(name)) QVERIFY2(clicks.at(name)->size() == 1, qPrintable(name));
            walked << name;
        }
        QCOMPARE(walked.size(), int(effects.size()));
    }

    // The choices come back in a new window on the same settings, except after a first launch.
    void rememberedChoices() {
        Fixture f;
        QTemporaryDir folder;
        {
            ViewController& w = f.open();
            w.setPathChooser([&](bool) { return QStringList{folder.path()}; });
            w.chooseFolder();
            outlet<QComboBox>(w, "btnOutputType")->setCurrentText("JPG");
            w.options().colorDidChange(QColor(30, 144, 255));
            w.resize(1010, 700);
            w.close();
        }
        ViewController& again = f.open();  // a new window on the same settings
        QCOMPARE(again.options().imgFormat, QStringLiteral("jpg"));
        QVERIFY(again.options().isColored && !again.options().transparentEnabled);
        QCOMPARE(again.options().selectedColor, QStringLiteral("#1E90FF"));
        QCOMPARE(outlet<QComboBox>(again, "btnOutputType")->currentText(), QStringLiteral("JPG"));
        QCOMPARE(again.remembered().lastAddFolder(), folder.path());
        QCOMPARE(again.size(), QSize(1010, 700));

        // Values of the wrong form are ignored.
        f.t.settings.setString(UserDefaultKeys::outputFormat, "gif");
        f.t.settings.setString(UserDefaultKeys::backgroundColor, "red");
        f.t.settings.setString(UserDefaultKeys::backgroundType, "transparent");
        ViewController& odd = f.open();
        QCOMPARE(odd.options().imgFormat + odd.options().selectedColor, QStringLiteral("png"));
        QVERIFY(!odd.options().isColored);

        // The first-launch wipe clears them with the rest.
        f.t.settings.setBool(UserDefaultKeys::isFirst, false);
        f.t.settings.setString(UserDefaultKeys::outputFormat, "jpg");
        ViewController& first = f.open();
        QCOMPARE(first.options().imgFormat, QStringLiteral("png"));
        QCOMPARE(first.remembered().lastAddFolder(), QString());
    }

    void serviceLogIsQuietUnlessVerbose() {
        QVERIFY(!lcService().isDebugEnabled() && !lcUi().isDebugEnabled());
        ConsoleLog::enableVerbose();
        QVERIFY(lcService().isDebugEnabled() && lcUi().isDebugEnabled());
        QLoggingCategory::setFilterRules(QString());
    }
};

QTEST_MAIN(ReviewTest)
#include "tst_review.moc"
