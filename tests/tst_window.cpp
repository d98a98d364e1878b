#include "AppDelegate.h"
#include "BusyIndicator.h"
#include "Button.h"
#include "ColorSwatch.h"
#include "DragDropView.h"
#include "ElidedLabel.h"
#include "GetStartView.h"
#include "ImageCell.h"
#include "ImageListModel.h"
#include "ImageListView.h"
#include "ImagePreview.h"
#include "OutputCell.h"
#include "ScriptedServer.h"
#include "ServiceSession.h"
#include "SheetVC.h"
#include "TestContext.h"
#include "ThumbnailCache.h"
#include "ThumbnailView.h"
#include "UserDefaultKeys.h"
#include "ViewController.h"

#include <QAccessible>
#include <QColorDialog>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QScrollBar>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QtTest>
#include <atomic>
#include <memory>

namespace {

Constant serviceOf(const ScriptedServer& server) {
    return *Constant::fromServiceUrl(server.baseUrl().toString());
}

QByteArray pngBytes(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(40, 120, 200));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QString writeImage(const QString& path, int width = 120, int height = 90) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.setPixel(x, y, qRgb(x * 2 % 256, y * 2 % 256, 160));
    if (!image.save(path)) qWarning("could not write %s", qPrintable(path));
    return path;
}

void writeText(const QString& path) {
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) f.write("text");
}

// A service that knows every endpoint the window uses. Results are `resultWidth` by
// `resultHeight` PNG pictures; background removal answers after `delayMs`.
struct FakeService {
    ScriptedServer server;
    std::atomic<int> results{0};
    std::atomic<int> credit{10};
    int delayMs = 0;

    bool start() {
        server.setHandler([this](const RecordedRequest& request) {
            const QByteArray path = request.path;
            if (path.endsWith("/get_app_version"))
                return ScriptedReply::json(200, R"({"app_version":"1.0","update_type":"none"})");
            if (path.endsWith("/credit_check"))
                return ScriptedReply::json(
                    200, QByteArray("{\"other_remain_credit\":") +
                             QByteArray::number(credit.load()) +
                             ",\"pay_as_you "
                             "_go_plan_remain_credit\":0,\"subscription_plan_remain_credit\":0}");
            if (path.endsWith("/remove_image_background")) {
                const int n = ++results;
                credit = credit - 1;
                const QByteArray url =
                    server.url(QStringLiteral("/results/out%1.png").arg(n)).toEncoded();
                return ScriptedReply::json(
                           200, "{\"output_image_url\":\"" + url +
                                    "\",\"ff_credit\":" + QByteArray::number(credit.load()) +
                                    ",\"tp_credit\":0,\"sp_credit\":0}")
                    .withDelay(delayMs);
            }
            if (path.startsWith("/results/"))
                return ScriptedReply::bytes(200, "image/png", pngBytes(64, 48));
            return ScriptedReply::json(404, R"({"error":"Not found"})");
        });
        return server.start();
    }
};

// The settings of a user who has passed the get-start screen.
void signIn(TestContext& t, const QString& key = QStringLiteral("test-key")) {
    t.settings.setBool(UserDefaultKeys::isFirst, true);
    t.settings.setString(UserDefaultKeys::apiKey, key);
    QDir(t.dir.path()).mkpath(QStringLiteral("out"));
    t.settings.setString(UserDefaultKeys::outputFolder, t.dir.filePath(QStringLiteral("out")));
}

template <typename T = QWidget>
T* outlet(const QWidget& window, const char* name) {
    T* widget = window.findChild<T*>(QString::fromLatin1(name));
    if (!widget) qWarning("no outlet %s", name);
    return widget;
}

QString mark(const QWidget& window, const char* name) {
    return outlet<QLabel>(window, name)->property("mark").toString();
}

QStringList queuedNames(ViewController& w) {
    QStringList out;
    if (w.queue().arrTableData)
        for (const auto& r : *w.queue().arrTableData) out.append(r->imageName.value_or(QString()));
    return out;
}

