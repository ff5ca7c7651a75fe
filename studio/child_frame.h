// CChildFrame: the window of one open file inside the main frame's MDI area: the breakpoint margin
// (CMarginBar, 20 pixels wide at the left) and the editor (CSspView). It owns the file's document,
// keeps the window title ("<title>" and " *" while unsaved) and sets and removes breakpoints.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QWidget>

#include "studio/ssp_doc.h"

class CMainFrame;
class CSspView;

// The margin: a sunken strip that shows the file's breakpoints as dark red squares and, while the
// debugger is paused in this file's chain, the current line's arrow (green when the paused run
// itself runs this file, teal when a call it made is where the pause happened).
class CMarginBar : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kWidth = 20;
    static constexpr int kMaxBreakpoints = 128;

    explicit CMarginBar(CSspView* view, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void PaintEdges(class QPainter& painter) const;
    void PaintArrow(QPainter& painter, int y, bool currentFile) const;
    // The top of a line (1-based) in the margin's coordinates; false when it has none.
    bool LineY(int line, int& y) const;

    CSspView* m_view;
};

class CChildFrame : public QWidget
{
    Q_OBJECT
public:
    CChildFrame(CMainFrame* frame, int newNumber, QWidget* parent = nullptr);
    ~CChildFrame() override;

    CSspDoc& Document() { return m_doc; }
    CSspView* View() const { return m_view; }
    CMarginBar* Margin() const { return m_margin; }
    const std::string& Path() const { return m_doc.GetPath(); }
    bool IsModified() const;

    // Loads the file into the editor; false with a reason when it cannot be read.
    [[nodiscard]] bool Load(const std::string& path, std::string& error);
    // Writes the editor's text to `path` (the document's own path for Save); false with a reason,
    // or with none when the developer cancelled it.
    [[nodiscard]] bool SaveAs(const std::string& path, std::string& error);
    // The caret to a byte offset of the file (as the engine counts), scrolled into view.
    void GoToFileOffset(long long offset);
    // The title: the document's, " *" while it has unsaved changes.
    QString Title() const;
    void UpdateTitle();
    // F9 on the line of the selection's start.
    void OnToggleBreakpoint();
    // Asks to save unsaved changes: false when the user cancels.
    [[nodiscard]] bool QuerySave();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Asks whether changed lines that the file's Latin-1 cannot hold may be saved in UTF-8.
    bool AllowsUtf8Lines(const std::vector<int>& lines);

    CMainFrame* m_frame;
    CSspDoc m_doc;
    CMarginBar* m_margin;
    CSspView* m_view;
};
