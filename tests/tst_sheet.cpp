#include "CreditService.h"
#include "LocalService.h"
#include "ScriptedServer.h"
#include "ServiceSession.h"
#include "SheetVC.h"
#include "TestCertificates.h"
#include "TestContext.h"
#include "UserDefaultKeys.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStandardPaths>
#include <QtTest>

namespace {

// A window with its settings sheet, on temporary settings; the file choosers record their start.
struct SheetFixture {
    explicit SheetFixture(const QString& url = {})
        : t(url.isEmpty() ? Constant::defaults() : *Constant::fromServiceUrl(url)) {
        window.show();
        sheet = new SheetVC(t.context, session, &window);
        sheet->setFolderChooser(
            [this](const QString& at) { return folderStarts << at, nextFolder; });
    }
    template <typename T = QPushButton>
    T* find(const char* name) const {
        T* widget = sheet->findChild<T*>(QLatin1String(name));
        if (!widget) qFatal("no widget %s", name);
        return widget;
    }
    QLineEdit* apiKey() const { return find<QLineEdit>("txtApiKey"); }
    QLineEdit* showPass() const { return find<QLineEdit>("txtShowPass"); }
    QString keys() const { return apiKey()->text() + '|' + showPass()->text(); }
    QString folderLabel() const { return find<QLabel>("lblFolderName")->text(); }
    std::optional<QString> storedFolder() const {
        return t.settings.string(UserDefaultKeys::outputFolder);
    }