void setRow(ViewController& w, int row, RowStatus status, const QString& text,
            const QString& file = {}) {
    const DataModelPtr record = w.queue().at(row);
    record->status = status;
    record->statusText = text;
    record->outputFile = file;
    w.queue().notifyRowChanged(record.get());
}

bool sendDrag(QWidget* target, QMimeData* data, bool* dropAccepted) {
    const QPoint pos = target->rect().center();
    QDragEnterEvent enter(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDragMoveEvent move(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    QDropEvent drop(pos, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    *dropAccepted = drop.isAccepted();
    return enter.isAccepted() && move.isAccepted();
}

}  // namespace

class WindowTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    // Empty list, list, running, run ended: what the controls show in each state.
    void windowStatesFollowTheQueueAndTheRun() {
        FakeService service;
        service.delayMs = 150;
        QVERIFY(service.start());
        TestContext t(serviceOf(service.server));
        signIn(t);
        ServiceSession session;
        ViewController w(t.context, session);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(!w.getStartView());
        QCOMPARE(w.windowTitle(), QStringLiteral("Vorpane for MAC"));
        QTRY_VERIFY(outlet<QLabel>(w, "lblRemainCredit")
                        ->text()
                        .contains(QStringLiteral("Total credits: 10")));

        // Empty list.
        QVERIFY(outlet(w, "imageView")->isVisible());
        QVERIFY(outlet(w, "dragView")->isVisible());
        QVERIFY(!outlet(w, "contentScroll")->isVisible());
        QVERIFY(!outlet(w, "BottomView")->isVisible());
        QVERIFY(outlet(w, "btnAdd")->isEnabled());
        QVERIFY(outlet(w, "btnClearList")->isEnabled());

        // Ctrl+O: the open dialog's files, in its order.
        QStringList chosen;
        for (const char* n : {"one.png", "two.jpg", "three.png"})
            chosen.append(writeImage(t.dir.filePath(QString::fromLatin1(n))));
        bool askedForFolders = true;
        w.setPathChooser([&](bool folders) {
            askedForFolders = folders;
            return chosen;
        });
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTest::keyClick(&w, Qt::Key_O, Qt::ControlModifier);
        QVERIFY(!askedForFolders);
        QCOMPARE(queuedNames(w), (QStringList{"one.png", "two.jpg", "three.png"}));

        // List.
        QTRY_VERIFY(outlet(w, "contentScroll")->isVisible());
        QVERIFY(!outlet(w, "imageView")->isVisible());
        QVERIFY(outlet(w, "BottomView")->isVisible());
        QVERIFY(outlet(w, "lblRemainCredit")->isVisible());
        QCOMPARE(outlet<QLabel>(w, "lblUploadCount")->text(), QStringLiteral("Finished 0 of 3"));
        QCOMPARE(w.list()->model()->rowCount(), 3);
        auto* start = outlet<QPushButton>(w, "btnStart");
        QCOMPARE(start->text(), QStringLiteral("START"));
        QVERIFY(start->isEnabled());

        // Running (Ctrl+Return presses START).
        QTest::keyClick(&w, Qt::Key_Return, Qt::ControlModifier);
        QTRY_COMPARE(start->text(), QStringLiteral("STOP"));
        QTRY_VERIFY(!outlet(w, "dragView")->isVisible());
        QVERIFY(!outlet(w, "btnAdd")->isEnabled());
        QVERIFY(!outlet(w, "btnClearList")->isEnabled());
        QTRY_VERIFY(w.list()->imageCell(0)->progressIndicator()->isVisible());
        QVERIFY(w.list()->imageCell(0)->progressIndicator()->isAnimating());
        QVERIFY(!w.list()->imageCell(0)->btnDelete()->isEnabled());
        // No adding while the run goes on, not even by the shortcut.
        QTest::keyClick(&w, Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(w.queue().count(), 3);

        // Run ended.
        QTRY_COMPARE_WITH_TIMEOUT(outlet<QLabel>(w, "lblUploadCount")->text(),
                                  QStringLiteral("Finished 3 of 3"), 10000);
        QVERIFY(outlet(w, "dragView")->isVisible());
        QVERIFY(outlet(w, "btnAdd")->isEnabled());
        QVERIFY(outlet(w, "btnClearList")->isEnabled());
        QCOMPARE(start->text(), QStringLiteral("START"));
        QVERIFY(!start->isEnabled());
        for (int row = 0; row < 3; ++row) {
            QVERIFY(w.list()->imageCell(row)->imgComplete()->isVisible());
            QVERIFY(!w.list()->imageCell(row)->progressIndicator()->isVisible());
            QCOMPARE(w.list()->outputCell(row)->lblStatus()->fullText(), QStringLiteral(" 64x48"));
            QVERIFY(w.list()->outputCell(row)->imgZoom()->isVisible());
        }
        QTRY_VERIFY(outlet<QLabel>(w, "lblRemainCredit")
                        ->text()
                        .contains(QStringLiteral("Total credits: 7")));

        // CLEAR LIST returns to the empty state.
        QTest::mouseClick(outlet<QPushButton>(w, "btnClearList"), Qt::LeftButton);
        QTRY_VERIFY(outlet(w, "imageView")->isVisible());
        QVERIFY(!outlet(w, "contentScroll")->isVisible());
        QVERIFY(start->isEnabled());
        QCOMPARE(w.list()->model()->rowCount(), 0);
    }

    // Every control can be reached with Tab and says what it is.
    void controlsHaveAccessibleNamesAndTakeFocus() {
        FakeService service;
        QVERIFY(service.start());
        TestContext t(serviceOf(service.server));
        signIn(t);
        ServiceSession session;
        ViewController w(t.context, session);
        w.queue().admitPaths({writeImage(t.dir.filePath(QStringLiteral("a.png")))}, true);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTRY_VERIFY(w.list()->imageCell(0));
        setRow(w, 0, RowStatus::Done, QStringLiteral(" 1x1"));
        QList<QWidget*> controls;
        for (QAbstractButton* b : w.findChildren<QAbstractButton*>()) controls.append(b);
        controls.append(outlet(w, "btnOutputType"));
        controls.append(w.list());
        int checked = 0;
        for (QWidget* control : controls) {
            if (!control->isVisible()) continue;
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(control);
            QVERIFY2(a && !a->text(QAccessible::Name).trimmed().isEmpty(),
                     qPrintable(control->objectName()));
            QVERIFY2(control->focusPolicy() & Qt::TabFocus, qPrintable(control->objectName()));
            ++checked;
        }
        QVERIFY(checked >= 11);  // header, footer, list and the row's own zoom button
    }

    void getStartOverlayAtFirstLaunchEvenWithAnOldKey() {
        FakeService service;
        QVERIFY(service.start());
        TestContext t(serviceOf(service.server));
        t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("old-key"));  // no "isFirst"
        ServiceSession session;
        ViewController w(t.context, session);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(w.getStartView());
        QCOMPARE(t.settings.apiKey(), QString());
        QVERIFY(w.getStartView()->isVisible());
        QCOMPARE(w.getStartView()->geometry(), w.centralWidget()->rect());
        QVERIFY(!outlet(w, "btnAdd")->isVisible());
        QVERIFY(!outlet(w, "btnSettings")->isVisible());
        QTRY_COMPARE(w.getStartView()->opacity(), 1.0);  // faded in

        // "Get Started": fades out, remembers the user, opens the settings sheet.
        QTest::mouseClick(w.getStartView()->btnGetStart(), Qt::LeftButton);
        QVERIFY(!t.settings.boolValue(UserDefaultKeys::isFirst));  // only once the fade ends
        QTRY_VERIFY_WITH_TIMEOUT(!w.getStartView(), 3000);
        QVERIFY(t.settings.boolValue(UserDefaultKeys::isFirst));
        QVERIFY(outlet(w, "btnAdd")->isVisible());
        QVERIFY(outlet(w, "btnSettings")->isVisible());
        QVERIFY(w.sheet());
        QTRY_VERIFY(w.sheet()->isVisible());
    }

    void getStartOverlayWhileTheKeyIsEmptyOnly_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("overlay");
        QTest::newRow("empty key") << QString() << true;
        QTest::newRow("stored key") << QStringLiteral("k") << false;
    }
    void getStartOverlayWhileTheKeyIsEmptyOnly() {
        QFETCH(QString, key);
        QFETCH(bool, overlay);
        FakeService service;
        QVERIFY(service.start());
        TestContext t(serviceOf(service.server));
        signIn(t, key);
        ServiceSession session;
        ViewController w(t.context, session);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.getStartView() != nullptr, overlay);
        QCOMPARE(outlet(w, "btnAdd")->isVisible(), !overlay);
        // The launch's version check is followed by the credit check in both cases.
        QVERIFY(service.server.waitForRequests(2, 5000));
        QCOMPARE(service.server.requestCount("/api/v1/credit_check"), 1);
    }

    void backgroundAndFormatControls() {
        FakeService service;
        QVERIFY(service.start());
        TestContext t(serviceOf(service.server));
        signIn(t);
        ServiceSession session;
        ViewController w(t.context, session);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* format = outlet<QComboBox>(w, "btnOutputType");
        auto* transparent = outlet<QPushButton>(w, "btnTransparent");
        auto* colored = outlet<QPushButton>(w, "btnColored");
        auto* colorButton = outlet<QPushButton>(w, "btnColor");
        auto* swatch = outlet<ColorSwatch>(w, "dropperView");
        QCOMPARE(mark(w, "imgTransparent"), QStringLiteral("radio"));
        QCOMPARE(mark(w, "imgColored"), QStringLiteral("empty"));

        format->setCurrentText(QStringLiteral("JPG"));
        QCOMPARE(w.options().imgFormat, QStringLiteral("jpg"));
        QVERIFY(!transparent->isEnabled());
        QCOMPARE(mark(w, "imgColored"), QStringLiteral("radio"));
        QCOMPARE(mark(w, "imgTransparent"), QStringLiteral("empty"));
        format->setCurrentText(QStringLiteral("PNG"));
        QVERIFY(transparent->isEnabled());
        QCOMPARE(mark(w, "imgColored"), QStringLiteral("radio"));

        // The colour control opens the one colour panel, with the alpha channel.
        QTest::mouseClick(colorButton, Qt::LeftButton);
        QColorDialog* panel = w.colorPanel();
        QVERIFY(panel && panel->isVisible());
        QVERIFY(panel->testOption(QColorDialog::ShowAlphaChannel));
        QVERIFY(!panel->isModal());
        QVERIFY(w.options().isOpenColorPanel);
        panel->setCurrentColor(QColor(0, 255, 0));
        QCOMPARE(w.options().selectedColor, QStringLiteral("#00FF00"));
        QCOMPARE(swatch->color(), QColor(0, 255, 0));
        panel->setCurrentColor(QColor(0, 255, 0, 128));
        QCOMPARE(w.options().selectedColor, QStringLiteral("#00FF00"));
        QCOMPARE(swatch->color().alpha(), 128);
        QTest::mouseClick(colorButton, Qt::LeftButton);
        QVERIFY(!panel->isVisible());
        QVERIFY(!w.options().isOpenColorPanel);
        QCOMPARE(mark(w, "imgColored"), QStringLiteral("radio"));

        // Closed by a format choice: the flag stays, so the next press only clears it.
        QTest::mouseClick(colorButton, Qt::LeftButton);
        QVERIFY(panel->isVisible());
        format->setCurrentText(QStringLiteral("JPG"));
        QVERIFY(!panel->isVisible());
        QVERIFY(w.options().isOpenColorPanel);
        QTest::mouseClick(colorButton, Qt::LeftButton);
        QVERIFY(!panel->isVisible());
        QTest::mouseClick(colorButton, Qt::LeftButton);
        QVERIFY(panel->isVisible());

        // Transparent: panel closed, colour and swatch cleared.
        format->setCurrentText(QStringLiteral("PNG"));
        QTest::mouseClick(transparent, Qt::LeftButton);
        QVERIFY(!panel->isVisible());
        QCOMPARE(w.options().selectedColor, QString());
        QCOMPARE(swatch->color().alpha(), 0);
        QCOMPARE(mark(w, "imgTransparent"), QStringLiteral("radio"));
        QTest::mouseClick(colored, Qt::LeftButton);
        QCOMPARE(mark(w, "imgColored"), QStringLiteral("radio"));
        QCOMPARE(w.options().selectedColor, QString());

        // Quitting closes the panel.
        AppDelegate delegate(w);
        QTest::mouseClick(colorButton, Qt::LeftButton);
        QVERIFY(panel->isVisible());
        QVERIFY(QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection));
        QVERIFY(!panel->isVisible());
        QVERIFY(delegate.statusItem() && !delegate.statusItem()->isVisible());
        QCOMPARE(AppDelegate::quote(),
                 QString::fromUtf8("Never put off until tomorrow what you can do the day after "
                                   "tomorrow. \xE2\x80\x94 Mark Twain"));
    }

    void dropTargetRefusesTextAndQueuesFilesAndFolders() {
        FakeService service;
        QVERIFY(service.start());
        TestContext t(serviceOf(service.server));
        signIn(t);
        ServiceSession session;
        ViewController w(t.context, session);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        DragDropView* drop = w.dragView();

        QMimeData text;
        text.setText(QStringLiteral("/etc/passwd"));
        bool dropped = true;
        QVERIFY(!sendDrag(drop, &text, &dropped));
        QVERIFY(!dropped);
        QVERIFY(!drop->fileTypeIsOk());
        QCOMPARE(w.queue().count(), 0);

        // A folder first, then a plain file of any type: the folder is filtered, the file taken.
        QTemporaryDir folder;
        for (const char* n : {"a.png", "c.jpeg"})
            writeImage(folder.filePath(QString::fromLatin1(n)));
        for (const char* n : {"b.JPG", "notes.txt"})
            writeText(folder.filePath(QString::fromLatin1(n)));
        const QString readme = t.dir.filePath(QStringLiteral("readme.txt"));
        writeText(readme);
        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(folder.path()), QUrl::fromLocalFile(readme)});
        QVERIFY(sendDrag(drop, &files, &dropped));
        QVERIFY(dropped);
        QVERIFY(drop->fileTypeIsOk());
        QCOMPARE(queuedNames(w), (QStringList{"a.png", "c.jpeg", "readme.txt"}));
        QCOMPARE(
            t.alerts.messages(),
            QStringList{QStringLiteral("2 files could not be added. Only add png and jpg images")});
        QCOMPARE(drop->droppedFilePath(), readme);

        // Dropping on the list counts as dropping on the drop area.
        QTRY_VERIFY(w.list()->isVisible());
        const QString more = writeImage(t.dir.filePath(QStringLiteral("more.png")));
        QMimeData again;
        again.setUrls({QUrl::fromLocalFile(more), QUrl::fromLocalFile(readme)});
        QVERIFY(sendDrag(w.list()->viewport(), &again, &dropped));
        QVERIFY(dropped);
        QCOMPARE(queuedNames(w), (QStringList{"a.png", "c.jpeg", "readme.txt", "more.png"}));
        QCOMPARE(t.alerts.messages().last(), QStringLiteral("Image is already in the list!"));

        // A drag that was refused does not spoil the next one.
        QVERIFY(!sendDrag(drop, &text, &dropped));
        QVERIFY(sendDrag(drop, &files, &dropped));
    }

    // Rows show the state the queue holds, whichever cell shows them and whenever it is made.
    void rowsShowTheirTrueStateAfterScrollingAndDeleting() {
        FakeService service;
        QVERIFY(service.start());
        TestContext t(serviceOf(service.server));
        signIn(t);
        ServiceSession session;
        ViewController w(t.context, session);
        QStringList paths;
        for (int i = 0; i < 40; ++i)
            paths.append(writeImage(
                t.dir.filePath(QStringLiteral("photo%1.png").arg(i, 2, 10, QLatin1Char('0')))));
        w.queue().admitPaths(paths, false);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        ImageListView* list = w.list();
        QTRY_COMPARE(list->model()->rowCount(), 40);
        QTRY_VERIFY(list->imageCell(0));

        const QString result = t.dir.filePath(QStringLiteral("result.png"));
        writeImage(result, 1024, 768);
        setRow(w, 0, RowStatus::Done, QStringLiteral(" 1024x768"), result);
        setRow(w, 1, RowStatus::Failed, QStringLiteral("Image size is larger than 12 MB"));
        QVERIFY(list->imageCell(0)->imgComplete()->isVisible());
        QVERIFY(list->imageCell(1)->imgFailed()->isVisible());

        // Only the rows on screen have cells, and their thumbnails come from the cache.
        const int cells = list->viewport()->findChildren<ImageCell*>().size();
        QVERIFY2(cells < 20, qPrintable(QString::number(cells)));
        QTRY_VERIFY(list->imageCell(0)->thumbnail()->hasImage());
        const QImage thumb = w.thumbnails().thumbnail(paths.first());
        QVERIFY(!thumb.isNull());
        QVERIFY(qMin(thumb.width(), thumb.height()) <= ThumbnailCache::kEdge);

        list->scrollToBottom();
        QTRY_VERIFY(list->imageCell(39));
        QVERIFY(!list->imageCell(0));
        QVERIFY(!list->imageCell(39)->imgComplete()->isVisible());  // a reused cell, waiting row
        QVERIFY(!list->outputCell(39)->lblStatus()->isVisible());
        list->scrollToTop();
        QTRY_VERIFY(list->imageCell(0));
        QVERIFY(list->imageCell(0)->imgComplete()->isVisible());
        QCOMPARE(list->outputCell(0)->lblStatus()->fullText(), QStringLiteral(" 1024x768"));
        QVERIFY(list->outputCell(0)->imgZoom()->isVisible());
        QVERIFY(list->imageCell(1)->imgFailed()->isVisible());
        QCOMPARE(list->outputCell(1)->lblStatus()->fullText(),
                 QStringLiteral("Image size is larger than 12 MB"));
        QVERIFY(!list->imageCell(2)->imgComplete()->isVisible());

        // The context menu's "Delete" removes its row; the others keep their state.
        const QPoint rowPos = list->visualRect(list->model()->index(2, 0)).center();
        QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, rowPos,
                                    list->viewport()->mapToGlobal(rowPos));
        QApplication::sendEvent(list->viewport(), &menuEvent);
        auto* menu = list->findChild<QMenu*>(QStringLiteral("rowMenu"));
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 1);
        QCOMPARE(menu->actions().first()->text(), QStringLiteral("Delete"));
        menu->actions().first()->trigger();
        menu->close();
        QCOMPARE(w.queue().count(), 39);
        QVERIFY(!queuedNames(w).contains(QStringLiteral("photo02.png")));
        QTRY_COMPARE(list->model()->rowCount(), 39);
        QTRY_VERIFY(list->imageCell(2) &&
                    list->imageCell(2)->name() == QStringLiteral("photo03.png"));
        QVERIFY(list->imageCell(0)->imgComplete()->isVisible());
        QVERIFY(list->imageCell(1)->imgFailed()->isVisible());

        // The Delete key removes the row with the keyboard focus.
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        list->setFocus();
        list->setCurrentIndex(list->model()->index(1, 0));
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(w.queue().count(), 38);
        QVERIFY(!queuedNames(w).contains(QStringLiteral("photo01.png")));

        // A row being sent cannot be removed.
        setRow(w, 0, RowStatus::InProgress, QString());
        QVERIFY(!list->deleteRow(0));
        QCOMPARE(w.queue().count(), 38);
    }

    // The pointer over a cell highlights it and shows the row's delete button; Delete then
    // removes that row.
    void hoverShowsTheDeleteButtonAndDeleteKeyRemovesTheHoveredRow() {
        FakeService service;
        QVERIFY(service.start());
        TestContext t(serviceOf(service.server));
        signIn(t);
        ServiceSession session;
        ViewController w(t.context, session);
        w.queue().admitPaths({writeImage(t.dir.filePath(QStringLiteral("a.png"))),
                              writeImage(t.dir.filePath(QStringLiteral("b.png")))},
                             false);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTRY_VERIFY(w.list()->imageCell(1));
        ImageCell* cell = w.list()->imageCell(1);
        const QPointF inside(5, 5);
        QEnterEvent enter(inside, inside, cell->mapToGlobal(inside));
        QEvent leave(QEvent::Leave);

        // An enter and a leave within one turn of the event loop leave the cell as it was.
        QApplication::sendEvent(cell, &enter);
        QApplication::sendEvent(cell, &leave);
        QCoreApplication::processEvents();
        QVERIFY(!cell->isHighlighted());
        QVERIFY(!cell->btnDelete()->isVisible());

        QApplication::sendEvent(cell, &enter);
        QVERIFY(!cell->isHighlighted());  // applied on the next turn
        QTRY_VERIFY(cell->isHighlighted());
        QVERIFY(cell->btnDelete()->isVisible());
        QCOMPARE(w.list()->hoveredRow(), 1);
        QApplication::sendEvent(cell, &leave);
        QTRY_VERIFY(!cell->isHighlighted());
        QVERIFY(!cell->btnDelete()->isVisible());

        // A row where the run halted keeps its delete button.
        setRow(w, 0, RowStatus::FailedHalted, QStringLiteral("Oops! Something went wrong."));
        QVERIFY(w.list()->imageCell(0)->btnDelete()->isVisible());
        QVERIFY(w.list()->imageCell(0)->btnDelete()->isEnabled());

        QApplication::sendEvent(cell, &enter);
        QTRY_VERIFY(cell->isHighlighted());
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTest::keyClick(&w, Qt::Key_Delete);
        QCOMPARE(queuedNames(w), QStringList{QStringLiteral("a.png")});

        // The row's own delete button; the last row gone, the window is empty again.
        QTest::mouseClick(w.list()->imageCell(0)->btnDelete(), Qt::LeftButton);
        QCOMPARE(w.queue().count(), 0);
        QTRY_VERIFY(outlet(w, "imageView")->isVisible());
    }

    void zoomPreviewsTheRowsOwnResult() {
        FakeService service;
        QVERIFY(service.start());
        TestContext t(serviceOf(service.server));
        signIn(t);
        ServiceSession session;
        ViewController w(t.context, session);
        w.queue().admitPaths({writeImage(t.dir.filePath(QStringLiteral("a.png"))),
                              writeImage(t.dir.filePath(QStringLiteral("b.png"))),
                              writeImage(t.dir.filePath(QStringLiteral("c.png")))},
                             false);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTRY_VERIFY(w.list()->outputCell(2));

        const QString second = writeImage(t.dir.filePath(QStringLiteral("out_b.png")), 300, 200);
        setRow(w, 1, RowStatus::Done, QStringLiteral(" 300x200"), second);
        QTest::mouseClick(w.list()->outputCell(1)->imgZoom(), Qt::LeftButton);
        QVERIFY(w.preview() && w.preview()->isVisible());
        QCOMPARE(w.preview()->currentPath(), second);
        QCOMPARE(w.queue().outputIndex, 1);
        QTRY_VERIFY(w.preview()->hasPicture());
        QTest::keyClick(w.preview(), Qt::Key_Space);
        QVERIFY(!w.preview()->isVisible());

        // A row without a saved file, or whose file is gone, opens nothing.
        setRow(w, 2, RowStatus::Done, QStringLiteral(" 1x1"), QString());
        w.previewRecord(w.queue().at(2));
        QVERIFY(!w.preview()->isVisible());
        setRow(w, 2, RowStatus::Done, QStringLiteral(" 1x1"),
               t.dir.filePath(QStringLiteral("gone.png")));
        QTest::mouseClick(w.list()->outputCell(2)->imgZoom(), Qt::LeftButton);
        QVERIFY(!w.preview()->isVisible());
        QCOMPARE(w.preview()->currentPath(), second);

        QTest::mouseClick(w.list()->outputCell(1)->imgZoom(), Qt::LeftButton);
        QVERIFY(w.preview()->isVisible());
        QTest::keyClick(w.preview(), Qt::Key_Escape);
        QVERIFY(!w.preview()->isVisible());
    }

    // The list follows the queue even when a posted insertion arrives after the queue changed.
    void listModelStaysInStepWithTheQueue() {
        TestContext t;
        WindowState state;
        ImageQueue queue(t.context, state);
        ImageListModel model(queue);
        QStringList paths;
        for (const char* n : {"a.png", "b.png", "c.png", "d.png"})
            paths.append(writeImage(t.dir.filePath(QString::fromLatin1(n)), 4, 4));
        queue.admitPaths(paths.mid(0, 3), false);
        QCOMPARE(model.rowCount(), 0);  // insertions are posted
        QVERIFY(queue.deleteImage(1));  // before they arrive
        QCOMPARE(model.rowCount(), 2);
        QCoreApplication::processEvents();
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(model.data(model.index(1, 0)).toString(), QStringLiteral("c.png"));
        queue.admitPaths({paths.at(3)}, false);
        QCoreApplication::processEvents();
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(model.data(model.index(2, 0)).toString(), QStringLiteral("d.png"));
        queue.resetList();
        QCOMPARE(model.rowCount(), 0);
        queue.at(0);  // nothing left
        queue.admitPaths({paths.at(0)}, false);
        queue.clearList();
        QCoreApplication::processEvents();
        QCOMPARE(model.rowCount(), 0);
    }

