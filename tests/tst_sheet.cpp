#include "CreditService.h"
#include "ScriptedServer.h"
#include "ServiceSession.h"
#include "SheetPreview.h"
#include "SheetVC.h"
#include "TestContext.h"
#include "UserDefaultKeys.h"

#include <QDeadlineTimer>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {

const QByteArray kVerifyPath = "/api/v1/api_key_verification";

// A main window with its settings sheet, on settings in a temporary folder.
class SheetFixture final {
public:
    explicit SheetFixture(const Constant& service = Constant::defaults()) : t(service) {
        session.setTimeouts(5000, 10000);
        window.resize(640, 420);
        window.show();
        sheet = new SheetVC(t.context, session, &window);
        sheet->setFolderChooser([this](const QString& start) {
            folderChooserStarts.append(start);
            return nextFolder;
        });
        sheet->setImageChooser([this](const QString& folder) {
            imageChooserFolders.append(folder);
            return nextImages;
        });
    }

    template <typename T>
    T* find(const char* name) const {
        T* widget = sheet->findChild<T*>(QLatin1String(name));
        if (!widget) qFatal("no widget %s", name);
        return widget;
    }
    QLineEdit* apiKey() const { return find<QLineEdit>("txtApiKey"); }
    QLineEdit* showPass() const { return find<QLineEdit>("txtShowPass"); }
    QPushButton* button(const char* name) const { return find<QPushButton>(name); }
    QLabel* label(const char* name) const { return find<QLabel>(name); }

    TestContext t;
    ServiceSession session;
    QWidget window;
    SheetVC* sheet = nullptr;
    std::optional<QString> nextFolder;
    std::optional<QStringList> nextImages;
    QStringList folderChooserStarts;
    QStringList imageChooserFolders;
};

Constant serviceAt(const QUrl& base) {
    const auto service = Constant::fromServiceUrl(base.toString());
    if (!service) qFatal("bad service URL");
    return *service;
}

// Types one character as a series of key events, one per entry (an input method may send a
// base letter and its combining accent separately).
void typeUnits(QLineEdit* field, const QStringList& units) {
    for (const QString& unit : units)
        QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, unit, Qt::NoModifier);
}

}  // namespace

class SheetTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void typingIsCappedAt32CharactersInBothFields_data() {
        QTest::addColumn<bool>("inClearField");
        QTest::addColumn<QStringList>("units");  // the key events that make one character
        const QStringList ascii{QStringLiteral("a")};
        const QStringList flag{QStringLiteral("\U0001F1EB\U0001F1F7")};
        const QStringList accented{QStringLiteral("e"), QStringLiteral("\u0301")};
        QTest::newRow("masked, ascii") << false << ascii;
        QTest::newRow("clear, ascii") << true << ascii;
        QTest::newRow("masked, flags") << false << flag;
        QTest::newRow("clear, flags") << true << flag;
        QTest::newRow("masked, e + combining accent") << false << accented;
        QTest::newRow("clear, e + combining accent") << true << accented;
    }
    void typingIsCappedAt32CharactersInBothFields() {
        QFETCH(bool, inClearField);
        QFETCH(QStringList, units);
        SheetFixture f;
        f.sheet->present();
        QLineEdit* target = f.apiKey();
        typeUnits(target, units);
        if (inClearField) {
            QTest::mouseClick(f.button("btnShow"), Qt::LeftButton);
            QVERIFY(f.showPass()->isVisible());
            target = f.showPass();
        }
        for (int i = 1; i < 32; ++i) typeUnits(target, units);
        const QString full = units.join(QString()).repeated(32);
        QCOMPARE(f.apiKey()->text(), full);
        QCOMPARE(f.showPass()->text(), full);

        // The 33rd character goes at once, from both fields; the 32 stay.
        typeUnits(target, {QStringLiteral("z")});
        QCOMPARE(f.apiKey()->text(), full);
        QCOMPARE(f.showPass()->text(), full);
        typeUnits(target, {units.first()});
        QCOMPARE(f.apiKey()->text(), full);
        QCOMPARE(f.showPass()->text(), full);
        // Below the cap, typing works again (Backspace removes one code point: ASCII only).
        if (units == QStringList{QStringLiteral("a")}) {
            QTest::keyClick(target, Qt::Key_Backspace);
            QCOMPARE(f.showPass()->text(), units.join(QString()).repeated(31));
            typeUnits(target, {QStringLiteral("q")});
            QCOMPARE(f.apiKey()->text(), units.join(QString()).repeated(31) + QStringLiteral("q"));
        }
        // A pasted text longer than the cap is cut to it, not merely shortened by one.
        target->selectAll();
        target->insert(units.join(QString()).repeated(40));
        QCOMPARE(f.apiKey()->text(), full);
        QCOMPARE(f.showPass()->text(), full);
    }

    void showButtonFollowsTheFieldsAndRevealingKeepsEdits() {
        SheetFixture f;
        f.sheet->present();
        QPushButton* show = f.button("btnShow");
        QCOMPARE(f.apiKey()->text(), QString());
        QCOMPARE(f.showPass()->text(), QString());
        QVERIFY(f.apiKey()->isVisible());
        QVERIFY(!f.showPass()->isVisible());
        QVERIFY(show->isHidden());

        QTest::keyClicks(f.apiKey(), QStringLiteral("k"));
        QVERIFY(!show->isHidden());
        QTest::keyClick(f.apiKey(), Qt::Key_Backspace);
        QVERIFY(show->isHidden());
        QCOMPARE(f.showPass()->text(), QString());

        QTest::keyClicks(f.apiKey(), QStringLiteral("abc123"));
        QTest::mouseClick(show, Qt::LeftButton);
        QVERIFY(f.showPass()->isVisible());
        QVERIFY(!f.apiKey()->isVisible());
        QCOMPARE(show->text(), QStringLiteral("Hide"));
        QCOMPARE(f.showPass()->text(), QStringLiteral("abc123"));
        QCOMPARE(f.sheet->focusWidget(), f.showPass());

        // Edits in the clear field reach the masked one, and masking keeps them.
        QTest::keyClick(f.showPass(), Qt::Key_Backspace);
        QTest::keyClicks(f.showPass(), QStringLiteral("XY"));
        QCOMPARE(f.apiKey()->text(), QStringLiteral("abc12XY"));
        QTest::mouseClick(show, Qt::LeftButton);
        QVERIFY(f.apiKey()->isVisible());
        QVERIFY(!f.showPass()->isVisible());
        QCOMPARE(show->text(), QStringLiteral("Show"));
        QCOMPARE(f.apiKey()->text(), QStringLiteral("abc12XY"));
        QCOMPARE(f.sheet->focusWidget(), f.apiKey());

        // Emptying the clear field hides the button too.
        QTest::mouseClick(show, Qt::LeftButton);
        f.showPass()->selectAll();
        QTest::keyClick(f.showPass(), Qt::Key_Delete);
        QVERIFY(show->isHidden());
        QCOMPARE(f.apiKey()->text(), QString());
    }

    void eachPresentationRefillsFromSettingsAndMasksTheKey() {
        SheetFixture f;
        f.t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("stored-key"));
        f.sheet->present();
        QCOMPARE(f.apiKey()->text(), QStringLiteral("stored-key"));
        QCOMPARE(f.showPass()->text(), QStringLiteral("stored-key"));
        QVERIFY(f.button("btnShow")->isVisible());

        QTest::mouseClick(f.button("btnShow"), Qt::LeftButton);
        QTest::keyClicks(f.showPass(), QStringLiteral("-unsaved"));
        QTest::mouseClick(f.button("btnCancel"), Qt::LeftButton);
        QVERIFY(!f.sheet->isVisible());
        QCOMPARE(f.t.settings.apiKey(), QStringLiteral("stored-key"));
        // Dismissal masks the key again.
        QVERIFY(!f.showPass()->isVisibleTo(f.sheet));
        QVERIFY(f.apiKey()->isVisibleTo(f.sheet));
        QCOMPARE(f.button("btnShow")->text(), QStringLiteral("Show"));

        f.t.settings.setString(UserDefaultKeys::apiKey, QString());
        f.sheet->present();
        QVERIFY(f.sheet->isVisible());
        QCOMPARE(f.apiKey()->text(), QString());
        QCOMPARE(f.showPass()->text(), QString());
        QVERIFY(f.button("btnShow")->isHidden());
    }

    void versionLabelIsSetOnceWhenTheSheetIsBuilt() {
        SheetFixture f;
        QCOMPARE(f.label("lblVersion")->text(), QStringLiteral("version : "));
        f.t.settings.setString(UserDefaultKeys::appVersion, QStringLiteral("2.4.1"));
        f.sheet->present();
        f.sheet->reject();
        f.sheet->present();
        QCOMPARE(f.label("lblVersion")->text(), QStringLiteral("version : "));

        SheetVC later(f.t.context, f.session, &f.window);
        QCOMPARE(later.findChild<QLabel*>(QStringLiteral("lblVersion"))->text(),
                 QStringLiteral("version : 2.4.1"));
    }

    void chosenFolderIsStoredAtOnceAndSurvivesCancel() {
        SheetFixture f;
        f.sheet->present();
        QCOMPARE(f.label("lblFolderName")->text(), SettingsStore::downloadsFolder());

        QTemporaryDir chosen;
        f.nextFolder = chosen.path();
        QTest::mouseClick(f.button("btnSelectFolder"), Qt::LeftButton);
        QCOMPARE(f.folderChooserStarts, QStringList{SettingsStore::downloadsFolder()});
        QCOMPARE(f.label("lblFolderName")->text(), chosen.path());
        QCOMPARE(f.t.settings.string(UserDefaultKeys::outputFolder),
                 std::optional<QString>(chosen.path()));

        QTest::mouseClick(f.button("btnCancel"), Qt::LeftButton);
        QVERIFY(!f.sheet->isVisible());
        QCOMPARE(f.t.settings.string(UserDefaultKeys::outputFolder),
                 std::optional<QString>(chosen.path()));

        // A cancelled chooser changes nothing.
        f.sheet->present();
        QCOMPARE(f.label("lblFolderName")->text(), chosen.path());
        f.nextFolder.reset();
        QTest::mouseClick(f.button("btnSelectFolder"), Qt::LeftButton);
        QCOMPARE(f.folderChooserStarts.size(), 2);
        QCOMPARE(f.label("lblFolderName")->text(), chosen.path());
        QCOMPARE(f.t.settings.string(UserDefaultKeys::outputFolder),
                 std::optional<QString>(chosen.path()));

        // Not on screen: the folder buttons do nothing.
        f.sheet->reject();
        f.nextFolder = QStringLiteral("/elsewhere");
        f.button("btnSelectFolder")->click();
        f.button("btnOutput")->click();
        QCOMPARE(f.folderChooserStarts.size(), 2);
        QVERIFY(f.imageChooserFolders.isEmpty());
    }

    void getKeyOpensTheAccountPage() {
        SheetFixture f(serviceAt(QUrl(QStringLiteral("http://127.0.0.1:1/api/v1/"))));
        f.sheet->present();
        QTest::mouseClick(f.button("btnGetKey"), Qt::LeftButton);
        QCOMPARE(f.t.opener.opened,
                 QList<QUrl>{QUrl(QStringLiteral("http://127.0.0.1:1/account"))});
        QVERIFY(f.sheet->isVisible());
    }

    void previewShowsTheChosenImagesOneAtATime() {
        SheetFixture f;
        QTemporaryDir dir;
        QStringList files;
        for (const QColor& color : {QColor(Qt::red), QColor(Qt::blue)}) {
            QImage image(40, 30, QImage::Format_RGB32);
            image.fill(color);
            files << dir.filePath(QStringLiteral("img%1.png").arg(files.size()));
            QVERIFY(image.save(files.last()));
        }
        files << dir.filePath(QStringLiteral("notes.pdf"));
        QFile pdf(files.last());
        QVERIFY(pdf.open(QIODevice::WriteOnly));
        pdf.write("%PDF-1.4 not a picture");
        pdf.close();

        f.t.settings.setString(UserDefaultKeys::outputFolder, dir.path());
        f.sheet->present();
        QCOMPARE(f.sheet->outputImagesList(), std::nullopt);
        f.nextImages.reset();
        QTest::mouseClick(f.button("btnOutput"), Qt::LeftButton);
        QCOMPARE(f.imageChooserFolders, QStringList{dir.path()});
        QCOMPARE(f.sheet->outputImagesList(), std::nullopt);
        QVERIFY(!f.sheet->previewWindow());

        f.nextImages = files;
        QTest::mouseClick(f.button("btnOutput"), Qt::LeftButton);
        QCOMPARE(f.sheet->outputImagesList(), std::optional<QStringList>(files));
        SheetPreview* preview = f.sheet->previewWindow();
        QVERIFY(preview);
        QVERIFY(preview->isVisible());
        QCOMPARE(preview->currentPath(), files.at(0));
        QVERIFY(preview->hasPicture());

        QTest::keyClick(preview, Qt::Key_Right);
        QCOMPARE(preview->currentPath(), files.at(1));
        QVERIFY(preview->hasPicture());
        QTest::keyClick(preview, Qt::Key_Right);
        QCOMPARE(preview->currentPath(), files.at(2));
        QVERIFY(!preview->hasPicture());  // shown by name only
        QTest::keyClick(preview, Qt::Key_Right);
        QCOMPARE(preview->currentIndex(), 2);
        QTest::keyClick(preview, Qt::Key_Left);
        QCOMPARE(preview->currentIndex(), 1);
        QTest::keyClick(preview, Qt::Key_Space);
        QVERIFY(!preview->isVisible());

        // A new choice starts again at its first image; Escape closes too.
        f.nextImages = QStringList{files.at(1)};
        QTest::mouseClick(f.button("btnOutput"), Qt::LeftButton);
        QCOMPARE(f.sheet->previewWindow(), preview);
        QVERIFY(preview->isVisible());
        QCOMPARE(preview->currentPath(), files.at(1));
        QTest::keyClick(preview, Qt::Key_Escape);
        QVERIFY(!preview->isVisible());
        // The last choice is kept across presentations.
        f.sheet->reject();
        f.sheet->present();
        QCOMPARE(f.sheet->outputImagesList(), std::optional<QStringList>(QStringList{files.at(1)}));
    }

    void saveStoresTheShownFolderAndSendsTheKey() {
        ScriptedServer server;
        QVERIFY(server.start());
        server.script(kVerifyPath, ScriptedReply::json(200, R"({"message":"not today"})"));
        SheetFixture f(serviceAt(server.baseUrl()));
        f.sheet->present();
        QTest::keyClicks(f.apiKey(), QStringLiteral("typed-key"));
        QCOMPARE(f.t.settings.string(UserDefaultKeys::outputFolder), std::nullopt);

        // Return in the key field presses Save.
        QTest::keyClick(f.apiKey(), Qt::Key_Return);
        QCOMPARE(f.t.settings.string(UserDefaultKeys::outputFolder),
                 std::optional<QString>(SettingsStore::downloadsFolder()));
        QVERIFY(f.button("btnSave")->isEnabled());
        QVERIFY(server.waitForRequests(1));
        const RecordedRequest request = server.lastRequest();
        QVERIFY(request.part("api_key"));
        QCOMPARE(request.part("api_key")->body, QByteArray("typed-key"));

        // An unknown answer leaves everything as it was, the sheet open.
        QSignalSpy posted(&f.t.notifier, &Notifier::updateCredit);
        QVERIFY(!posted.wait(500));
        QVERIFY(f.sheet->isVisible());
        QCOMPARE(f.t.settings.string(UserDefaultKeys::apiKey), std::nullopt);
        QVERIFY(f.t.alerts.entries.isEmpty());
    }

    void rejectedKeyIsClearedAndTheSheetStaysOpen() {
        ScriptedServer server;
        QVERIFY(server.start());
        server.script(kVerifyPath, ScriptedReply::json(200, R"({"message":"invalid api key"})"));
        SheetFixture f(serviceAt(server.baseUrl()));
        f.t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("was-valid"));
        f.t.credits.setBalances(5, 6, 7);
        f.sheet->present();
        f.apiKey()->selectAll();
        QTest::keyClicks(f.apiKey(), QStringLiteral("wrong-key"));

        QSignalSpy posted(&f.t.notifier, &Notifier::updateCredit);
        QTest::mouseClick(f.button("btnSave"), Qt::LeftButton);
        QVERIFY(posted.wait(5000));
        QCOMPARE(f.t.alerts.messages(), QStringList{QStringLiteral("Invalid Api key")});
        QCOMPARE(f.t.settings.string(UserDefaultKeys::apiKey), std::optional<QString>(QString()));
        QCOMPARE(f.t.credits.snapshot().creditTotal(), qint64(0));
        QVERIFY(f.sheet->isVisible());
        QCOMPARE(f.apiKey()->text(), QStringLiteral("wrong-key"));
        QCOMPARE(f.showPass()->text(), QStringLiteral("wrong-key"));
    }

    void editsMadeWhileVerifyingAreWhatGetsStored() {
        ScriptedServer server;
        QVERIFY(server.start());
        server.script(kVerifyPath,
                      ScriptedReply::json(200, R"({"message":"success"})").withDelay(400));
        SheetFixture f(serviceAt(server.baseUrl()));
        f.sheet->present();
        QTest::keyClicks(f.apiKey(), QStringLiteral("first"));
        QSignalSpy posted(&f.t.notifier, &Notifier::updateCredit);
        QTest::mouseClick(f.button("btnSave"), Qt::LeftButton);
        QVERIFY(server.waitForRequests(1));
        QVERIFY(f.sheet->isVisible());
        QTest::keyClicks(f.apiKey(), QStringLiteral("-second"));

        QVERIFY(posted.wait(5000));
        QCOMPARE(server.lastRequest().part("api_key")->body, QByteArray("first"));
        QCOMPARE(f.t.settings.apiKey(), QStringLiteral("first-second"));
        QVERIFY(!f.sheet->isVisible());
        QVERIFY(f.t.alerts.entries.isEmpty());
    }

