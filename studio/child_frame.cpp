#include "studio/child_frame.h"

#include <vector>

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QPainter>
#include <QStringList>
#include <QTextBlock>

#include "studio/debugger.h"
#include "studio/gui_support.h"
#include "studio/main_frame.h"
#include "studio/ssp_view.h"

namespace {

// One-pixel rows of the current-line arrow: x, row below the line's top, width.
struct ArrowRow
{
    int x;
    int row;
    int width;
};

constexpr ArrowRow kArrowOutline[] = {{9, 2, 1},  {9, 3, 2},  {9, 4, 3},  {9, 5, 4},   {9, 6, 5},
                                      {4, 7, 11}, {4, 8, 12}, {4, 9, 13}, {4, 10, 12}, {4, 11, 11},
                                      {9, 12, 5}, {9, 13, 4}, {9, 14, 3}, {9, 15, 2},  {9, 16, 1}};
constexpr ArrowRow kArrowFill[] = {{10, 4, 1},  {10, 5, 2},  {10, 6, 3},  {10, 7, 4},  {5, 8, 10}, {5, 9, 11},
                                   {5, 10, 10}, {10, 11, 4}, {10, 12, 3}, {10, 13, 2}, {10, 14, 1}};

const QColor kBreakpointColor(127, 0, 0);
const QColor kCurrentFileArrow(0, 255, 0);
const QColor kCallerArrow(0, 128, 128);

}  // namespace

CMarginBar::CMarginBar(CSspView* view, QWidget* parent) : QWidget(parent), m_view(view)
{
    setObjectName(ControlName(2000));
    setWindowTitle(QStringLiteral("status"));
    setFixedWidth(kWidth);
}

bool CMarginBar::LineY(int line, int& y) const
{
    int top = 0;
    if (!m_view->LineTop(line - 1, top))
        return false;
    y = m_view->viewport()->mapTo(parentWidget(), QPoint(0, top)).y() - this->y();
    return true;
}

void CMarginBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    PaintEdges(painter);
    const std::string& path = m_view->Document()->GetPath();
    if (path.empty())
        return;
    const int limit = height() - 20;
    CDebugger& debugger = TheDebugger();
    for (int line : debugger.GetBreakpointLines(path, kMaxBreakpoints)) {
        int y = 0;
        if (LineY(line, y) && y < limit)
            painter.fillRect(4, y + 2, 14, 15, kBreakpointColor);
    }
    if (!debugger.IsPaused())
        return;
    const int paused = debugger.GetPausedLine(path);
    int y = 0;
    if (paused >= 1 && LineY(paused, y) && y < limit)
        PaintArrow(painter, y, debugger.IsCurrentFile(path));
}

void CMarginBar::PaintEdges(QPainter& painter) const
{
    const QPalette& colors = palette();
    const int w = width();
    const int h = height();
    // Interior: a halftone of the highlight over the scroll-bar colour.
    painter.fillRect(QRect(3, 2, w - 3, h - 4), colors.color(QPalette::Button));
    painter.fillRect(QRect(3, 2, w - 3, h - 4), QBrush(colors.color(QPalette::Light), Qt::Dense4Pattern));
    // A sunken edge: shadow above and at the left, highlight below.
    painter.setPen(colors.color(QPalette::Dark));
    painter.drawLine(0, 0, w - 1, 0);
    painter.drawLine(0, 0, 0, h - 1);
    painter.setPen(colors.color(QPalette::Shadow));
    painter.drawLine(1, 1, w - 1, 1);
    painter.drawLine(1, 1, 1, h - 2);
    painter.setPen(colors.color(QPalette::Light));
    painter.drawLine(0, h - 1, w - 1, h - 1);
    painter.drawLine(2, 2, 2, h - 3);
    painter.setPen(colors.color(QPalette::Midlight));
    painter.drawLine(1, h - 2, w - 1, h - 2);
}

void CMarginBar::PaintArrow(QPainter& painter, int y, bool currentFile) const
{
    for (const ArrowRow& row : kArrowOutline)
        painter.fillRect(row.x, y + row.row, row.width, 1, Qt::black);
    const QColor fill = currentFile ? kCurrentFileArrow : kCallerArrow;
    for (const ArrowRow& row : kArrowFill)
        painter.fillRect(row.x, y + row.row, row.width, 1, fill);
}

