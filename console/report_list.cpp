#include "console/report_list.h"

#include <QHeaderView>
#include <QPainter>

namespace {

constexpr int kFirstColumnMargin = 4;
constexpr int kOtherColumnMargin = 12;
// Text insets inside a cell, left and right.
constexpr int kFirstColumnInset = 2;
constexpr int kOtherColumnInset = 6;

}  // namespace

CListCtrlEx::CListCtrlEx(QWidget* parent, bool keepSelectionShown)
    : QTreeWidget(parent), m_keepSelectionShown(keepSelectionShown)
{
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setItemDelegate(new CReportItemDelegate(this));
    header()->setStretchLastSection(true);
    SetFullRowSel(true);
}

void CListCtrlEx::SetFullRowSel(bool on)
{
    m_fullRowSel = on;
    setSelectionBehavior(on ? QAbstractItemView::SelectRows : QAbstractItemView::SelectItems);
    setAllColumnsShowFocus(on);
    viewport()->update();
}

void CListCtrlEx::SetColumns(const QStringList& captions, const QList<int>& widths)
{
    setColumnCount(static_cast<int>(captions.size()));
    setHeaderLabels(captions);
    for (int i = 0; i < widths.size() && i < captions.size(); ++i)
        setColumnWidth(i, widths[i]);
}

int CListCtrlEx::SelectedRow() const
{
    const QList<QTreeWidgetItem*> selected = selectedItems();
    int first = -1;
    for (QTreeWidgetItem* item : selected) {
        const int row = indexOfTopLevelItem(item);
        if (first < 0 || row < first)
            first = row;
    }
    return first;
}

void CListCtrlEx::SelectRow(int row)
{
    clearSelection();
    if (QTreeWidgetItem* item = topLevelItem(row)) {
        setCurrentItem(item);
        item->setSelected(true);
    }
}

QString CListCtrlEx::CellText(int row, int column) const
{
    const QTreeWidgetItem* item = topLevelItem(row);
    return item ? item->text(column) : QString();
}

int CListCtrlEx::RowData(int row) const
{
    const QTreeWidgetItem* item = topLevelItem(row);
    return item ? item->data(0, Qt::UserRole).toInt() : 0;
}

QString CListCtrlEx::ShortenText(const QFontMetrics& metrics, const QString& text, int width, int margin,
                                 bool* shortened)
{
    if (shortened)
        *shortened = false;
    if (metrics.horizontalAdvance(text) + margin <= width)
        return text;
    if (shortened)
        *shortened = true;
    const QString dots = QStringLiteral("...");
    QString kept = text;
    while (kept.size() > 1 && metrics.horizontalAdvance(kept + dots) + margin > width)
        kept.chop(1);
    return kept + dots;
}

CReportItemDelegate::CReportItemDelegate(CListCtrlEx* list) : QStyledItemDelegate(list), m_list(list)
{}

void CReportItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    const bool selected = cell.state & QStyle::State_Selected;
    const bool showSelection = m_list->hasFocus() || m_list->KeepsSelectionShown();
    const bool highlighted = selected && showSelection;

    painter->save();
    const QPalette& palette = cell.palette;
    painter->fillRect(cell.rect, highlighted ? palette.color(QPalette::Active, QPalette::Highlight)
                                             : palette.color(QPalette::Base));
    painter->setPen(highlighted ? palette.color(QPalette::Active, QPalette::HighlightedText)
                                : palette.color(QPalette::Text));
    const bool first = index.column() == 0;
    const int inset = first ? kFirstColumnInset : kOtherColumnInset;
    const QRect textRect = cell.rect.adjusted(inset, 0, -inset, 0);
    bool shortened = false;
    const QString text = CListCtrlEx::ShortenText(cell.fontMetrics, cell.text, cell.rect.width(),
                                                  first ? kFirstColumnMargin : kOtherColumnMargin, &shortened);
    Qt::Alignment horizontal = Qt::AlignLeft;
    if (!shortened)
        horizontal = cell.displayAlignment & Qt::AlignHorizontal_Mask;
    painter->drawText(textRect, static_cast<int>(horizontal | Qt::AlignVCenter | Qt::TextSingleLine), text);
    painter->restore();
}
