#include "ScriptedServerTypes.h"

namespace {

bool isToken(char c) {
    return c != ';' && c != ' ' && c != '\t' && c != '=';
}

// Splits `value; key=v; key="quoted \" v"` into lower-cased keys and unquoted values.
// Returns the leading token (before the first ';').
QByteArray parseParameters(const QByteArray& value, RawHeaderList& params) {
    const qsizetype semicolon = value.indexOf(';');
    const QByteArray leading = value.left(semicolon < 0 ? value.size() : semicolon).trimmed();
    if (semicolon < 0) return leading;
    qsizetype i = semicolon + 1;
    const qsizetype n = value.size();
    while (i < n) {
        while (i < n && (value[i] == ' ' || value[i] == '\t' || value[i] == ';')) ++i;
        const qsizetype keyStart = i;
        while (i < n && isToken(value[i])) ++i;
        QByteArray key = value.mid(keyStart, i - keyStart).toLower();
        while (i < n && (value[i] == ' ' || value[i] == '\t')) ++i;
        QByteArray paramValue;
        if (i < n && value[i] == '=') {
            ++i;
            while (i < n && (value[i] == ' ' || value[i] == '\t')) ++i;
            if (i < n && value[i] == '"') {
                ++i;
                while (i < n && value[i] != '"') {
                    if (value[i] == '\\' && i + 1 < n) ++i;
                    paramValue += value[i];
                    ++i;
                }
                ++i;  // closing quote
            } else {
                const qsizetype start = i;
                while (i < n && value[i] != ';') ++i;
                paramValue = value.mid(start, i - start).trimmed();
            }
        }
        while (i < n && value[i] != ';') ++i;
        if (!key.isEmpty()) params.append({key, paramValue});
    }
    return leading;
}

const QByteArray* findParameter(const RawHeaderList& params, const QByteArray& key) {
    for (const auto& p : params) {
        if (p.first == key) return &p.second;
    }
    return nullptr;
}

bool parsePartHeaders(const QByteArray& block, RecordedPart& part) {
    qsizetype pos = 0;
    while (pos < block.size()) {
        qsizetype eol = block.indexOf("\r\n", pos);
        if (eol < 0) eol = block.size();
        const QByteArray line = block.mid(pos, eol - pos);
        pos = eol + 2;
        if (line.isEmpty()) continue;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) return false;
        part.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    part.contentType = scriptedHeaderValue(part.headers, "Content-Type");
    RawHeaderList params;
    const QByteArray disposition = scriptedHeaderValue(part.headers, "Content-Disposition");
    const QByteArray kind = parseParameters(disposition, params);
    if (kind.compare("form-data", Qt::CaseInsensitive) != 0) return false;
    const QByteArray* name = findParameter(params, "name");
    if (!name) return false;
    part.name = *name;
    if (const QByteArray* fileName = findParameter(params, "filename")) {
        part.fileName = *fileName;
        part.hasFileName = true;
    }
    return true;
}

// Skips transport padding (spaces and tabs) after a delimiter; returns the index after it.
qsizetype skipPadding(const QByteArray& body, qsizetype i) {
    while (i < body.size() && (body[i] == ' ' || body[i] == '\t')) ++i;
    return i;
}

}  // namespace

QByteArray scriptedHeaderValue(const RawHeaderList& headers, const QByteArray& name) {
    for (const auto& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0) return h.second;
    }
    return {};
}

bool scriptedHasHeader(const RawHeaderList& headers, const QByteArray& name) {
    for (const auto& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0) return true;
    }
    return false;
}

QByteArray RecordedPart::header(const QByteArray& name) const {
    return scriptedHeaderValue(headers, name);
}

void RecordedPart::releaseBody() {
    body.clear();
    m_storage.clear();
}

QByteArray RecordedRequest::header(const QByteArray& name) const {
    return scriptedHeaderValue(headers, name);
}

bool RecordedRequest::hasHeader(const QByteArray& name) const {
    return scriptedHasHeader(headers, name);
}

const RecordedPart* RecordedRequest::part(const QByteArray& name) const {
    for (const auto& p : parts) {
        if (p.name == name) return &p;
    }
    return nullptr;
}

void parseScriptedMultipart(RecordedRequest& request) {
    RawHeaderList params;
    const QByteArray type = parseParameters(request.header("Content-Type"), params);
    if (type.compare("multipart/form-data", Qt::CaseInsensitive) != 0) return;
    const QByteArray* boundary = findParameter(params, "boundary");
    if (!boundary || boundary->isEmpty()) return;
    request.boundary = *boundary;

    const QByteArray& body = request.body;
    const QByteArray dash = "--" + request.boundary;
    const QByteArray delimiter = "\r\n" + dash;

    // The first delimiter opens the body or follows a preamble line.
    qsizetype pos = 0;
    if (!body.startsWith(dash)) {
        pos = body.indexOf(delimiter);
        if (pos < 0) return;
        pos += 2;
    }
    pos += dash.size();

    for (;;) {
        if (body.mid(pos, 2) == "--") {
            request.multipartValid = !request.parts.isEmpty();
            return;
        }
        pos = skipPadding(body, pos);
        if (body.mid(pos, 2) != "\r\n") return;
        pos += 2;

        RecordedPart part;
        qsizetype contentStart;
        if (body.mid(pos, 2) == "\r\n") {  // a part without headers
            contentStart = pos + 2;
        } else {
            const qsizetype headerEnd = body.indexOf("\r\n\r\n", pos);
            if (headerEnd < 0) return;
            if (!parsePartHeaders(body.mid(pos, headerEnd - pos), part)) return;
            contentStart = headerEnd + 4;
        }
        const qsizetype next = body.indexOf(delimiter, contentStart);
        if (next < 0) return;
        part.m_storage = body;
        part.body =
            QByteArray::fromRawData(part.m_storage.constData() + contentStart, next - contentStart);
        request.parts.append(std::move(part));
        pos = next + delimiter.size();
    }
}

ScriptedReply ScriptedReply::json(int status, const QByteArray& body) {
    return bytes(status, "application/json", body);
}

ScriptedReply ScriptedReply::bytes(int status, const QByteArray& contentType,
                                   const QByteArray& body) {
    ScriptedReply reply;
    reply.status = status;
    if (!contentType.isEmpty()) reply.headers.append({"Content-Type", contentType});
    reply.body = body;
    return reply;
}

ScriptedReply ScriptedReply::redirect(int status, const QByteArray& location) {
    ScriptedReply reply;
    reply.status = status;
    reply.headers.append({"Location", location});
    return reply;
}

ScriptedReply ScriptedReply::hold() {
    ScriptedReply reply;
    reply.mode = Mode::Hold;
    return reply;
}

ScriptedReply ScriptedReply::close() {
    ScriptedReply reply;
    reply.mode = Mode::Close;
    return reply;
}

ScriptedReply ScriptedReply::truncate(int status, const QByteArray& contentType,
                                      const QByteArray& body) {
    ScriptedReply reply = bytes(status, contentType, body);
    reply.mode = Mode::Truncate;
    return reply;
}

ScriptedReply ScriptedReply::endless(int status, const QByteArray& contentType) {
    ScriptedReply reply = bytes(status, contentType, {});
    reply.mode = Mode::Endless;
    return reply;
}

ScriptedReply& ScriptedReply::withHeader(const QByteArray& name, const QByteArray& value) {
    headers.append({name, value});
    return *this;
}

ScriptedReply& ScriptedReply::withDelay(int ms) {
    delayMs = ms;
    return *this;
}
