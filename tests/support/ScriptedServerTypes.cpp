#include "ScriptedServerTypes.h"

namespace {

// Splits `kind; key=value; key="quoted; \"value\""` at the semicolons outside quotes: the first
// pair holds the leading token, the others a key and its unquoted value.
RawHeaderList parameters(const QByteArray& value) {
    RawHeaderList out(1);
    bool quoted = false;
    bool inValue = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char c = value[i];
        QByteArray& field = inValue ? out.last().second : out.last().first;
        if (quoted && c == '\\' && i + 1 < value.size()) {
            field += value[++i];
        } else if (c == '"') {
            quoted = !quoted;
        } else if (quoted) {
            field += c;
        } else if (c == ';') {
            out.append(QPair<QByteArray, QByteArray>());
            inValue = false;
        } else if (c == '=' && !inValue) {
            inValue = true;
        } else if (c != ' ' && c != '\t') {
            field += c;
        }
    }
    return out;
}

// A parameter after the first (the value itself); the pointer is into `params`.
const QByteArray* parameter(const RawHeaderList& params, const QByteArray& key) {
    for (qsizetype i = 1; i < params.size(); ++i)
        if (params.at(i).first.compare(key, Qt::CaseInsensitive) == 0) return &params.at(i).second;
    return nullptr;
}

bool parsePartHeaders(const QByteArray& block, RecordedPart& part) {
    for (const QByteArray& line : block.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) return false;
        part.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    if (const QByteArray* type = findScriptedHeader(part.headers, "Content-Type")) {
        part.contentType = *type;
    }
    const QByteArray* disposition = findScriptedHeader(part.headers, "Content-Disposition");
    const RawHeaderList params = parameters(disposition ? *disposition : QByteArray());
    const QByteArray* name = parameter(params, "name");
    if (params.first().first.compare("form-data", Qt::CaseInsensitive) != 0 || !name) return false;
    part.name = *name;
    if (const QByteArray* fileName = parameter(params, "filename")) part.fileName = *fileName;
    return true;
}

}  // namespace

const QByteArray* findScriptedHeader(const RawHeaderList& headers, const QByteArray& name) {
    for (const auto& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0) return &h.second;
    }
    return nullptr;
}

QByteArray RecordedRequest::header(const QByteArray& name) const {
    const QByteArray* value = findScriptedHeader(headers, name);
    return value ? *value : QByteArray();
}

bool RecordedRequest::hasHeader(const QByteArray& name) const {
    return findScriptedHeader(headers, name) != nullptr;
}

const RecordedPart* RecordedRequest::part(const QByteArray& name) const {
    for (const auto& p : parts) {
        if (p.name == name) return &p;
    }
    return nullptr;
}

void RecordedRequest::parseMultipart() {
    const RawHeaderList type = parameters(header("Content-Type"));
    const QByteArray* boundary = parameter(type, "boundary");
    if (type.first().first.compare("multipart/form-data", Qt::CaseInsensitive) != 0 || !boundary ||
        boundary->isEmpty()) {
        return;
    }
    const QByteArray dash = "--" + *boundary;
    const QByteArray delimiter = "\r\n" + dash;
    // The first delimiter opens the body or follows a preamble.
    const bool atStart = body.startsWith(dash);
    qsizetype pos = atStart ? 0 : body.indexOf(delimiter);
    if (pos < 0) return;
    pos += atStart ? dash.size() : delimiter.size();
    for (;;) {
        if (body.mid(pos, 2) == "--") {
            multipartValid = !parts.isEmpty();
            return;
        }
        while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t')) ++pos;
        if (body.mid(pos, 2) != "\r\n") return;
        pos += 2;
        // Searching from the delimiter line's own CRLF finds an empty header block too.
        const qsizetype headEnd = body.indexOf("\r\n\r\n", pos - 2);
        RecordedPart part;
        if (headEnd < 0 ||
            !parsePartHeaders(body.mid(pos, qMax<qsizetype>(0, headEnd - pos)), part))
            return;
        const qsizetype next = body.indexOf(delimiter, headEnd + 4);
        if (next < 0) return;
        part.body = body.mid(headEnd + 4, next - headEnd - 4);
        parts.append(std::move(part));
        pos = next + delimiter.size();
    }
}

ScriptedReply ScriptedReply::json(int status, const QByteArray& body) {
    return bytes(status, "application/json", body);
}

ScriptedReply ScriptedReply::bytes(int status, const QByteArray& contentType,
                                   const QByteArray& body, Mode mode) {
    ScriptedReply reply;
    reply.mode = mode;
    reply.status = status;
    if (!contentType.isEmpty()) reply.headers.append({"Content-Type", contentType});
    reply.body = body;
    return reply;
}

ScriptedReply ScriptedReply::redirect(int status, const QByteArray& location) {
    return bytes(status, {}, {}).withHeader("Location", location);
}

ScriptedReply ScriptedReply::hold() {
    return bytes(200, {}, {}, Mode::Hold);
}

ScriptedReply ScriptedReply::close() {
    return bytes(200, {}, {}, Mode::Close);
}

ScriptedReply ScriptedReply::truncate(int status, const QByteArray& contentType,
                                      const QByteArray& body) {
    return bytes(status, contentType, body, Mode::Truncate);
}

ScriptedReply ScriptedReply::endless(int status, const QByteArray& contentType) {
    return bytes(status, contentType, {}, Mode::Endless);
}

ScriptedReply& ScriptedReply::withHeader(const QByteArray& name, const QByteArray& value) {
    headers.append({name, value});
    return *this;
}

ScriptedReply& ScriptedReply::withDelay(int ms) {
    delayMs = ms;
    return *this;
}
