#include "ScriptedServer.h"
#include "ScriptedServerThread.h"

#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

namespace {

// Runs the reply to completion and returns it (owned by the caller).
std::unique_ptr<QNetworkReply> finish(QNetworkReply* reply, int timeoutMs = 5000) {
    std::unique_ptr<QNetworkReply> owned(reply);
    if (!reply->isFinished()) {
        QSignalSpy spy(reply, &QNetworkReply::finished);
        spy.wait(timeoutMs);
    }
    return owned;
}

int statusOf(const QNetworkReply& reply) {
    return reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

QByteArray binaryPayload(qsizetype size) {
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 0x12345678u;
    for (qsizetype i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = char(x >> 24);
    }
    return data;
}

}  // namespace

class TestScriptedServer final : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void multipartPostIsParsedExactly();
    void rawChunkedSegmentedAndContinueRequests();
    void largeUploadToThreadedServerIsIntact();

private:
    std::unique_ptr<ScriptedServer> m_server;
    std::unique_ptr<QNetworkAccessManager> m_nam;
};

void TestScriptedServer::init() {
    m_server = std::make_unique<ScriptedServer>();
    QVERIFY(m_server->start());
    QVERIFY(m_server->port() != 0);
    m_nam = std::make_unique<QNetworkAccessManager>();
}

void TestScriptedServer::cleanup() {
    m_nam.reset();
    m_server.reset();
}

void TestScriptedServer::multipartPostIsParsedExactly() {
    m_server->script("/api/v1/upload", ScriptedReply::json(200, R"({"ok":true})"));

    // Bytes that look like a delimiter or a line end must survive untouched.
    const QByteArray image = "\x89PNG\r\n\x1a\n\0\r\n--not-a-boundary\r\n" + binaryPayload(4096);
    auto* multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    QHttpPart field;
    field.setHeader(QNetworkRequest::ContentDispositionHeader, R"(form-data; name="size")");
    field.setBody("auto");
    QHttpPart file;
    file.setHeader(QNetworkRequest::ContentTypeHeader, "image/png");
    file.setHeader(QNetworkRequest::ContentDispositionHeader,
                   R"(form-data; name="image_file"; filename="my photo; 1.png")");
    file.setRawHeader("X-Extra", "yes");
    file.setBody(image);
    multiPart->append(field);
    multiPart->append(file);

    QNetworkRequest request(m_server->url("/api/v1/upload?mode=fast"));
    request.setRawHeader("X-Api-Key", "k-123");
    auto reply = finish(m_nam->post(request, multiPart));
    multiPart->setParent(reply.get());
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(statusOf(*reply), 200);
    QCOMPARE(reply->header(QNetworkRequest::ContentTypeHeader).toString(),
             QStringLiteral("application/json"));
    QCOMPARE(reply->readAll(), QByteArray(R"({"ok":true})"));

    const RecordedRequest recorded = m_server->lastRequest();
    QCOMPARE(recorded.method, QByteArray("POST"));
    QCOMPARE(recorded.target, QByteArray("/api/v1/upload?mode=fast"));
    QCOMPARE(recorded.path, QByteArray("/api/v1/upload"));
    QCOMPARE(recorded.header("x-api-key"), QByteArray("k-123"));
    QVERIFY(recorded.header("Content-Type").contains(recorded.boundary));
    QVERIFY(!recorded.boundary.isEmpty());
    QVERIFY(recorded.multipartValid);
    QCOMPARE(recorded.parts.size(), 2);

    const RecordedPart& sizePart = recorded.parts[0];
    QCOMPARE(sizePart.name, QByteArray("size"));
    QVERIFY(!sizePart.hasFileName);
    QVERIFY(sizePart.contentType.isEmpty());
    QCOMPARE(sizePart.body, QByteArray("auto"));

    const RecordedPart& filePart = recorded.parts[1];
    QCOMPARE(filePart.name, QByteArray("image_file"));
    QVERIFY(filePart.hasFileName);
    QCOMPARE(filePart.fileName, QByteArray("my photo; 1.png"));
    QCOMPARE(filePart.contentType, QByteArray("image/png"));
    QCOMPARE(filePart.header("x-extra"), QByteArray("yes"));
    QCOMPARE(filePart.body, image);
    QCOMPARE(recorded.part("image_file"), &filePart);
}





