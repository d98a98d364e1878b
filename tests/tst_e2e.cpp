#include "BatchRun.h"
#include "BatchSession.h"
#include "CreditService.h"
#include "ImageQueue.h"
#include "LocalService.h"
#include "OutputOptions.h"
#include "ServiceSession.h"
#include "TestContext.h"
#include "UserDefaultKeys.h"

#include <QPainter>
#include <QtTest>

static bool near(const QColor& a, const QColor& b, int tolerance) {
    return a.alpha() == b.alpha() && qAbs(a.red() - b.red()) <= tolerance &&
           qAbs(a.green() - b.green()) <= tolerance && qAbs(a.blue() - b.blue()) <= tolerance;
}

class EndToEndTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_service.start(QStringLiteral(VORPANE_SERVER_PATH))); }

    void batchIsProcessedAndSaved_data() {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("colour");  // empty: transparent
        QTest::addColumn<bool>("ipv6");       // the service listens on ::1
        QTest::newRow("transparent png") << "png" << QString() << false;
        QTest::newRow("green jpg, IPv6 loopback") << QString("jpg") << QString("#00FF00") << true;
    }
    void batchIsProcessedAndSaved() {
        QFETCH(QString, format);
        QFETCH(QString, colour);
        QFETCH(bool, ipv6);
        LocalService v6;
        if (ipv6) QVERIFY(v6.start(QStringLiteral(VORPANE_SERVER_PATH), QStringLiteral("::1")));
        const LocalService& service = ipv6 ? v6 : m_service;
        QVERIFY(service.baseUrl().startsWith(ipv6 ? "http://[::1]:" : "http://127.0.0.1:"));
        TestContext t(service.service());
        ServiceSession session;
        BatchSession batch(t.context, session);
        QTemporaryDir inputs, outputs;
        t.settings.setString(UserDefaultKeys::apiKey, service.demoKey());
        t.settings.setString(UserDefaultKeys::outputFolder, outputs.path());
        batch.options().imgFormat = format;
        batch.options().isColored = !colour.isEmpty();
        batch.options().selectedColor = colour;

        // The balances first, as the window does at launch; then every total the display shows.
        QList<qint64> totals;
        const QRegularExpression total(QStringLiteral("Total credits: (-?\\d+)"));
        connect(&batch.credits(), &CreditService::displayTextChanged, this,
                [&](const QString& text) {
                    totals.append(total.match(text).captured(1).toLongLong());
                });
        batch.credits().getCreditDetails();
        QTRY_VERIFY(!totals.isEmpty() && totals.last() > 0);
        const qint64 before = totals.last();

        const QList<QColor> subjects{Qt::red, Qt::blue, QColor(30, 140, 40)};
        for (int i = 0; i < subjects.size(); ++i) {
            QImage image(400, 300, QImage::Format_RGB32);
            image.fill(QColor(235, 235, 225 + 10 * i));
            QPainter(&image).fillRect(110, 60, 180, 180, subjects[i]);  // on a plain background
            QVERIFY(image.save(inputs.filePath(QString("p%1.%2").arg(i).arg(i ? "png" : "jpg"))));
        }
        batch.queue().admitFolder(inputs.path());
        QTRY_COMPARE(batch.run().runState(), RunState::Ready);
        batch.run().start(RunConfig::fromSettings(t.settings, batch.options()));
        QTRY_COMPARE_WITH_TIMEOUT(batch.run().runState(), RunState::Finished, 30000);
        QVERIFY2(t.alerts.entries.isEmpty(), qPrintable(t.alerts.messages().join('|')));

        const QDir folder(outputs.path());
        const QStringList saved = folder.entryList({"vorpane_output_*." + format}, QDir::Files);
        QCOMPARE(saved.size(), 3);
        for (int i = 0; i < subjects.size(); ++i) {
            const DataModelPtr record = batch.queue().at(i);
            QVERIFY(saved.contains(folder.relativeFilePath(record->outputFile)));
            const QImage result(record->outputFile);
            QCOMPARE(result.size(), QSize(400, 300));
            for (int corner = 0; corner < 4; ++corner) {
                const QColor pixel = result.pixelColor(corner % 2 * 399, corner / 2 * 299);
                QVERIFY2(colour.isEmpty() ? pixel.alpha() == 0 : near(pixel, QColor(colour), 24),
                         qPrintable(pixel.name(QColor::HexArgb)));
            }
            QVERIFY(near(result.pixelColor(200, 150), subjects[i], 40));  // the subject stays
        }

        // One credit per image; with several images in flight the replies may come together.
        QTRY_COMPARE(totals.last(), before - 3);
        const QList<qint64> during = totals.mid(totals.indexOf(before));
        QVERIFY(std::is_sorted(during.rbegin(), during.rend()));
    }

private:
    LocalService m_service;
};

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_e2e.moc"
