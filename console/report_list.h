// CListCtrlEx: every list of the console: a report with whole rows selected, whose cells cut a
// text that does not fit to its start and "...", drawn left-aligned then, whatever the column's
// alignment. The main window's list keeps its selection highlighted while it lacks the focus
// (CListViewEx); the lists of dialogs show no highlight then.
#pragma once

#include <QStyledItemDelegate>
#include <QTreeWidget>

class CListCtrlEx : public QTreeWidget
{
    Q_OBJECT
public:
    explicit CListCtrlEx(QWidget* parent = nullptr, bool keepSelectionShown = false);

    // Whole-row selection (on by default; dialogs switch it on when they open).
    void SetFullRowSel(bool on);
    bool IsFullRowSel() const { return m_fullRowSel; }
    bool KeepsSelectionShown() const { return m_keepSelectionShown; }

    // Sets the column captions, widths and (optionally) alignments.
    void SetColumns(const QStringList& captions, const QList<int>& widths);

    // The first selected row's index, -1 when none.
    int SelectedRow() const;
    void SelectRow(int row);
    QString CellText(int row, int column) const;
    int RowData(int row) const;

    // The text drawn in a cell `width` pixels wide: unchanged when it fits with `margin`, else cut
    // from its end until what is left, "..." and the margin fit, or one character is left.
    static QString ShortenText(const QFontMetrics& metrics, const QString& text, int width, int margin,
                               bool* shortened = nullptr);

private:
    bool m_fullRowSel = true;
    bool m_keepSelectionShown;
};

// The drawing of one cell by the rules above.
class CReportItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit CReportItemDelegate(CListCtrlEx* list);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    CListCtrlEx* m_list;
};

// The main window's list.
class CListViewEx : public CListCtrlEx
{
    Q_OBJECT
public:
    explicit CListViewEx(QWidget* parent = nullptr) : CListCtrlEx(parent, true) {}
};
