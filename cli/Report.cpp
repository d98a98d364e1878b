#include "Report.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {

void write(FILE* stream, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

QString jsonLine(const QJsonObject& object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString duration(qint64 seconds) {
    return seconds >= 3600 ? QStringLiteral("%1:%2:%3")
                                 .arg(seconds / 3600)
                                 .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                                 .arg(seconds % 60, 2, 10, QLatin1Char('0'))
                           : QStringLiteral("%1:%2")
                                 .arg(seconds / 60)
                                 .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

Report::Report(bool json, bool quiet, bool terminal)
    : m_json(json), m_quiet(quiet), m_terminal(terminal) {}

void Report::begin(int toSend) {
    m_toSend = toSend;
    m_clock.start();
    redraw();
}

double Report::rate() const {
    const double seconds = m_clock.isValid() ? m_clock.elapsed() / 1000.0 : 0.0;
    return seconds > 0 ? (m_done + m_failed) / seconds : 0.0;
}

void Report::clearBar() {
    if (!m_barShown) return;
    write(stderr, QStringLiteral("\r\x1b[K"));
    m_barShown = false;
}

void Report::err(const QString& line) {
    clearBar();
    write(stderr, line + QLatin1Char('\n'));
    redraw();
}

void Report::note(const QString& line) {
    err(QStringLiteral("vorpane-cli: ") + line);
}

void Report::out(const QString& line) {
    clearBar();
    write(stdout, line + QLatin1Char('\n'));
    redraw();
}

void Report::image(const ImageResult& r) {
    if (r.status == QLatin1String("done")) ++m_done;
    if (r.status == QLatin1String("failed")) ++m_failed;
    if (r.status == QLatin1String("skipped")) ++m_skipped;
    if (r.status == QLatin1String("not sent")) ++m_notSent;

    if (m_json) {
        QJsonObject object{{QStringLiteral("source"), r.source},
                           {QStringLiteral("output"), r.output},
                           {QStringLiteral("status"), r.status},
                           {QStringLiteral("text"), r.text}};
        object.insert(QStringLiteral("width"),
                      r.size.isValid() ? QJsonValue(r.size.width()) : QJsonValue(QJsonValue::Null));
        object.insert(QStringLiteral("height"), r.size.isValid() ? QJsonValue(r.size.height())
                                                                 : QJsonValue(QJsonValue::Null));
        out(jsonLine(object));
    } else if (r.status == QLatin1String("done")) {
        out(r.output);
    } else if (r.status == QLatin1String("planned")) {
        out(r.source + QStringLiteral(" -> ") + r.output);
    }
    if (m_quiet || r.status == QLatin1String("planned") ||
        (m_terminal && r.status != QLatin1String("failed"))) {
        redraw();
        return;
    }
    QString line = QStringLiteral("%1 %2").arg(r.status, r.source);
    if (!r.output.isEmpty()) line += QStringLiteral(" -> ") + r.output;
    if (r.size.isValid())
        line += QStringLiteral(" (%1x%2)").arg(r.size.width()).arg(r.size.height());
    if (!r.text.isEmpty()) line += QStringLiteral(": ") + r.text;
    if (m_toSend > 0 && r.status != QLatin1String("skipped"))
        line = QStringLiteral("[%1/%2] ").arg(m_done + m_failed + m_notSent).arg(m_toSend) + line;
    err(line);
}

void Report::redraw() {
    if (!m_terminal || m_quiet || m_toSend <= 0 || !m_clock.isValid()) return;
    const int handled = m_done + m_failed;
    constexpr int kWidth = 24;
    const int filled = handled * kWidth / m_toSend;
    const double perSecond = rate();
    QString line =
        QStringLiteral("\r\x1b[K[%1%2] %3 done, %4 failed of %5")
            .arg(QString(filled, QLatin1Char('#')), QString(kWidth - filled, QLatin1Char('-')))
            .arg(m_done)
            .arg(m_failed)
            .arg(m_toSend);
    if (perSecond > 0)
        line += QStringLiteral(", %1 images/s, %2 left")
                    .arg(perSecond, 0, 'f', 2)
                    .arg(duration(static_cast<qint64>((m_toSend - handled) / perSecond + 0.5)));
    write(stderr, line);
    m_barShown = true;
}

void Report::summary(const QString& status, int exitCode, qint64 creditsLeft) {
    const double seconds = m_clock.isValid() ? m_clock.elapsed() / 1000.0 : 0.0;
    if (m_json) {
        QJsonObject object{{QStringLiteral("summary"), status},
                           {QStringLiteral("exit"), exitCode},
                           {QStringLiteral("done"), m_done},
                           {QStringLiteral("failed"), m_failed},
                           {QStringLiteral("skipped"), m_skipped},
                           {QStringLiteral("not_sent"), m_notSent},
                           {QStringLiteral("seconds"), qRound(seconds * 10) / 10.0}};
        object.insert(QStringLiteral("credits_left"),
                      creditsLeft >= 0 ? QJsonValue(creditsLeft) : QJsonValue(QJsonValue::Null));
        out(jsonLine(object));
    }
    clearBar();
    if (m_quiet) return;
    QString line = QStringLiteral("%1: %2 done, %3 failed, %4 skipped, %5 not sent in %6 s")
                       .arg(status)
                       .arg(m_done)
                       .arg(m_failed)
                       .arg(m_skipped)
                       .arg(m_notSent)
                       .arg(seconds, 0, 'f', 1);
    if (m_done + m_failed > 0) line += QStringLiteral(" (%1 images/s)").arg(rate(), 0, 'f', 2);
    if (creditsLeft >= 0) line += QStringLiteral("; %1 credits left").arg(creditsLeft);
    write(stderr, line + QLatin1Char('\n'));
}

void Report::dryRunSummary(int images, int exitCode, qint64 creditsLeft, const QString& why) {
    if (m_json) {
        QJsonObject object{{QStringLiteral("summary"), QStringLiteral("dry run")},
                           {QStringLiteral("exit"), exitCode},
                           {QStringLiteral("images"), images},
                           {QStringLiteral("skipped"), m_skipped}};
        object.insert(QStringLiteral("credits_left"),
                      creditsLeft >= 0 ? QJsonValue(creditsLeft) : QJsonValue(QJsonValue::Null));
        out(jsonLine(object));
        return;
    }
    QString line =
        images == 1 ? QStringLiteral("1 image") : QStringLiteral("%1 images").arg(images);
    line += creditsLeft >= 0 ? QStringLiteral(", %1 credits left").arg(creditsLeft)
                             : QStringLiteral(", credits unknown") + why;
    out(line);
}
