#include "ImageCell.h"

#include "BusyIndicator.h"
#include "Button.h"
#include "ElidedLabel.h"
#include "ThumbnailView.h"
#include "ViewHelpers.h"

#include <QHBoxLayout>
#include <QLabel>

namespace {
constexpr int kMark = 18;

QLabel* makeMark(const QString& resource, const QString& objectName, const QString& accessible,
                 QWidget* parent) {
    auto* mark = new QLabel(parent);
    mark->setObjectName(objectName);
    mark->setAccessibleName(accessible);
    mark->setFixedSize(kMark, kMark);
    mark->setPixmap(iconPixmap(resource, kMark, parent));
    mark->hide();
    return mark;
}
}  // namespace

ImageCell::ImageCell(QWidget* parent)
    : ListCell(parent),
      m_thumbnail(new ThumbnailView(this)),
      m_textField(new ElidedLabel(Qt::ElideMiddle, this)),
      m_progressIndicator(new BusyIndicator(this)),
      m_imgComplete(makeMark(QStringLiteral(":/icons/done.svg"), QStringLiteral("imgComplete"),
                             tr("Done"), this)),
      m_imgFailed(makeMark(QStringLiteral(":/icons/failed.svg"), QStringLiteral("imgFailed"),
                           tr("Failed"), this)),
      m_btnDelete(makeRowButton(QStringLiteral(":/icons/delete.svg"), QStringLiteral("btnDelete"),
                                tr("Remove from the list"),
                                [this] { emit deleteRequested(record()); })) {
    setObjectName(QStringLiteral("ImageCell"));
    m_thumbnail->setObjectName(QStringLiteral("thumbnail"));
    m_thumbnail->setFixedSize(32, 32);
    m_textField->setObjectName(QStringLiteral("textField"));
    m_progressIndicator->setObjectName(QStringLiteral("progressIndicator"));
    m_progressIndicator->setAccessibleName(tr("In progress"));
    m_progressIndicator->hide();
    // The marks keep their place whether the delete button shows or not.
    QSizePolicy keepPlace = m_btnDelete->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    m_btnDelete->setSizePolicy(keepPlace);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 4, 8, 4);
    layout->setSpacing(10);
    layout->addWidget(m_thumbnail);
    layout->addWidget(m_textField, 1);
    layout->addWidget(m_progressIndicator);
    layout->addWidget(m_imgComplete);
    layout->addWidget(m_imgFailed);
    layout->addWidget(m_btnDelete);
}

void ImageCell::refresh() {
    const DataModel* model = record().get();
    const QString name = model && model->imageName && !model->imageName->isEmpty()
                             ? *model->imageName
                             : QStringLiteral("NA");
    if (name != m_name) {
        m_name = name;
        m_textField->setFullText(name);
        m_btnDelete->setAccessibleName(tr("Remove %1").arg(name));
    }
    const RowStatus status = model ? model->status : RowStatus::Waiting;
    const bool inProgress = status == RowStatus::InProgress;
    m_progressIndicator->setVisible(inProgress);
    if (inProgress)
        m_progressIndicator->start();
    else
        m_progressIndicator->stop();
    m_imgComplete->setVisible(status == RowStatus::Done);
    // A row the run halted at was not sent: it has its words in the result column, not the mark.
    const bool failed = status == RowStatus::Failed;
    m_imgFailed->setVisible(failed);
    if (failed) m_imgFailed->setToolTip(model->statusText.trimmed());
    m_btnDelete->setEnabled(!inProgress);
    updateDeleteButton();
}

void ImageCell::setThumbnail(const QImage& image) {
    if (image.isNull())
        m_thumbnail->clear();
    else
        m_thumbnail->setImage(image);
}

void ImageCell::highlightChanged() {
    updateDeleteButton();
}

void ImageCell::updateDeleteButton() {
    // Shown under the pointer; a row where the run halted keeps it shown.
    const bool halted = record() && record()->status == RowStatus::FailedHalted;
    m_btnDelete->setVisible(isRowHighlighted() || halted);
}