    TestContext t;
    ServiceSession session;
    QWidget window;
    SheetVC* sheet = nullptr;
    std::optional<QString> nextFolder;
    QStringList folderStarts;
};

// One character as key events, one per entry (as an input method may send an accent apart).
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
        const QList<QStringList> characters{{QStringLiteral("a")},
                                            {QStringLiteral("\U0001F1EB\U0001F1F7")},  // a flag
                                            {QStringLiteral("e"), QStringLiteral("\u0301")}};
        for (bool clear : {false, true})
            for (int i = 0; i < characters.size(); ++i)
                QTest::addRow("%s, character %d", clear ? "clear" : "masked", i)
                    << clear << characters[i];
    }
    void typingIsCappedAt32CharactersInBothFields() {
        QFETCH(bool, inClearField);
        QFETCH(QStringList, units);
        SheetFixture f;
        f.sheet->present();
        QLineEdit* target = f.apiKey();
        typeUnits(target, units);
        if (inClearField) {
            QTest::mouseClick(f.find("btnShow"), Qt::LeftButton);
            target = f.showPass();
        }
        for (int i = 1; i < 32; ++i) typeUnits(target, units);
        const QString one = units.join(QString());
        const QString full = one.repeated(32);
        // A 33rd character goes at once, from both fields, whatever it is.
        for (const QString& extra : {QStringLiteral("z"), one}) {
            typeUnits(target, {extra});
            QCOMPARE(f.keys(), full + '|' + full);
        }
        if (one == QLatin1String("a")) {  // Backspace removes one code point: ASCII only
            QTest::keyClick(target, Qt::Key_Backspace);
            typeUnits(target, {QStringLiteral("q")});
            QCOMPARE(f.apiKey()->text(), one.repeated(31) + QStringLiteral("q"));
        }
        // A pasted text longer than the cap is cut to it, not merely shortened by one.
        target->selectAll();
        target->insert(one.repeated(40));
        QCOMPARE(f.keys(), full + '|' + full);
    }

    void keyFieldsStayTogetherAndAreResetOnEachPresentation() {
        SheetFixture f;
        QPushButton* show = f.find("btnShow");
        f.window.setGeometry(100, 80, 900, 600);
        f.sheet->present();
        QCOMPARE(f.keys(), QStringLiteral("|"));
        // It hangs from the top of its window, centred, over a dimmed window, and follows it.
        auto* scrim = f.window.findChild<QWidget*>(QStringLiteral("sheetScrim"));
        QVERIFY(scrim && scrim->isVisible() && scrim->geometry() == f.window.rect());
        QCOMPARE(f.sheet->geometry().top(), f.window.geometry().top());
        QCOMPARE(f.sheet->geometry().center().x(), f.window.geometry().center().x());
        f.window.move(160, 90);
        QTRY_COMPARE(f.sheet->geometry().top(), f.window.geometry().top());
        QVERIFY(show->isHidden());
        QTest::keyClicks(f.apiKey(), QStringLiteral("k"));
        QVERIFY(!show->isHidden());
        QTest::keyClick(f.apiKey(), Qt::Key_Backspace);
        QVERIFY(show->isHidden());

        // Reveal, edit in the clear field, mask: the masked field holds the edit.
        QTest::keyClicks(f.apiKey(), QStringLiteral("abc123"));
        QTest::mouseClick(show, Qt::LeftButton);
        QVERIFY(f.showPass()->isVisible() && !f.apiKey()->isVisible());
        QCOMPARE(show->text(), QStringLiteral("Hide"));
        QTest::keyClick(f.showPass(), Qt::Key_Backspace);
        QTest::keyClicks(f.showPass(), QStringLiteral("XY"));
        QTest::mouseClick(show, Qt::LeftButton);
        QVERIFY(f.apiKey()->isVisible() && !f.showPass()->isVisible());
        QCOMPARE(show->text(), QStringLiteral("Show"));
        QCOMPARE(f.apiKey()->text(), QStringLiteral("abc12XY"));

        // A stored key fills both fields; Cancel keeps it and masks the key again.
        f.t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("stored-key"));
        f.sheet->reject();
        f.sheet->present();
        QCOMPARE(f.keys(), QStringLiteral("stored-key|stored-key"));
        QTest::mouseClick(show, Qt::LeftButton);
        QTest::keyClicks(f.showPass(), QStringLiteral("-unsaved"));
        QTest::mouseClick(f.find("btnCancel"), Qt::LeftButton);
        QVERIFY(!scrim->isVisible());
        QCOMPARE(f.t.settings.apiKey(), QStringLiteral("stored-key"));
        QVERIFY(f.apiKey()->isVisibleTo(f.sheet) && !f.showPass()->isVisibleTo(f.sheet));
    }

    void foldersGetKeyAndOpenFolder() {
        SheetFixture f(QStringLiteral("http://127.0.0.1:1/api/v1/"));
        f.t.settings.setString(UserDefaultKeys::appVersion, QStringLiteral("2.4.1"));
        f.sheet->present();  // the version is read once, when the sheet is built
        QCOMPARE(f.find<QLabel>("lblVersion")->text(), QStringLiteral("version : "));
        SheetVC later(f.t.context, f.session, &f.window);
        QCOMPARE(later.findChild<QLabel*>("lblVersion")->text(), QStringLiteral("version : 2.4.1"));
        const QUrl page("http://127.0.0.1:1/account");
        QTest::mouseClick(f.find("btnGetKey"), Qt::LeftButton);
        QCOMPARE(f.t.opener.opened, QList<QUrl>{page});
        QVERIFY(f.t.alerts.entries.isEmpty());
        // Without a browser the address is shown, and "Copy Address" puts it on the clipboard.
        f.t.opener.canOpen = false;
        f.t.alerts.sheetAnswers = {0};
        QGuiApplication::clipboard()->clear();
        QTest::mouseClick(f.find("btnGetKey"), Qt::LeftButton);
        QCOMPARE(f.t.alerts.entries.size(), 1);
        QVERIFY(f.t.alerts.entries.first().alert.informativeText.contains(page.toString()));
        QCOMPARE(f.t.alerts.entries.first().alert.buttons.first(), QStringLiteral("Copy Address"));
        QCOMPARE(QGuiApplication::clipboard()->text(), page.toString());
        f.t.opener.canOpen = true;
        f.t.alerts.clear();

        // A chosen folder is stored at once, so Cancel keeps it; a cancelled chooser does nothing.
        QCOMPARE(f.folderLabel(), SettingsStore::downloadsFolder());
        QTemporaryDir chosen;
        f.nextFolder = chosen.path();
        QTest::mouseClick(f.find("btnSelectFolder"), Qt::LeftButton);
        QCOMPARE(f.folderStarts, QStringList{SettingsStore::downloadsFolder()});
        QCOMPARE(f.folderLabel(), chosen.path());
        QTest::mouseClick(f.find("btnCancel"), Qt::LeftButton);
        QCOMPARE(f.storedFolder(), std::optional<QString>(chosen.path()));
        f.sheet->present();
        f.nextFolder.reset();
        QTest::mouseClick(f.find("btnSelectFolder"), Qt::LeftButton);
        QCOMPARE(f.folderLabel(), chosen.path());

        // "Open Folder" opens the shown folder in the file manager; a missing one is reported.
        QCOMPARE(f.find("btnOutput")->text(), QStringLiteral("Open Folder"));
        QTest::mouseClick(f.find("btnOutput"), Qt::LeftButton);
        QCOMPARE(f.t.opener.opened.last(), QUrl::fromLocalFile(chosen.path()));
        f.sheet->reject();  // off screen the folder buttons do nothing
        f.nextFolder = QStringLiteral("/elsewhere");
        f.find("btnSelectFolder")->click();
        f.find("btnOutput")->click();
        QCOMPARE(f.folderStarts.size(), 2);
        QCOMPARE(f.t.opener.opened.size(), 3);
        f.t.settings.setString(UserDefaultKeys::outputFolder, chosen.filePath("gone"));
        f.sheet->present();
        QTest::mouseClick(f.find("btnOutput"), Qt::LeftButton);
        QCOMPARE(f.t.opener.opened.size(), 3);
        QCOMPARE(f.t.alerts.messages(),
                 QStringList{"The folder " + chosen.filePath("gone") + " does not exist."});
    }

    // Return presses Save, which stores the shown folder and verifies the key; the text verified
    // is what gets stored, not edits made while the verification is pending.
    void saveStoresTheFolderAndTheKeyAsItIsWhenVerified() {
        ScriptedServer server;
        QVERIFY(server.start());
        server.script("/api/v1/api_key_verification",
                      ScriptedReply::json(200, R"({"message":"success"})").withDelay(400));
        SheetFixture f(server.baseUrl().toString());
        QSignalSpy posted(&f.t.notifier, &Notifier::updateCredit);
        f.sheet->present();
        QTest::keyClicks(f.apiKey(), QStringLiteral("first"));
        auto* jobs = f.sheet->findChild<QSpinBox*>(QStringLiteral("spnImagesAtATime"));
        QCOMPARE(jobs->value(), 3);
        jobs->setValue(5);
        QCOMPARE(f.storedFolder(), std::nullopt);
        QTest::keyClick(f.apiKey(), Qt::Key_Return);
        QCOMPARE(f.t.settings.imagesAtATime(), 5);
        QCOMPARE(f.storedFolder(), std::optional<QString>(SettingsStore::downloadsFolder()));
        QVERIFY(server.waitForRequests(1));
        QVERIFY(f.sheet->isVisible());
        QTest::keyClicks(f.apiKey(), QStringLiteral("-second"));
        QVERIFY(posted.wait(5000));
        QCOMPARE(server.lastRequest().part("api_key")->body, QByteArray("first"));
        QCOMPARE(f.t.settings.apiKey(), QStringLiteral("first"));
        QVERIFY(!f.sheet->isVisible());
        QVERIFY(f.t.alerts.entries.isEmpty());
    }

    // The certificate authority is checked on Save before the key travels: a file that is none
    // is named and nothing is saved; a good one is stored and the key is verified over a
    // connection it vouches for; cleared, the service's certificate is no longer trusted.
    void caFileIsCheckedAndTrustedOnSave() {
        TestCertificates certificates;
        QVERIFY(certificates.make());
        const QString notPem = certificates.path("good.csr");
        ScriptedServer server;
        server.setTls(certificates.server("good"));
        QVERIFY(server.start());
        server.script("/api/v1/api_key_verification",
                      ScriptedReply::json(200, R"({"message":"success"})"));
        SheetFixture f(server.baseUrl().toString());
        f.sheet->present();
        QTest::keyClicks(f.apiKey(), QStringLiteral("key"));
        auto* caFile = f.find<QLineEdit>("txtCaFile");
        QTest::keyClicks(caFile, notPem);
        QTest::mouseClick(f.find("btnSave"), Qt::LeftButton);
        QCOMPARE(f.t.alerts.messages(), QStringList{"The certificate authority file " + notPem +
                                                    " holds no PEM certificate."});
        QCOMPARE(f.t.settings.string(UserDefaultKeys::caFile), std::nullopt);
        QCOMPARE(server.handshakeCount(), 0);

        caFile->clear();
        QTest::keyClicks(caFile, certificates.ca());
        QTest::mouseClick(f.find("btnSave"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!f.sheet->isVisible(), 5000);
        QCOMPARE(f.t.settings.string(UserDefaultKeys::caFile), certificates.ca());
        QCOMPARE(f.t.settings.apiKey(), QStringLiteral("key"));

        f.t.alerts.clear();
        f.sheet->present();
        QCOMPARE(caFile->text(), certificates.ca());
        caFile->clear();
        QTest::mouseClick(f.find("btnSave"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(
            f.t.alerts.messages(),
            QStringList{"The service's certificate could not be trusted (127.0.0.1: the issuer "
                        "is unknown). Nothing was sent."},
            5000);
        QCOMPARE(f.t.settings.string(UserDefaultKeys::caFile), std::nullopt);
        QCOMPARE(server.requestCount(), 1);
    }

#ifdef VORPANE_SERVER_PATH
    // An empty key is not sent and a wrong one is refused, both keeping the stored key and
    // handing the focus back to the key field; the demo key is stored, its credits shown.
    void keysAreVerifiedByTheLocalService() {
        LocalService service;
        QVERIFY(service.start(QStringLiteral(VORPANE_SERVER_PATH)));
        SheetFixture f(service.baseUrl());
        f.t.settings.setString(UserDefaultKeys::apiKey, QStringLiteral("was-valid"));
        f.t.credits.setBalances(5, 6, 7);
        QSignalSpy posted(&f.t.notifier, &Notifier::updateCredit);
        f.sheet->present();
        QVERIFY(QTest::qWaitForWindowActive(&f.window));
        const QString invalid = QStringLiteral("Invalid Api key");
        for (const QString& typed :
             {QStringLiteral("  "), QStringLiteral("0123456789abcdef0123456789abcdef")}) {
            f.t.alerts.clear();
            f.apiKey()->selectAll();
            QTest::keyClicks(f.apiKey(), typed);
            QTest::mouseClick(f.find("btnSave"), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(f.t.alerts.messages(), QStringList{invalid}, 5000);
            QVERIFY2(f.t.alerts.entries[0].detail.contains(
                         typed.trimmed().isEmpty() ? "field is empty" : "did not accept"),
                     qPrintable(f.t.alerts.entries[0].detail));
            QTRY_VERIFY(f.apiKey()->hasFocus());
            QCOMPARE(f.apiKey()->selectedText(), typed);
            QVERIFY(f.sheet->isVisible());
        }
        QCOMPARE(f.t.settings.apiKey(), QStringLiteral("was-valid"));
        QCOMPARE(f.t.credits.snapshot().creditTotal(), qint64(18));
        QCOMPARE(posted.count(), 0);

        // The main window's credit display follows every "updateCredit".
        CreditService credits(f.t.context, f.session);
        connect(&f.t.notifier, &Notifier::updateCredit, &credits, &CreditService::getCreditDetails);
        f.apiKey()->selectAll();
        QTest::keyClicks(f.apiKey(), service.demoKey());
        QTest::mouseClick(f.find("btnSave"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!f.sheet->isVisible(), 5000);
        QCOMPARE(f.t.settings.apiKey(), service.demoKey());
        const QString balances("Free credit: 50  Top up plan: 0  Subscription plan: 0  |  ");
        QTRY_COMPARE_WITH_TIMEOUT(credits.displayText(), balances + "Total credits: 50", 5000);
        QCOMPARE(f.t.alerts.messages().size(), 1);
    }
#endif
};

QTEST_MAIN(SheetTest)
#include "tst_sheet.moc"
