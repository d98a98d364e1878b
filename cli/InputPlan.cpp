#include "InputPlan.h"

#include "ImageQueue.h"
#include "NaturalOrder.h"
#include "ResultSaver.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>

#include <algorithm>

namespace {

bool isInside(const QString& path, const QString& folder) {
    return !folder.isEmpty() && (path == folder || path.startsWith(folder + QLatin1Char('/')));
}

}  // namespace

void InputPlan::skipSaved(
    const std::function<QHash<QString, QString>(const QString& folder)>& savedIn) {
    for (Batch& batch : batches) {
        const QHash<QString, QString> saved = savedIn(batch.outputFolder);
        for (PlannedImage& image : batch.images) {
            const auto found = saved.constFind(image.source);
            if (found == saved.constEnd()) continue;
            image.skipped = true;
            image.expectedOutput = *found;
        }
    }
}

InputPlan InputPlan::make(const Request& request) {
    InputPlan plan;
    QHash<QString, int> batchOf;  // output folder -> index in `batches`
    auto add = [&](const QString& source, const QString& outputFolder) {
        auto it = batchOf.constFind(outputFolder);
        if (it == batchOf.constEnd()) {
            it = batchOf.insert(outputFolder, static_cast<int>(plan.batches.size()));
            plan.batches.append(Batch{outputFolder, {}});
        }
        PlannedImage image;
        image.source = source;
        image.expectedOutput =
            QDir(outputFolder)
                .filePath(ResultSaver::photoFileName(QFileInfo(source).fileName(),
                                                     QLatin1Char('.') + request.format));
        plan.batches[*it].images.append(image);
    };

    const QString outputTree = QFileInfo(request.outputRoot).canonicalFilePath();
    for (const QString& input : request.inputs) {
        const QFileInfo info(input);
        if (!info.exists()) {
            plan.error = QStringLiteral("no such file or folder: %1").arg(input);
            return plan;
        }
        if (!info.isDir()) {
            add(info.absoluteFilePath(), request.outputRoot);
            continue;
        }
        const QString root = QDir::cleanPath(info.absoluteFilePath());
        QStringList folders{root};
        // Results written below the folder being listed are not sources (results beside their
        // sources, in the folder itself, stay as they are: that tree is the input).
        const QString rootTree = QFileInfo(root).canonicalFilePath();
        const QString excluded = outputTree != rootTree ? outputTree : QString();
        if (request.recursive) {
            QDirIterator it(root, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
            QStringList below;
            while (it.hasNext()) {
                const QString folder = it.next();
                if (!isInside(QFileInfo(folder).canonicalFilePath(), excluded))
                    below.append(folder);
            }
            std::sort(below.begin(), below.end(), naturalLess);
            folders += below;
        }
        for (const QString& folder : folders) {
            const QString target = QDir::cleanPath(
                QDir(request.outputRoot).filePath(QDir(root).relativeFilePath(folder)));
            int others = 0;
            QFileInfoList files = QDir(folder).entryInfoList(
                QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted);
            sortByName(files);
            for (const QFileInfo& file : files) {
                if (ImageQueue::isListedImage(file.fileName()))
                    add(file.absoluteFilePath(), target);
                else
                    ++others;
            }
            if (others > 0)
                plan.notes.append(QStringLiteral("%1 file(s) in %2 left out: only png and jpg "
                                                 "images are sent")
                                      .arg(others)
                                      .arg(folder));
        }
        if (!request.recursive) {
            const QStringList inside =
                QDir(root).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
            if (!inside.isEmpty())
                plan.notes.append(QStringLiteral("%1 folder(s) in %2 not searched (%3): add "
                                                 "--recursive to send their images")
                                      .arg(inside.size())
                                      .arg(root, inside.join(QStringLiteral(", "))));
        }
    }
    return plan;
}

int InputPlan::imageCount() const {
    int n = 0;
    for (const Batch& batch : batches) n += static_cast<int>(batch.images.size());
    return n;
}

int InputPlan::skippedCount() const {
    int n = 0;
    for (const Batch& batch : batches)
        for (const PlannedImage& image : batch.images) n += image.skipped ? 1 : 0;
    return n;
}
