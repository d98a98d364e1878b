#include "ScriptedServer.h"

#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>
#include <memory>

namespace {

// Runs the reply to completion and returns it (owned by the caller).
std::unique_ptr<QNetworkReply> finish(QNetworkReply* reply, int timeoutMs = 5000) {
    std::unique_ptr<QNetworkReply> owned(reply);
    if (!reply->isFinished()) QSignalSpy(reply, &QNetworkReply::finished).wait(timeoutMs);
    return owned;
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
    void multipartPostIsParsedExactlyOverOneConnection() {
        ScriptedServer server;
        QVERIFY(server.start());
        server.script("/api/v1/upload", ScriptedReply::json(200, R"({"ok":true})"));

        // Bytes that look like a delimiter or a line end must survive untouched.
        const QByteArray image =
            "\x89PNG\r\n\x1a\n\0\r\n--not-a-boundary\r\n" + binaryPayload(4096);
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

        QNetworkAccessManager nam;
        QUrl url = server.url("/api/v1/upload");
        url.setQuery("mode=fast");
        QNetworkRequest request(url);
        request.setRawHeader("X-Api-Key", "k-123");
        auto reply = finish(nam.post(request, multiPart));
        multiPart->setParent(reply.get());
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(reply->header(QNetworkRequest::ContentTypeHeader).toString(), "application/json");
        QCOMPARE(reply->readAll(), QByteArray(R"({"ok":true})"));

        const RecordedRequest recorded = server.lastRequest();
        QCOMPARE(recorded.method + ' ' + recorded.path, "POST /api/v1/upload");
        QCOMPARE(recorded.header("x-api-key"), QByteArray("k-123"));
        QVERIFY(recorded.multipartValid);
        QCOMPARE(recorded.parts.size(), 2);
        const RecordedPart& sizePart = recorded.parts[0];
        QCOMPARE(sizePart.name + '=' + sizePart.body, "size=auto");
        QVERIFY(sizePart.fileName.isEmpty() && sizePart.contentType.isEmpty());
        const RecordedPart& filePart = *recorded.part("image_file");
        QCOMPARE(filePart.fileName, QByteArray("my photo; 1.png"));
        QCOMPARE(filePart.contentType, QByteArray("image/png"));
        QCOMPARE(filePart.headers.size(), 3);
        QCOMPARE(filePart.headers.last(), qMakePair(QByteArray("X-Extra"), QByteArray("yes")));
        QCOMPARE(filePart.body, image);

        // The connection is kept alive for the next request.
        QCOMPARE(finish(nam.get(QNetworkRequest(server.url("/api/v1/upload"))))->error(),
                 QNetworkReply::NoError);
        QCOMPARE(server.requestCount("/api/v1/upload"), 2);
        QCOMPARE(server.connectionCount(), 1);
    }
};

QTEST_GUILESS_MAIN(TestScriptedServer)
#include "tst_scripted_server.moc"
