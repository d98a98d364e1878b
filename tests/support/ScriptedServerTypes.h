#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QPair>

using RawHeaderList = QList<QPair<QByteArray, QByteArray>>;

struct RecordedRequest;
void parseScriptedMultipart(RecordedRequest& request);

// One part of a multipart/form-data body, exactly as it arrived.
struct RecordedPart {
    QByteArray name;      // Content-Disposition name="..."
    QByteArray fileName;  // Content-Disposition filename="..." (empty when absent)
    bool hasFileName = false;
    QByteArray contentType;  // the part's own Content-Type (empty when absent)
    RawHeaderList headers;   // every part header, raw, in order
    QByteArray body;         // exact bytes (a view into the request body until modified)

    QByteArray header(const QByteArray& name) const;
    // Frees the bytes, including the request body this part's bytes point into.
    void releaseBody();

private:
    // Keeps the request body alive while `body` points into it, so large uploads are not
    // held twice.
    QByteArray m_storage;
    friend void parseScriptedMultipart(RecordedRequest& request);
};

// One complete request as the scripted server received it.
struct RecordedRequest {
    QByteArray method;
    QByteArray target;  // raw request target
    QByteArray path;    // target without query or fragment
    QByteArray version;
    RawHeaderList headers;  // in order, names as sent
    QByteArray body;        // exact body bytes (chunked bodies decoded)
    qint64 bodySize = 0;    // kept even when the server is told not to keep bodies
    bool chunked = false;
    QList<RecordedPart> parts;  // filled when Content-Type is multipart/form-data
    bool multipartValid =
        false;  // well-formed with the declared boundary, closing delimiter included
    QByteArray boundary;

    // Case-insensitive, first match, empty if none.
    QByteArray header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;
    // The first part with that name, or nullptr.
    const RecordedPart* part(const QByteArray& name) const;
};

// What the server does with one request.
struct ScriptedReply {
    enum class Mode {
        Respond,   // status line, headers, Content-Length, body
        Hold,      // read the request, never answer, keep the socket open
        Close,     // close the connection without answering
        Truncate,  // announce body.size() + missingBytes, send body, then close
        Endless,   // headers without Content-Length, then stream bytes until the peer goes away
    };
    Mode mode = Mode::Respond;
    int status = 200;
    RawHeaderList headers;       // extra headers; Content-Length is added for Respond unless given
    QByteArray body;             // Endless: the repeated chunk (64 KiB of filler when empty)
    int delayMs = 0;             // wait before answering (timer, never blocking)
    qint64 missingBytes = 1024;  // Truncate: how many announced bytes never come
    int endlessIntervalMs = 2;   // Endless: one chunk per interval; 0 = as fast as the peer reads

    static ScriptedReply json(int status, const QByteArray& body);
    static ScriptedReply bytes(int status, const QByteArray& contentType, const QByteArray& body);
    static ScriptedReply redirect(int status, const QByteArray& location);
    static ScriptedReply hold();
    static ScriptedReply close();
    static ScriptedReply truncate(int status, const QByteArray& contentType,
                                  const QByteArray& body);
    static ScriptedReply endless(int status, const QByteArray& contentType);

    ScriptedReply& withHeader(const QByteArray& name, const QByteArray& value);
    ScriptedReply& withDelay(int ms);
};

// Lookup helpers shared by the request and its parts.
QByteArray scriptedHeaderValue(const RawHeaderList& headers, const QByteArray& name);
bool scriptedHasHeader(const RawHeaderList& headers, const QByteArray& name);

// Parses request.body as multipart/form-data when its Content-Type says so; fills boundary,
// parts and multipartValid. Does nothing for other content types.
void parseScriptedMultipart(RecordedRequest& request);

Q_DECLARE_METATYPE(RecordedRequest)