void TestScriptedServer::rawChunkedSegmentedAndContinueRequests() {
    m_server->script("/upload", ScriptedReply::json(200, "stored"));

    QTcpSocket socket;
    QByteArray received;
    connect(&socket, &QTcpSocket::readyRead, this, [&] { received += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, m_server->port());
    QVERIFY(socket.waitForConnected(2000));

    // A chunked body with an extension and a trailer, cut mid-line across writes, followed in
    // the same write by a second request with a fixed-length body.
    const QList<QByteArray> segments = {
        "POST /upload HTTP/1.1\r\nHost: x\r\nTransfer-",
        "Encoding: chunked\r\n\r\n5;ext=1\r\nhel",
        "lo\r\n7\r\n, world\r\n0\r\nX-Trailer: t\r\n\r\n"
        "POST /upload HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nab",
        "c",
    };
    for (const QByteArray& segment : segments) {
        socket.write(segment);
        QVERIFY(socket.waitForBytesWritten(1000));
        QTest::qWait(20);
    }
    QTRY_COMPARE(m_server->requestCount("/upload"), 2);
    QTRY_COMPARE(received.count("HTTP/1.1 200 OK"), 2);

    // The body of an Expect: 100-continue request follows only after the interim response.
    received.clear();
    socket.write(
        "PUT /upload HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n");
    QTRY_VERIFY(received.startsWith("HTTP/1.1 100 Continue\r\n\r\n"));
    QCOMPARE(m_server->requestCount(), 2);
    socket.write("done");
    QTRY_VERIFY(received.contains("HTTP/1.1 200 OK"));

    const QList<RecordedRequest> all = m_server->requests();
    QCOMPARE(all.size(), 3);
    QVERIFY(all[0].chunked);
    QCOMPARE(all[0].body, QByteArray("hello, world"));
    QCOMPARE(all[1].body, QByteArray("abc"));
    QCOMPARE(all[2].method, QByteArray("PUT"));
    QCOMPARE(all[2].body, QByteArray("done"));
    QCOMPARE(m_server->connectionCount(), 1);
}






void TestScriptedServer::largeUploadToThreadedServerIsIntact() {
    ScriptedServerThread serverThread;
    QVERIFY(serverThread.start());
    ScriptedServer* server = serverThread.server();
    QVERIFY(server->thread() != QThread::currentThread());
    QThread* handlerThread = nullptr;
    server->setHandler([&handlerThread](const RecordedRequest& request) {
        handlerThread = QThread::currentThread();
        return ScriptedReply::json(200, QByteArray::number(request.bodySize));
    });
    QSignalSpy received(server, &ScriptedServer::requestReceived);

    const QByteArray payload = binaryPayload(13 * 1024 * 1024);
    QNetworkRequest request(serverThread.url("/big"));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
    auto reply = finish(m_nam->post(request, payload), 20000);
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->readAll(), QByteArray::number(payload.size()));
    QVERIFY(server->waitForRequests(1));
    QCOMPARE(handlerThread, server->thread());
    QTRY_COMPARE(received.size(), 1);
    QCOMPARE(received.first().first().value<RecordedRequest>().path, QByteArray("/big"));

    const RecordedRequest recorded = server->lastRequest();
    QCOMPARE(recorded.bodySize, payload.size());
    QVERIFY(recorded.body == payload);
}

QTEST_GUILESS_MAIN(TestScriptedServer)
#include "tst_scripted_server.moc"
