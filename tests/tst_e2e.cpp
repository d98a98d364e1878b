#include "BatchRun.h"
#include "CreditService.h"
#include "ImageQueue.h"
#include "OutputOptions.h"
#include "ServiceSession.h"
#include "TestContext.h"
#include "UserDefaultKeys.h"
#include "VersionCheck.h"
#include "WindowState.h"

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {

// A photo: a coloured disc on a plain background.
QImage photo(const QColor& disc, const QColor& background) {
    QImage image(400, 300, QImage::Format_RGB32);
    image.fill(background);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(disc);
    painter.drawEllipse(QPointF(200, 150), 90, 90);
    return image;
}

bool near(const QColor& a, const QColor& b, int tolerance) {
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
           qAbs(a.blue() - b.blue()) <= tolerance;
}

qint64 totalIn(const QString& display) {
    static const QRegularExpression total(QStringLiteral("Total credits: (-?\\d+)"));
    const auto match = total.match(display);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

}  // namespace

class EndToEndTest final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_serverDir.isValid());
        m_server.setProgram(QStringLiteral(VORPANE_SERVER_PATH));
        m_server.setArguments(
            {QStringLiteral("serve"), QStringLiteral("--port"), QStringLiteral("0"),
             QStringLiteral("--db"), m_serverDir.filePath(QStringLiteral("server.db")),
             QStringLiteral("--results-dir"), m_serverDir.filePath(QStringLiteral("results")),
             QStringLiteral("--quiet")});
        m_server.setProcessChannelMode(QProcess::SeparateChannels);
        m_server.start();
        QVERIFY2(m_server.waitForStarted(5000), qPrintable(m_server.errorString()));
        QElapsedTimer timer;
        timer.start();
        while ((m_base.isEmpty() || m_key.isEmpty()) && timer.elapsed() < 10000) {
            if (!m_server.canReadLine() && !m_server.waitForReadyRead(200)) continue;
            while (m_server.canReadLine()) {
                const QString line = QString::fromUtf8(m_server.readLine()).trimmed();
                if (m_base.isEmpty())
                    m_base = line;
                else if (line.startsWith(QStringLiteral("Demo API key: ")))
                    m_key = line.mid(14);
            }
        }
        QVERIFY2(m_base.startsWith(QStringLiteral("http://127.0.0.1:")), qPrintable(m_base));
        QVERIFY(!m_key.isEmpty());
    }

    void cleanupTestCase() {
        if (m_server.state() != QProcess::NotRunning) {
            m_server.kill();
            m_server.waitForFinished(5000);
        }
    }

    void batchIsProcessedAndSaved_data() {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("colour");
        QTest::newRow("transparent png") << "png" << QString();
        QTest::newRow("green jpg") << "jpg"
                                   << "#00FF00";
    }
    void batchIsProcessedAndSaved() {
        QFETCH(QString, format);
        QFETCH(QString, colour);
        const auto service = Constant::fromServiceUrl(m_base);
        QVERIFY(service.has_value());
        TestContext t(*service);
        ServiceSession session;
        WindowState window;
        ImageQueue queue(t.context, window);
        OutputOptions options;
        CreditService credits(t.context, session);
        VersionCheck version(t.context, session);
        BatchRun run(t.context, session, queue, window, credits, version, options);
        QTemporaryDir inputs;
        QTemporaryDir outputs;
        t.settings.setString(UserDefaultKeys::apiKey, m_key);
        t.settings.setString(UserDefaultKeys::outputFolder, outputs.path());
        options.imgFormat = format;
        options.isColored = !colour.isEmpty();
        options.selectedColor = colour;

        // The balances first, as the window does at launch.
        QList<qint64> totals;
        connect(&credits, &CreditService::displayTextChanged, this,
                [&totals](const QString& text) { totals.append(totalIn(text)); });
        credits.getCreditDetails();
        QTRY_VERIFY(!totals.isEmpty() && totals.last() > 0);
        const qint64 before = totals.last();

        const QList<QPair<QColor, QColor>> looks{{Qt::red, QColor(235, 235, 235)},
                                                 {Qt::blue, QColor(250, 245, 220)},
                                                 {QColor(30, 140, 40), QColor(240, 240, 250)}};
        for (int i = 0; i < looks.size(); ++i) {
            const QString path =
                inputs.filePath(QStringLiteral("photo%1.%2").arg(i).arg(i == 1 ? "jpg" : "png"));
            QVERIFY(photo(looks[i].first, looks[i].second).save(path));
        }
        queue.admitFolder(inputs.path());
        QCOMPARE(queue.count(), 3);
        QTRY_COMPARE(run.runState(), RunState::Ready);

        run.startUpload();
        QTRY_COMPARE_WITH_TIMEOUT(run.runState(), RunState::Finished, 30000);
        QCOMPARE(window.controls().lblUploadCountText, QStringLiteral("Finished 3 of 3"));
        QVERIFY2(t.alerts.entries.isEmpty(),
                 qPrintable(t.alerts.messages().join(QLatin1Char('|'))));

        const QStringList saved = QDir(outputs.path()).entryList(QDir::Files, QDir::Name);
        QCOMPARE(int(saved.size()), 3);
        for (int i = 0; i < 3; ++i) {
            const DataModelPtr record = queue.at(i);
            QCOMPARE(record->status, RowStatus::Done);
            QCOMPARE(record->statusText, QStringLiteral(" 400x300"));
            const QFileInfo file(record->outputFile);
            QVERIFY(file.fileName().startsWith(QStringLiteral("vorpane_output_")));
            QVERIFY(file.fileName().endsWith(QLatin1Char('.') + format));
            QCOMPARE(file.absolutePath(), QDir(outputs.path()).absolutePath());
            const QImage result(record->outputFile);
            QCOMPARE(result.size(), QSize(400, 300));
            for (const QPoint corner :
                 {QPoint(0, 0), QPoint(399, 0), QPoint(0, 299), QPoint(399, 299)}) {
                const QColor pixel = result.pixelColor(corner);
                if (colour.isEmpty())
                    QCOMPARE(pixel.alpha(), 0);
                else
                    QVERIFY2(near(pixel, QColor(colour), 24), qPrintable(pixel.name()));
            }
            // The disc itself stays.
            QCOMPARE(result.pixelColor(200, 150).alpha(), 255);
            QVERIFY(near(result.pixelColor(200, 150), looks[i].first, 40));
        }

        // One credit per image, shown after each image.
        QTRY_COMPARE(totals.last(), before - 3);
        QList<qint64> steps;
        for (qint64 total : totals)
            if (steps.isEmpty() || steps.last() != total) steps.append(total);
        QCOMPARE(steps.mid(steps.indexOf(before)),
                 (QList<qint64>{before, before - 1, before - 2, before - 3}));
    }

private:
    QTemporaryDir m_serverDir;
    QProcess m_server;
    QString m_base;
    QString m_key;
};

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_e2e.moc"
