#include "OutputCell.h"

#include "Button.h"
#include "ElidedLabel.h"

#include <QHBoxLayout>
#include <QLabel>

namespace {
// The list carries a style sheet, which takes precedence over palettes: the colour is set the
// same way, and only when it changes.
void setStatusColor(QLabel* label, const QColor& color) {
    const QString name = color.name();
    if (label->property("statusColor").toString() == name) return;
    label->setProperty("statusColor", name);
    label->setStyleSheet(QStringLiteral("color: %1;").arg(name));
}
}  // namespace

OutputCell::OutputCell(QWidget* parent)
    : ListCell(parent),
      m_lblStatus(new ElidedLabel(Qt::ElideRight, this)),
      m_imgZoom(makeRowButton(QStringLiteral(":/icons/zoom.svg"), QStringLiteral("imgZoom"),
                              tr("Preview the result"),
                              [this] { emit previewRequested(record()); })) {
    setObjectName(QStringLiteral("OutputCell"));
    m_lblStatus->setObjectName(QStringLiteral("lblStatus"));
    m_lblStatus->hide();

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 4, 8, 4);
    layout->setSpacing(6);
    layout->addWidget(m_lblStatus, 1);
    layout->addWidget(m_imgZoom);
}

void OutputCell::refresh() {
    const DataModel* model = record().get();
    const RowStatus status = model ? model->status : RowStatus::Waiting;
    bool showStatus = false;
    switch (status) {
        case RowStatus::Waiting:
            break;
        case RowStatus::InProgress:
            // A pause before the image is tried again says how long it lasts, and why.
            setStatusColor(m_lblStatus, QColor(0x5f, 0x63, 0x68));
            m_lblStatus->setFullText(model->statusText);
            showStatus = !model->statusText.isEmpty();
            break;
        case RowStatus::Done:
            setStatusColor(m_lblStatus, QColor(0x1e, 0x7e, 0x3e));
            m_lblStatus->setFullText(model->statusText);
            showStatus = true;
            break;
        case RowStatus::Failed:
        case RowStatus::FailedHalted:
            setStatusColor(m_lblStatus, QColor(0xc5, 0x22, 0x1f));
            m_lblStatus->setFullText(model->statusText);
            showStatus = true;
            break;
    }
    m_lblStatus->setVisible(showStatus);
    m_imgZoom->setVisible(status == RowStatus::Done);
    const QString name = model && model->imageName ? *model->imageName : QStringLiteral("NA");
    m_imgZoom->setAccessibleName(tr("Preview the result of %1").arg(name));
}
