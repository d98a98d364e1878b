// Two vorpane-server instances on one throwaway PostgreSQL database and one results folder,
// behind nginx over HTTPS, driven as the desks of a team would.

#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <signal.h>

#include <future>
#include <thread>

#include <libpq-fe.h>

#include "ClusterRig.h"
#include "Ledger.h"

namespace {

// A photo-like PNG: a grey backdrop and a coloured disc, different for every n.
std::string photo(int n) {
    cv::Mat image(240, 320, CV_8UC3, cv::Scalar(200, 200, 200));
    cv::circle(image, {160, 120}, 50 + n % 20, cv::Scalar(40, 50 + 7 * n % 150, 210), cv::FILLED);
    std::vector<unsigned char> bytes;
    cv::imencode(".png", image, bytes);
    return std::string(bytes.begin(), bytes.end());
}

QJsonObject jsonOf(const httplib::Result& res) {
    return QJsonDocument::fromJson(res ? QByteArray::fromStdString(res->body) : "").object();
}

}  // namespace

class ClusterTest final : public QObject {
    Q_OBJECT

    QString path(const QString& name) const { return rig_.path(name); }
    QString admin(const QStringList& args) const { return rig_.admin(args); }
    QString creditOf(const QString& key) const { return rig_.creditOf(key); }

    httplib::Result upload(const QString& key, const std::string& image) const {
        return rig_.proxy().Post(
            "/api/v1/remove_image_background", httplib::Headers{{"API-KEY", key.toStdString()}},
            httplib::MultipartFormDataItems{{"source_image_file", image, "photo.png", "image/png"},
                                            {"format", "png", "", ""}});
    }