#ifdef VORPANE_SERVER_PATH
    // Against the reference service: a wrong key is refused, the demo key is stored and its
    // balances reach the credit display.
    void demoKeyIsVerifiedAndItsCreditsShown() {
        QTemporaryDir dir;
        QProcess server;
        server.setProgram(QStringLiteral(VORPANE_SERVER_PATH));
        server.setArguments({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"),
                             dir.filePath(QStringLiteral("server.db")), QStringLiteral("--quiet")});
        server.start();
        QVERIFY2(server.waitForStarted(5000), qPrintable(server.errorString()));
        auto stop = qScopeGuard([&server] {
            server.terminate();
            if (!server.waitForFinished(5000)) server.kill();
        });
        QString baseUrl;
        QString demoKey;
        QDeadlineTimer deadline(10000);
        while (demoKey.isEmpty() && !deadline.hasExpired()) {
            if (!server.canReadLine() &&
                !server.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
                break;
            while (server.canReadLine()) {
                const QString line = QString::fromUtf8(server.readLine()).trimmed();
                if (baseUrl.isEmpty())
                    baseUrl = line;
                else if (line.startsWith(QLatin1String("Demo API key: ")))
                    demoKey = line.mid(14);
            }
        }
        QVERIFY2(!demoKey.isEmpty(), qPrintable(QString::fromUtf8(server.readAllStandardError())));

        SheetFixture f(serviceAt(QUrl(baseUrl)));
        QSignalSpy posted(&f.t.notifier, &Notifier::updateCredit);
        f.sheet->present();

        QTest::keyClicks(f.apiKey(), QStringLiteral("0123456789abcdef0123456789abcdef"));
        QTest::mouseClick(f.button("btnSave"), Qt::LeftButton);
        QVERIFY(posted.wait(5000));
        QCOMPARE(f.t.alerts.messages(), QStringList{QStringLiteral("Invalid Api key")});
        QVERIFY(f.sheet->isVisible());
        QCOMPARE(f.t.settings.string(UserDefaultKeys::apiKey), std::optional<QString>(QString()));

        // From here on the main window's credit display follows every "updateCredit".
        CreditService credits(f.t.context, f.session);
        connect(&f.t.notifier, &Notifier::updateCredit, &credits, &CreditService::getCreditDetails);
        f.apiKey()->selectAll();
        QTest::keyClicks(f.apiKey(), demoKey);
        QCOMPARE(f.apiKey()->text(), demoKey);
        QTest::mouseClick(f.button("btnSave"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!f.sheet->isVisible(), 5000);
        QCOMPARE(f.t.settings.apiKey(), demoKey);
        QTRY_COMPARE_WITH_TIMEOUT(
            credits.displayText(),
            QStringLiteral("Free credit: 50  Top up plan: 0  Subscription plan: 0  |  "
                           "Total credits: 50"),
            5000);
        QCOMPARE(f.t.alerts.messages().size(), 1);
    }
#endif
};

QTEST_MAIN(SheetTest)
#include "tst_sheet.moc"