CChildFrame::CChildFrame(CMainFrame* frame, int newNumber, QWidget* parent)
    : QWidget(parent), m_frame(frame), m_doc(newNumber)
{
    m_view = new CSspView(frame, &m_doc, this);
    m_margin = new CMarginBar(m_view, this);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_margin);
    layout->addWidget(m_view);
    setFocusProxy(m_view);
    // The margin follows every repaint of the text: scrolling, typing, a new selection.
    connect(m_view, &QPlainTextEdit::updateRequest, m_margin, [this] { m_margin->update(); });
    connect(m_view->document(), &QTextDocument::modificationChanged, this, [this] {
        UpdateTitle();
        m_frame->UpdateFrameTitle();
    });
    UpdateTitle();
}

CChildFrame::~CChildFrame() = default;

bool CChildFrame::IsModified() const
{
    return m_view->document()->isModified();
}

bool CChildFrame::Load(const std::string& path, std::string& error)
{
    QString text;
    if (!m_doc.Load(path, text, error))
        return false;
    m_view->setPlainText(text);
    m_view->document()->setModified(false);
    UpdateTitle();
    return true;
}

bool CChildFrame::SaveAs(const std::string& path, std::string& error)
{
    const auto confirm = [this](const std::vector<int>& lines) { return AllowsUtf8Lines(lines); };
    if (!m_doc.Save(path, m_view->Lines(), confirm, error))
        return false;
    m_view->document()->setModified(false);
    UpdateTitle();
    m_margin->update();
    return true;
}

bool CChildFrame::AllowsUtf8Lines(const std::vector<int>& lines)
{
    QStringList numbers;
    for (int line : lines)
        numbers << QString::number(line);
    const QString text =
        QStringLiteral("%1 is a Latin-1 (ISO 8859-1) file, which cannot hold characters typed on "
                       "%2 %3.\n\nSave those lines in UTF-8? The file then holds two encodings.")
            .arg(m_doc.GetTitle(), lines.size() == 1 ? QStringLiteral("line") : QStringLiteral("lines"),
                 numbers.join(QStringLiteral(", ")));
    QMessageBox box(QMessageBox::Warning, kStudioTitle, text, QMessageBox::Save | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Save;
}

void CChildFrame::GoToFileOffset(long long offset)
{
    const auto [line, column] = m_doc.LineAndColumnOfByteOffset(offset);
    m_view->GoToLineColumn(line, column);
}

QString CChildFrame::Title() const
{
    return m_doc.GetTitle() + (IsModified() ? QStringLiteral(" *") : QString());
}

void CChildFrame::UpdateTitle()
{
    setWindowTitle(Title());
    if (auto* window = qobject_cast<QMdiSubWindow*>(parentWidget()))
        window->setWindowTitle(Title());
}

void CChildFrame::OnToggleBreakpoint()
{
    if (m_doc.GetPath().empty()) {
        ShowMessage(this, QStringLiteral("You must save this file first before you can set a breakpoint."));
        return;
    }
    const int line = m_view->CurrentLine();
    const QTextBlock block = m_view->document()->findBlockByNumber(line);
    QString text = block.text().left(255);
    while (!text.isEmpty() && text.back().isSpace())
        text.chop(1);
    if (text.isEmpty()) {
        ShowMessage(this, QStringLiteral("A breakpoint cannot be set on an empty line."));
        return;
    }
    // Only a line in sight: F9 acts where the developer looks.
    int top = 0;
    if (!m_view->LineTop(line, top) || top < 0)
        return;
    TheDebugger().ToggleBreakpoint(m_doc.GetPath(), line + 1);
    m_margin->update();
}

bool CChildFrame::QuerySave()
{
    if (!IsModified())
        return true;
    QMessageBox box(QMessageBox::Warning, kStudioTitle, QStringLiteral("Save changes to %1?").arg(m_doc.GetTitle()),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, this);
    switch (box.exec()) {
    case QMessageBox::Yes: return m_frame->SaveDocument(this, false);
    case QMessageBox::No: return true;
    default: return false;
    }
}

void CChildFrame::closeEvent(QCloseEvent* event)
{
    if (QuerySave())
        event->accept();
    else
        event->ignore();
}