    ClusterRig rig_;
    QString key_;

private slots:
    void initTestCase() {
        if (const QString why = ClusterRig::unavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
        signal(SIGPIPE, SIG_IGN);
        const QString error = rig_.start(2, {"--jobs", "2", "--quiet", "--no-model"});
        QVERIFY2(error.isEmpty(), qPrintable(error));
        key_ = admin({"key", "create", "--free", "0"});
        QVERIFY(!key_.isEmpty());
    }

    void cleanupTestCase() { rig_.stop(); }

    void chargesOfASilentInstanceAreGivenBack_data() {
        QTest::addColumn<QString>("location");
        QTest::newRow("SQLite") << path("held.db");
        QTest::newRow("PostgreSQL") << rig_.uri();
    }

    // A charge stands once its answer is delivered. One held by an instance that fell silent
    // first (killed between the debit and the delivery) is given back by a peer, once. First,
    // while the running instances hold nothing.
    void chargesOfASilentInstanceAreGivenBack() {
        QFETCH(QString, location);
        using vserver::Ledger;
        const auto dead = Ledger::open(location.toStdString());
        const auto peer = Ledger::open(location.toStdString());
        const std::string key = "held";
        dead->createKey(key, {});
        QVERIFY(dead->setBalances(key, 5, 0, 0));
        dead->heartbeat();
        peer->heartbeat();
        for (const char* name : {"delivered", "fetched", "held-1", "held-2"})
            dead->charge(key, name);
        dead->delivered("delivered");
        peer->fetched("fetched");  // downloaded through the peer: the answer did arrive
        peer->charge(key, "held-by-the-peer");
        QCOMPARE(peer->reclaimAbandoned(std::chrono::hours(1)), std::size_t(0));
        QTest::qWait(1100);  // the database's clock counts whole seconds
        QCOMPARE(peer->reclaimAbandoned(std::chrono::seconds(0)), std::size_t(2));
        QCOMPARE(peer->balances(key)->total(), 2);
        QCOMPARE(peer->reclaimAbandoned(std::chrono::seconds(0)), std::size_t(0));
        dead->delivered("held-1");  // too late: it was given back, and stays so
        peer->fetched("held-2");
        QVERIFY(!dead->refund("fetched"));  // a charge that stands is not given back
        QCOMPARE(peer->balances(key)->total(), 2);
        QVERIFY(peer->deleteKey(key));
    }

    // Another instance or admin command opening the ledger while a charge's transaction is open
    // neither waits for it nor makes the charges behind it wait.
    void openingTheLedgerLocksNothing() {
        const std::unique_ptr<PGconn, void (*)(PGconn*)> busy(
            PQconnectdb(rig_.uri().toUtf8().constData()), PQfinish);
        QCOMPARE(PQstatus(busy.get()), CONNECTION_OK);
        PQclear(PQexec(busy.get(), "BEGIN; LOCK TABLE api_keys, results IN ROW EXCLUSIVE MODE"));
        auto opened = std::async(std::launch::async, [uri = rig_.uri().toStdString()] {
            return vserver::Ledger::open(uri)->balances("nobody").has_value();
        });
        const bool waited = opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready;
        PQclear(PQexec(busy.get(), "ROLLBACK"));
        QVERIFY(!waited);
        QVERIFY(!opened.get());
    }

    void creditRaceThroughTheProxy_data() {
        QTest::addColumn<int>("round");
        for (int round = 1; round <= 3; ++round)
            QTest::newRow(qPrintable(QString::number(round))) << round;
    }

    // 60 uploads at once on a key with 10 credits: exactly 10 are done, each result is served
    // through the proxy and by either instance.
    void creditRaceThroughTheProxy() {
        QFETCH(int, round);
        QCOMPARE(admin({"key", "set", key_, "--free", "10", "--topup", "0", "--subscription", "0"})
                     .isEmpty(),
                 false);
        std::vector<std::pair<int, QString>> replies(60);  // status, result URL
        std::vector<std::thread> clients;
        for (std::size_t i = 0; i < replies.size(); ++i) {
            clients.emplace_back([&, i] {
                const auto r = upload(key_, photo(round * 100 + int(i)));
                replies[i] = {r ? r->status : -1, jsonOf(r).value("output_image_url").toString()};
            });
        }
        for (auto& t : clients) t.join();
        QStringList urls;
        QMap<int, int> statuses;
        for (const auto& [status, url] : replies) {
            ++statuses[status];
            if (status == 200) urls << url;
        }
        QCOMPARE(statuses, (QMap<int, int>{{200, 10}, {402, 50}}));
        QCOMPARE(creditOf(key_), key_ + " 0 0 0");
        for (const QString& url : urls) {
            QVERIFY2(url.startsWith(QString("https://127.0.0.1:%1/results/").arg(rig_.proxyPort())),
                     qPrintable(url));
            const std::string resultPath = QUrl(url).path().toStdString();
            const auto viaProxy = rig_.proxy().Get(resultPath);
            QVERIFY(viaProxy && viaProxy->status == 200);
            for (int i = 0; i < rig_.instanceCount(); ++i) {
                const auto direct =
                    httplib::Client("127.0.0.1", rig_.instance(i).port).Get(resultPath);
                QVERIFY(direct && direct->status == 200 && direct->body == viaProxy->body);
            }
        }
    }

    // Without its database the service answers 503 with a Retry-After and charges nothing; it
    // says so once, and serves again when the database is back.
    void databaseOutage() {
        QCOMPARE(admin({"key", "set", key_, "--free", "5"}).isEmpty(), false);
        QVERIFY(rig_.stopPostgres());
        for (int i = 0; i < 4; ++i) {
            const auto r = upload(key_, photo(i));
            QVERIFY(r);
            QCOMPARE(r->status, 503);
            QCOMPARE(r->get_header_value("Retry-After"), std::string("5"));
        }
        QVERIFY(rig_.startPostgres());
        // Each instance tries again by itself (the client waits less than Retry-After here).
        QMap<int, int> statuses;
        for (QDeadlineTimer end(10000); statuses.value(200) < 2 && !end.hasExpired();) {
            const auto r = upload(key_, photo(7));
            ++statuses[r ? r->status : -1];
            if (!r || r->status != 200) QTest::qWait(200);
        }
        QCOMPARE(statuses.value(200), 2);
        QCOMPARE(statuses.size(), statuses.contains(503) ? 2 : 1);  // nothing but 200 and 503
        QCOMPARE(creditOf(key_), key_ + " 3 0 0");
        // Said once per outage: when it began and when it ended.
        int outages = 0;
        for (int i = 0; i < rig_.instanceCount(); ++i) {
            const QString log = rig_.instance(i).log();
            QVERIFY2(log.count("cannot be reached") == log.count("reachable again") &&
                         log.count("cannot be reached") <= 1,
                     qPrintable(log));
            outages += log.count("cannot be reached");
        }
        QVERIFY(outages >= 1);
    }

    // One instance killed while a batch runs: every photo is still saved once and paid once.
    void instanceKilledMidBatch() {
#ifndef VORPANE_CLI_PATH
        QSKIP("vorpane-cli is not part of this build");
#else
        const int photos = 16;
        QVERIFY(QDir().mkpath(path("photos")));
        for (int i = 0; i < photos; ++i) {
            QFile f(path(QString("photos/p%1.png").arg(i, 2, 10, QChar('0'))));
            QVERIFY(f.open(QIODevice::WriteOnly));
            const std::string bytes = photo(500 + i);
            f.write(bytes.data(), qint64(bytes.size()));
        }
        QCOMPARE(admin({"key", "set", key_, "--free", "100", "--topup", "0", "--subscription", "0"})
                     .isEmpty(),
                 false);
        {
            // As the killed instance may leave: a charge whose answer never went out.
            const auto killed = vserver::Ledger::open(rig_.uri().toStdString());
            killed->heartbeat();
            QCOMPARE(int(killed->charge(key_.toStdString(), "never-answered").outcome),
                     int(vserver::ChargeResult::Outcome::Charged));
        }
        QProcess cli;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VORPANE_API_KEY", key_);
        env.insert("HOME", path("home"));
        env.insert("XDG_CONFIG_HOME", path("home/.config"));
        env.insert("XDG_DATA_HOME", path("home/.local/share"));
        cli.setProcessEnvironment(env);
        cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        cli.start(QStringLiteral(VORPANE_CLI_PATH),
                  {"--service-url", QString("https://127.0.0.1:%1/api/v1/").arg(rig_.proxyPort()),
                   "--ca-file", rig_.caFile(), "--jobs", "4", "--quiet", "-o", path("out"),
                   path("photos")});
        // Killed once the batch is under way.
        QTRY_VERIFY_WITH_TIMEOUT(cli.canReadLine() || cli.state() == QProcess::NotRunning, 30000);
        rig_.instance(0).stop();
        QVERIFY(cli.waitForFinished(120000));
        QCOMPARE(cli.exitCode(), 0);
        QCOMPARE(QDir(path("out")).entryList(QDir::Files).size(), photos);
        // What the killed instance charged and never delivered is given back by the other
        // once the killed one has been silent for a while.
        const QString expected = key_ + QString(" %1 0 0").arg(100 - photos);
        QString credit;
        for (QDeadlineTimer end(40000); (credit = creditOf(key_)) != expected && !end.hasExpired();)
            QTest::qWait(500);
        QCOMPARE(credit, expected);
#endif
    }
};

QTEST_GUILESS_MAIN(ClusterTest)
#include "tst_cluster.moc"
