#pragma once

#include "DataModel.h"

#include <QWidget>
#include <functional>
#include <memory>

class Button;

// What both cells of a list row share: the record they show and the hover highlight (black at
// alpha 0.05 while the pointer is over the cell). Hover changes are applied on the next turn of
// the event loop, so an enter and a leave within one turn leave the cell unhighlighted.
class ListCell : public QWidget {
    Q_OBJECT
public:
    explicit ListCell(QWidget* parent = nullptr);

    const std::shared_ptr<DataModel>& record() const { return m_record; }
    bool isHighlighted() const { return m_highlight; }
    // The pointer is over this cell or over the other cell of its row.
    bool isRowHighlighted() const { return m_highlight || (m_partner && m_partner->m_highlight); }
    // The other cell of the row, which is highlighted with this one.
    void setPartner(ListCell* partner) { m_partner = partner; }
    // Shows the record's state again; called when the record changes.
    virtual void refresh() = 0;
    // Makes the cell show `record` (or nothing, with "NA"), in its current state.
    void bind(std::shared_ptr<DataModel> record);

signals:
    // A double click on a row that shows a record.
    void activated(const std::shared_ptr<DataModel>& record);

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    virtual void highlightChanged() {}
    // A small flat icon button of the row, hidden until the cell shows it. A click calls
    // `clicked` while the cell shows a record.
    Button* makeRowButton(const QString& icon, const QString& objectName, const QString& toolTip,
                          std::function<void()> clicked);

private:
    void setHoverSoon(bool hovered);

    std::shared_ptr<DataModel> m_record;
    ListCell* m_partner = nullptr;
    bool m_highlight = false;
    bool m_wantHighlight = false;
    bool m_hoverPending = false;
};
