#pragma once

#include "ListCell.h"

class Button;
class ElidedLabel;

// The second cell of a list row: the result's status text (its pixel size when done, the reason
// when failed) and a zoom button that previews the saved result.
class OutputCell final : public ListCell {
    Q_OBJECT
public:
    explicit OutputCell(QWidget* parent = nullptr);

    void refresh() override;
    ElidedLabel* lblStatus() const { return m_lblStatus; }
    Button* imgZoom() const { return m_imgZoom; }

signals:
    void previewRequested(const std::shared_ptr<DataModel>& record);

private:
    ElidedLabel* m_lblStatus;
    Button* m_imgZoom;
};
