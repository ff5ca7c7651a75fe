// The editor: files loaded and saved as they are, offsets of the engine found in the text,
// breakpoints set with F9, names selected and cases changed, watch texts.
#include "studio/ssp_view.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include <QAction>
#include <QTextBlock>

#include "studio/child_frame.h"
#include "studio/ssp_doc.h"
#include "tests/studio/studio_gui_support.h"

namespace {

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class EditorTest : public StudioWindowTest
{
protected:
    CChildFrame* Open(const std::string& relative, const std::string& bytes)
    {
        return Frame().OpenDocumentFile(CStudioInstall::WebFile(relative, bytes));
    }
    static void Select(CSspView* view, int start, int end)
    {
        QTextCursor cursor(view->document());
        cursor.setPosition(start);
        cursor.setPosition(end, QTextCursor::KeepAnchor);
        view->setTextCursor(cursor);
    }
};

TEST_F(EditorTest, FilesAreSavedByteForByte)
{
    const std::string crlf = "line one\r\n\tline two\r\n\xC3\xA9t\xC3\xA9\r\n";
    const std::string latin1 = "caf\xE9\nna\xEFve\n";
    const std::string utf8 = "no newline at the end \xE2\x82\xAC";
    for (const std::string& bytes : {crlf, latin1, utf8}) {
        const std::string path = CStudioInstall::WebFile("bytes.tws", bytes);
        CSspDoc doc(1);
        QString text;
        std::string error;
        ASSERT_TRUE(doc.Load(path, text, error)) << error;
        EXPECT_FALSE(text.contains(u'\r'));
        ASSERT_TRUE(doc.Save(path, text, error)) << error;
        EXPECT_EQ(ReadBytes(path), bytes);
    }
    CSspDoc missing(1);
    QString text;
    std::string error;
    EXPECT_FALSE(missing.Load(CStudioInstall::Path() + "/webroot/none.twp", text, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(missing.GetTitle(), "twp1");
}

TEST_F(EditorTest, EngineOffsetsBecomeEditorPositions)
{
    // Two bytes per line end and two for the accented letter: the engine counts bytes.
    const std::string path = CStudioInstall::WebFile("offsets.twp", "ab\r\n\xC3\xA9x\r\nyz");
    CSspDoc doc(1);
    QString text;
    std::string error;
    ASSERT_TRUE(doc.Load(path, text, error));
    ASSERT_EQ(text, QString::fromUtf8("ab\n\xC3\xA9x\nyz"));
    EXPECT_EQ(doc.PositionOfByteOffset(text, 0), 0);
    EXPECT_EQ(doc.PositionOfByteOffset(text, 4), 3);  // the accented letter
    EXPECT_EQ(doc.PositionOfByteOffset(text, 6), 4);  // x
    EXPECT_EQ(doc.PositionOfByteOffset(text, 9), 6);  // y
    EXPECT_EQ(doc.PositionOfByteOffset(text, 99), text.size());
    EXPECT_EQ(doc.GetExtension(), "twp");
}

TEST_F(EditorTest, F9SetsAndRemovesBreakpointsOnLinesWithText)
{
    CChildFrame* child = Open("bp.twp", "<html>\n   \n<!--{ Local.a = 1; }-->\n");
    ASSERT_NE(child, nullptr);
    CSspView* view = child->View();
    QAction* toggle = m_frame->Command(CMainFrame::kCmdToggleBreakpoint);
    m_frame->UpdateCommands();
    ASSERT_TRUE(toggle->isEnabled());
    CModalAnswerer answerer;

    view->SelectLine(1);
    toggle->trigger();
    EXPECT_EQ(answerer.LastMessage(), "A breakpoint cannot be set on an empty line.");
    EXPECT_EQ(TheDebugger().GetBreakpointList(), "");

    view->SelectLine(2);
    toggle->trigger();
    EXPECT_TRUE(TheDebugger().HasBreakpoint(child->Path(), 3));
    toggle->trigger();
    EXPECT_FALSE(TheDebugger().HasBreakpoint(child->Path(), 3));

    // A new file has no path to set a breakpoint in.
    CChildFrame* fresh = m_frame->NewDocument();
    fresh->View()->setPlainText("text");
    answerer.Clear();
    fresh->OnToggleBreakpoint();
    EXPECT_EQ(answerer.LastMessage(), "You must save this file first before you can set a breakpoint.");
    EXPECT_EQ(TheDebugger().GetBreakpointList(), "");
    // F9 itself is offered there, so that the developer hears why nothing was set.
    m_frame->UpdateCommands();
    ASSERT_TRUE(toggle->isEnabled());
    answerer.Clear();
    toggle->trigger();
    EXPECT_EQ(answerer.LastMessage(), "You must save this file first before you can set a breakpoint.");

    // A saved file of another type takes no breakpoints.
    ASSERT_NE(m_frame->OpenDocumentFile(CStudioInstall::WebFile("notes.txt", "text\n")), nullptr);
    m_frame->UpdateCommands();
    EXPECT_FALSE(toggle->isEnabled());
}

TEST_F(EditorTest, NamesSelectionsAndCase)
{
    CChildFrame* child = Open("names.tws", "Local.count = Local.count+ 1;\nfirst LINE\nSecond Line\nthird LINE");
    ASSERT_NE(child, nullptr);
    CSspView* view = child->View();

    // A name with its object and member, dots included.
    ASSERT_TRUE(view->SelectWordAt(8));
    EXPECT_EQ(view->textCursor().selectedText(), "Local.count");
    EXPECT_FALSE(view->SelectWordAt(12));  // a blank
    // A selection that ends in an operator watches the name alone.
    Select(view, 14, 26);
    EXPECT_EQ(view->GetWatchText(), "Local.count");
    EXPECT_EQ(view->PositionText(), "line 1 col 15");

    // Lower case over three lines changes only the selected parts of the first and last.
    const int first = static_cast<int>(QString("Local.count = Local.count+ 1;\nfirst ").size());
    const int last = static_cast<int>(QString("Local.count = Local.count+ 1;\nfirst LINE\nSecond Line\nthi").size());
    Select(view, first, last);
    view->ChangeCase(false);
    EXPECT_EQ(view->toPlainText(), "Local.count = Local.count+ 1;\nfirst line\nsecond line\nthird LINE");
    EXPECT_EQ(view->textCursor().selectionStart(), first);
    EXPECT_EQ(view->textCursor().selectionEnd(), last);
    // One step to undo.
    view->undo();
    EXPECT_EQ(view->toPlainText(), "Local.count = Local.count+ 1;\nfirst LINE\nSecond Line\nthird LINE");
    // Without a selection, the name at the caret.
    Select(view, 2, 2);
    view->ChangeCase(true);
    EXPECT_EQ(view->toPlainText().left(12), "LOCAL.COUNT ");

    EXPECT_TRUE(child->IsModified());
    EXPECT_TRUE(child->windowTitle().endsWith(" *"));
    std::string error;
    ASSERT_TRUE(child->SaveAs(child->Path(), error));
    EXPECT_EQ(child->windowTitle(), "names.tws");
}

TEST_F(EditorTest, SelectLineFindsTheTextWithoutRegardToCase)
{
    CChildFrame* child = Open("select.twp", "a\nsome Needle here\nc");
    CSspView* view = child->View();
    view->SelectLine(1, "needle");
    EXPECT_EQ(view->textCursor().selectedText(), "Needle");
    view->SelectLine(2);
    EXPECT_EQ(view->CurrentLine(), 2);
    EXPECT_FALSE(view->textCursor().hasSelection());
}

}  // namespace
