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
    // Latin-1 with a no-break space, which the editor's plain text would turn into a blank.
    const std::string latin1 = "caf\xE9\nna\xEFve\xA0\n";
    const std::string utf8 = "no newline at the end \xE2\x82\xAC";
    // Line ends of every kind, a stray Latin-1 byte in UTF-8 text, and a paragraph separator that
    // the editor shows as a line end.
    const std::string mixed = "a\rb\r\nc\n\xC3\xA9 and \xE9\nx\xE2\x80\xA9y";
    for (const std::string& bytes : {crlf, latin1, utf8, mixed}) {
        CChildFrame* child = Open("bytes.tws", bytes);
        ASSERT_NE(child, nullptr);
        EXPECT_FALSE(child->View()->toPlainText().contains(u'\r'));
        std::string error;
        ASSERT_TRUE(child->SaveAs(child->Path(), error)) << error;
        EXPECT_EQ(ReadBytes(child->Path()), bytes);
    }
    CSspDoc missing(1);
    QString text;
    std::string error;
    EXPECT_FALSE(missing.Load(CStudioInstall::Path() + "/webroot/none.twp", text, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(missing.GetTitle(), "twp1");
}

TEST_F(EditorTest, ASaveRewritesOnlyTheLinesThatChanged)
{
    // UTF-8 text with one stray Latin-1 byte, lines ending in CR LF.
    const std::string page = "<p>caf\xC3\xA9</p>\r\n<p>na\xEFve</p>\r\n<p>\xE2\x82\xAC</p>\r\n";
    CChildFrame* child = Open("mixed.twp", page);
    ASSERT_NE(child, nullptr);
    CSspView* view = child->View();
    EXPECT_EQ(view->document()->findBlockByNumber(0).text(), QString::fromUtf8("<p>caf\xC3\xA9</p>"));
    EXPECT_EQ(view->document()->findBlockByNumber(1).text(), QString::fromLatin1("<p>na\xEFve</p>"));
    QAction* save = m_frame->Command(CMainFrame::kCmdSave);

    // An edit undone leaves the file as it was.
    QTextCursor cursor(view->document()->findBlockByNumber(0));
    cursor.insertText("x");
    view->undo();
    save->trigger();
    EXPECT_EQ(ReadBytes(child->Path()), page);

    // A new first line moves every other line down; each keeps its bytes. The changed line is
    // UTF-8, and every line still ends in CR LF.
    cursor = QTextCursor(view->document()->findBlockByNumber(0));
    cursor.insertText(QString::fromUtf8("<h1>\xC3\xBC</h1>\n"));
    cursor = QTextCursor(view->document()->findBlockByNumber(3));
    cursor.movePosition(QTextCursor::EndOfBlock);
    cursor.insertText("!");
    save->trigger();
    EXPECT_FALSE(child->IsModified());
    EXPECT_EQ(ReadBytes(child->Path()),
              "<h1>\xC3\xBC</h1>\r\n<p>caf\xC3\xA9</p>\r\n<p>na\xEFve</p>\r\n<p>\xE2\x82\xAC</p>!\r\n");
}

TEST_F(EditorTest, ALatin1FileStaysLatin1OrTheSaveAsks)
{
    const std::string page = "caf\xE9\nna\xEFve\n";
    CChildFrame* child = Open("latin1.twp", page);
    ASSERT_NE(child, nullptr);
    CSspView* view = child->View();
    QAction* save = m_frame->Command(CMainFrame::kCmdSave);
    CModalAnswerer answerer;

    // A typed letter that Latin-1 holds is written in Latin-1.
    QTextCursor cursor(view->document()->findBlockByNumber(1));
    cursor.insertText(QString::fromUtf8("\xC3\xBC"));
    save->trigger();
    EXPECT_TRUE(answerer.Messages().empty());
    EXPECT_EQ(ReadBytes(child->Path()), "caf\xE9\n\xFCna\xEFve\n");

    // One that it cannot hold: the save says so, and Cancel leaves the file and the edit alone.
    cursor = QTextCursor(view->document()->findBlockByNumber(0));
    cursor.movePosition(QTextCursor::EndOfBlock);
    cursor.insertText(QString::fromUtf8(" \xE2\x82\xAC"));
    answerer.QueueButton(QMessageBox::Cancel);
    save->trigger();
    EXPECT_TRUE(answerer.Saw("cannot hold characters typed on line 1.")) << answerer.LastMessage();
    EXPECT_EQ(ReadBytes(child->Path()), "caf\xE9\n\xFCna\xEFve\n");
    EXPECT_TRUE(child->IsModified());

    // Saved anyway, that line alone is UTF-8.
    answerer.QueueButton(QMessageBox::Save);
    save->trigger();
    EXPECT_FALSE(child->IsModified());
    EXPECT_EQ(ReadBytes(child->Path()), "caf\xC3\xA9 \xE2\x82\xAC\n\xFCna\xEFve\n");
}

TEST_F(EditorTest, EngineOffsetsBecomeEditorPositions)
{
    // Two bytes per line end and two for the accented letter: the engine counts bytes. The last
    // line holds a stray Latin-1 byte, one byte for one letter.
    const std::string path = CStudioInstall::WebFile("offsets.twp", "ab\r\n\xC3\xA9x\r\nyz \xE9!");
    CSspDoc doc(1);
    QString text;
    std::string error;
    ASSERT_TRUE(doc.Load(path, text, error));
    ASSERT_EQ(text, QString::fromUtf8("ab\n\xC3\xA9x\nyz \xC3\xA9!"));
    using Place = std::pair<int, qsizetype>;
    EXPECT_EQ(doc.LineAndColumnOfByteOffset(0), Place(0, 0));
    EXPECT_EQ(doc.LineAndColumnOfByteOffset(3), Place(0, 2));   // inside the line end
    EXPECT_EQ(doc.LineAndColumnOfByteOffset(4), Place(1, 0));   // the accented letter
    EXPECT_EQ(doc.LineAndColumnOfByteOffset(6), Place(1, 1));   // x
    EXPECT_EQ(doc.LineAndColumnOfByteOffset(9), Place(2, 0));   // y
    EXPECT_EQ(doc.LineAndColumnOfByteOffset(13), Place(2, 4));  // !
    EXPECT_EQ(doc.LineAndColumnOfByteOffset(99), Place(2, 5));
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
