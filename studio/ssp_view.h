// CSspView: the editor of one file, a plain-text edit that takes its font, tab stops and colours
// from the main frame, selects whole names (letters, digits, '_' and '.') on a double-click,
// changes the case of a selection, and finds lines and offsets for the debugger, the breakpoint
// margin and Find in Files.
#pragma once

#include <QPlainTextEdit>
#include <QString>
#include <QStringList>

class CMainFrame;
class CSspDoc;

class CSspView : public QPlainTextEdit
{
    Q_OBJECT
public:
    // Update hints that the frame broadcasts to every view.
    enum Hint
    {
        kHintFont = 1,
        kHintTabStops = 2,
        kHintColors = 3,
        kHintRepaint = 4
    };

    CSspView(CMainFrame* frame, CSspDoc* doc, QWidget* parent = nullptr);

    CSspDoc* Document() const { return m_doc; }
    void OnUpdate(int hint);

    // The selection without blanks at either end and without one trailing '+', '-', ';', '<', '='
    // or '>': the name under the selection, for a watch.
    QString GetWatchText() const;
    // Line counted from 0. Without text, the caret goes to the line's start; with text, the first
    // occurrence of the text in the line, compared without regard to case, is selected. Either is
    // scrolled into view.
    void SelectLine(int line, const QString& text = QString());
    // The caret to a column of a line (both from 0, kept inside the text), scrolled into view, with
    // the focus.
    void GoToLineColumn(int line, qsizetype column);
    // The text of each line, as it stands (no-break spaces and all).
    QStringList Lines() const;
    // Selects the name around the character at `position` that lies on its line; false when there
    // is none.
    bool SelectWordAt(qsizetype position);
    // Upper- or lower-cases the selected parts of each line (the name at the caret without a
    // selection) as one step to undo, and selects the same range again.
    void ChangeCase(bool upper);
    // The top of a line (counted from 0) in viewport coordinates; false when the line does not exist.
    bool LineTop(int line, int& top) const;
    // "line %d col %d" of the selection's start, both 1-based.
    QString PositionText() const;
    // The line (from 0) that holds the selection's start.
    int CurrentLine() const;
    // Simple text search from the caret (Find, Find Again, Replace).
    bool FindNext(const QString& text, bool matchCase);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void ApplyFont();
    void ApplyTabStops();
    void ApplyColors();

    CMainFrame* m_frame;
    CSspDoc* m_doc;
};
