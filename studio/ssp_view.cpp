#include "studio/ssp_view.h"

#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

#include "studio/main_frame.h"

namespace {

bool IsNameCharacter(QChar c)
{
    return c.isLetterOrNumber() || c == u'_' || c == u'.';
}

}  // namespace

CSspView::CSspView(CMainFrame* frame, CSspDoc* doc, QWidget* parent)
    : QPlainTextEdit(parent), m_frame(frame), m_doc(doc)
{
    setLineWrapMode(QPlainTextEdit::NoWrap);
    document()->setDocumentMargin(4);
    ApplyFont();
    ApplyColors();
}

void CSspView::OnUpdate(int hint)
{
    switch (hint) {
    case kHintFont: ApplyFont(); break;
    case kHintTabStops: ApplyTabStops(); break;
    case kHintColors: ApplyColors(); break;
    default: viewport()->update(); break;
    }
}

void CSspView::ApplyFont()
{
    setFont(m_frame->EditorFont());
    ApplyTabStops();
}

void CSspView::ApplyTabStops()
{
    // A tab stop is counted in average characters of the font.
    const QFontMetricsF metrics(font());
    setTabStopDistance(m_frame->TabStops() * metrics.averageCharWidth());
}

void CSspView::ApplyColors()
{
    QPalette colors = palette();
    colors.setColor(QPalette::Text, m_frame->TextColor());
    colors.setColor(QPalette::Base, m_frame->BackgroundColor());
    setPalette(colors);
    viewport()->update();
}

QString CSspView::GetWatchText() const
{
    QString text = textCursor().selectedText().trimmed();
    if (!text.isEmpty() && QStringLiteral("+-;<=>").contains(text.back()))
        text.chop(1);
    return text;
}

void CSspView::SelectLine(int line, const QString& text)
{
    const QTextBlock block = document()->findBlockByNumber(line);
    if (!block.isValid())
        return;
    QTextCursor cursor(block);
    if (!text.isEmpty()) {
        const int at = block.text().indexOf(text, 0, Qt::CaseInsensitive);
        if (at < 0)
            return;
        cursor.setPosition(block.position() + at);
        cursor.setPosition(block.position() + at + static_cast<int>(text.size()), QTextCursor::KeepAnchor);
    }
    setTextCursor(cursor);
    ensureCursorVisible();
}

void CSspView::GoToLineColumn(int line, qsizetype column)
{
    QTextBlock block = document()->findBlockByNumber(line);
    if (!block.isValid())
        block = document()->lastBlock();
    QTextCursor cursor(block);
    cursor.setPosition(block.position() + static_cast<int>(std::min<qsizetype>(column, block.length() - 1)));
    setTextCursor(cursor);
    ensureCursorVisible();
    setFocus();
}

QStringList CSspView::Lines() const
{
    // The blocks' own texts: the document's plain text would turn no-break spaces into blanks.
    QStringList lines;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next())
        lines.append(block.text());
    return lines;
}

bool CSspView::SelectWordAt(qsizetype position)
{
    const QTextBlock block = document()->findBlock(static_cast<int>(position));
    if (!block.isValid())
        return false;
    const QString line = block.text();
    const qsizetype at = position - block.position();
    if (at < 0 || at >= line.size() || !IsNameCharacter(line.at(at)))
        return false;
    qsizetype start = at;
    qsizetype end = at;
    while (start > 0 && IsNameCharacter(line.at(start - 1)))
        --start;
    while (end < line.size() && IsNameCharacter(line.at(end)))
        ++end;
    QTextCursor cursor(document());
    cursor.setPosition(block.position() + static_cast<int>(start));
    cursor.setPosition(block.position() + static_cast<int>(end), QTextCursor::KeepAnchor);
    setTextCursor(cursor);
    ensureCursorVisible();
    return true;
}

void CSspView::ChangeCase(bool upper)
{
    if (!textCursor().hasSelection() && !SelectWordAt(textCursor().position()))
        return;
    const int start = textCursor().selectionStart();
    const int end = textCursor().selectionEnd();
    QTextCursor edit(document());
    edit.beginEditBlock();
    for (QTextBlock block = document()->findBlock(start); block.isValid() && block.position() <= end;
         block = block.next()) {
        const int from = std::max(start, block.position());
        const int to = std::min(end, block.position() + block.length() - 1);
        if (to <= from)
            continue;
        edit.setPosition(from);
        edit.setPosition(to, QTextCursor::KeepAnchor);
        const QString part = edit.selectedText();
        edit.insertText(upper ? part.toUpper() : part.toLower());
    }
    edit.endEditBlock();
    // Case changes may change the length of some letters; the range stays where it began.
    QTextCursor selection(document());
    selection.setPosition(start);
    selection.setPosition(std::min(end, document()->characterCount() - 1), QTextCursor::KeepAnchor);
    setTextCursor(selection);
}

bool CSspView::LineTop(int line, int& top) const
{
    const QTextBlock block = document()->findBlockByNumber(line);
    if (!block.isValid())
        return false;
    top = static_cast<int>(blockBoundingGeometry(block).translated(contentOffset()).top());
    return true;
}

int CSspView::CurrentLine() const
{
    return document()->findBlock(textCursor().selectionStart()).blockNumber();
}

QString CSspView::PositionText() const
{
    const int start = textCursor().selectionStart();
    const QTextBlock block = document()->findBlock(start);
    return QStringLiteral("line %1 col %2").arg(block.blockNumber() + 1).arg(start - block.position() + 1);
}

bool CSspView::FindNext(const QString& text, bool matchCase)
{
    if (text.isEmpty())
        return false;
    const QTextDocument::FindFlags flags = matchCase ? QTextDocument::FindCaseSensitively : QTextDocument::FindFlags();
    if (find(text, flags))
        return true;
    // Round again from the top, as the edit control's search does.
    const QTextCursor keep = textCursor();
    moveCursor(QTextCursor::Start);
    if (find(text, flags))
        return true;
    setTextCursor(keep);
    return false;
}

void CSspView::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    const int commands[] = {
        CMainFrame::kCmdQuickWatch, CMainFrame::kCmdAddWatch, CMainFrame::kCmdToggleBreakpoint, 0, CMainFrame::kCmdCut,
        CMainFrame::kCmdCopy,       CMainFrame::kCmdPaste};
    for (int id : commands) {
        if (id == 0)
            menu.addSeparator();
        else
            menu.addAction(m_frame->Command(id));
    }
    menu.exec(event->globalPos());
}

void CSspView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QPlainTextEdit::mouseDoubleClickEvent(event);
        return;
    }
    // A point beyond the end of its line selects nothing.
    const QTextCursor hit = cursorForPosition(event->position().toPoint());
    const QRect caret = cursorRect(hit);
    if (event->position().x() > caret.right() + fontMetrics().averageCharWidth() && hit.atBlockEnd())
        return;
    const int position = hit.position();
    // The character under the point: the cursor lands before the nearer character edge.
    if (!SelectWordAt(position) && position > 0)
        SelectWordAt(position - 1);
}