#ifdef VORPANE_SERVER_PATH
    // Three images through the window against the reference service.
    void fullRunAgainstTheReferenceService() {
        QTemporaryDir serverDir;
        QProcess server;
        server.setProgram(QStringLiteral(VORPANE_SERVER_PATH));
        server.setArguments({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"),
                             serverDir.filePath(QStringLiteral("server.db")),
                             QStringLiteral("--results-dir"),
                             serverDir.filePath(QStringLiteral("results"))});
        server.start();
        QVERIFY(server.waitForStarted());
        auto stopServer = qScopeGuard([&server] {
            server.terminate();
            if (!server.waitForFinished(5000)) server.kill();
        });
        QByteArray out;
        while (out.count('\n') < 2 && server.waitForReadyRead(5000))
            out += server.readAllStandardOutput();
        const QList<QByteArray> lines = out.split('\n');
        QVERIFY2(lines.size() >= 2, out.constData());
        const auto service = Constant::fromServiceUrl(QString::fromUtf8(lines.at(0).trimmed()));
        QVERIFY(service);
        QVERIFY(lines.at(1).startsWith("Demo API key: "));
        const QString key = QString::fromUtf8(lines.at(1).mid(14).trimmed());

        TestContext t(*service);
        signIn(t, key);
        ServiceSession session;
        ViewController w(t.context, session);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* credit = outlet<QLabel>(w, "lblRemainCredit");
        QTRY_VERIFY_WITH_TIMEOUT(credit->text().contains(QStringLiteral("Total credits: 50")),
                                 10000);

        w.queue().admitPaths({writeImage(t.dir.filePath(QStringLiteral("first.png")), 160, 120),
                              writeImage(t.dir.filePath(QStringLiteral("second.jpg")), 200, 100),
                              writeImage(t.dir.filePath(QStringLiteral("third.png")), 90, 160)},
                             true);
        auto* start = outlet<QPushButton>(w, "btnStart");
        QTRY_VERIFY(start->isVisible());
        QTest::mouseClick(start, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(outlet<QLabel>(w, "lblUploadCount")->text(),
                                  QStringLiteral("Finished 3 of 3"), 30000);
        const QStringList sizes{QStringLiteral(" 160x120"), QStringLiteral(" 200x100"),
                                QStringLiteral(" 90x160")};
        for (int row = 0; row < 3; ++row) {
            QCOMPARE(w.queue().at(row)->status, RowStatus::Done);
            QVERIFY(w.list()->imageCell(row)->imgComplete()->isVisible());
            QCOMPARE(w.list()->outputCell(row)->lblStatus()->fullText(), sizes.at(row));
            QVERIFY(QFileInfo(w.queue().at(row)->outputFile).isFile());
        }
        QCOMPARE(start->text(), QStringLiteral("START"));
        QVERIFY(!start->isEnabled());
        QTRY_VERIFY(credit->text().contains(QStringLiteral("Total credits: 47")));
        QVERIFY(t.alerts.entries.isEmpty());
    }
#endif
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
