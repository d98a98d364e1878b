#include "OutputCell.h"

#include "Button.h"
#include "ElidedLabel.h"
#include "ImageListModel.h"

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
    // Every row says where it stands: waiting, what it is doing, its size, or why it failed or
    // was not sent. A cut text shows in full on hover.
    const QColor grey(0x5f, 0x63, 0x68);
    const QColor amber(0x9a, 0x5b, 0x00);  // not sent, with the reason
    QColor color = grey;
    if (status == RowStatus::Done) color = QColor(0x1e, 0x7e, 0x3e);
    if (status == RowStatus::Failed) color = QColor(0xc5, 0x22, 0x1f);
    if (status == RowStatus::FailedHalted ||
        (status == RowStatus::Waiting && model && !model->statusText.isEmpty()))
        color = amber;
    // Done rows keep their leading space before the size.
    const QString text = model && status == RowStatus::Done ? model->statusText
                         : model                            ? ImageListModel::resultText(*model)
                                                            : tr("Waiting");
    setStatusColor(m_lblStatus, color);
    m_lblStatus->setFullText(text);
    m_lblStatus->setVisible(true);
    m_imgZoom->setVisible(status == RowStatus::Done);
    const QString name = model && model->imageName ? *model->imageName : QStringLiteral("NA");
    m_imgZoom->setAccessibleName(tr("Preview the result of %1").arg(name));
}
