#pragma once

#include "ScriptedServerTypes.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>

// Files, images and service replies the client tests share.

// An image of that size in that format (PNG, JPEG), as the bytes of its file.
inline QByteArray imageBytes(int w, int h, const char* format = "PNG") {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(QColor(20, 120, 200, 128));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    return buffer.open(QIODevice::WriteOnly) && image.save(&buffer, format) ? bytes : QByteArray();
}

// An opaque image file (its folder created); returns the path, or empty when it failed.
inline QString writeImage(const QString& path, int width = 120, int height = 90) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(40, 120, 200));
    return QDir().mkpath(QFileInfo(path).path()) && image.save(path) ? path : QString();
}

// `count` such images in `folder`, named by `pattern` with their number from 0; their paths.
inline QStringList writeImages(const QString& folder, int count, const char* pattern) {
    QStringList paths;
    for (int i = 0; i < count; ++i)
        paths << writeImage(QDir(folder).filePath(QString::asprintf(pattern, i)));
    return paths;
}

// Writes `bytes`, then grows or cuts the file to `size` when one is given.
inline bool writeFile(const QString& path, const QByteArray& bytes = "data", qint64 size = -1) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() &&
           (size < 0 || f.resize(size));
}

inline QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// The credit check's answer: free, top-up and subscription credits.
inline QByteArray balancesJson(qint64 free, qint64 topUp = 0, qint64 subscription = 0) {
    return "{\"other_remain_credit\":" + QByteArray::number(free) +
           ",\"pay_as_you _go_plan_remain_credit\":" + QByteArray::number(topUp) +
           ",\"subscription_plan_remain_credit\":" + QByteArray::number(subscription) + "}";
}

// The file name an upload carried, empty for a request without an image.
inline QString sentName(const RecordedRequest& r) {
    const RecordedPart* file = r.part("source_image_file");
    return file ? QString::fromUtf8(file->fileName) : QString();
}
