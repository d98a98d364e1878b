#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QPair>

using RawHeaderList = QList<QPair<QByteArray, QByteArray>>;

// Case-insensitive lookup of the first header with that name, nullptr if none.
const QByteArray* findScriptedHeader(const RawHeaderList& headers, const QByteArray& name);

// One part of a multipart/form-data body, exactly as it arrived.
struct RecordedPart {
    QByteArray name;         // Content-Disposition name="..."
    QByteArray fileName;     // Content-Disposition filename="..." (empty when absent)
    QByteArray contentType;  // the part's own Content-Type (empty when absent)
    RawHeaderList headers;   // every part header, raw, in order
    QByteArray body;         // exact bytes
};

// One complete request as the scripted server received it.
struct RecordedRequest {
    QByteArray method;
    QByteArray path;              // request target without the query
    RawHeaderList headers;        // in order, names as sent
    QByteArray body;              // exact body bytes
    qint64 bodySize = 0;          // kept even when the server is told not to keep bodies
    QList<RecordedPart> parts;    // filled when Content-Type is multipart/form-data
    bool multipartValid = false;  // well-formed, closing delimiter included

    // Case-insensitive, first match, empty if none.
    QByteArray header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;
    // The first part with that name, or nullptr.
    const RecordedPart* part(const QByteArray& name) const;
    // Fills parts and multipartValid when the body is multipart/form-data.
    void parseMultipart();
};

// What the server does with one request.
struct ScriptedReply {
    enum class Mode {
        Respond,   // status line, headers, Content-Length, body
        Hold,      // read the request, never answer, keep the socket open
        Close,     // close the connection without answering
        Truncate,  // announce 1024 bytes more than the body, send the body, then close
        Endless,   // headers without Content-Length, then stream bytes until the peer goes away
    };
    Mode mode = Mode::Respond;
    int status = 200;
    RawHeaderList headers;      // extra headers; Content-Length is added unless given
    QByteArray body;            // Endless: the repeated chunk (64 KiB of filler when empty)
    int delayMs = 0;            // wait before answering (timer, never blocking)
    int endlessIntervalMs = 2;  // Endless: one chunk per interval; 0 = as fast as the peer reads

    static ScriptedReply json(int status, const QByteArray& body);
    static ScriptedReply bytes(int status, const QByteArray& contentType, const QByteArray& body,
                               Mode mode = Mode::Respond);
    static ScriptedReply redirect(int status, const QByteArray& location);
    static ScriptedReply hold();
    static ScriptedReply close();
    static ScriptedReply truncate(int status, const QByteArray& contentType,
                                  const QByteArray& body);
    static ScriptedReply endless(int status, const QByteArray& contentType);

    ScriptedReply& withHeader(const QByteArray& name, const QByteArray& value);
    ScriptedReply& withDelay(int ms);
};

Q_DECLARE_METATYPE(RecordedRequest)
