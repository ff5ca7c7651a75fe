#include "script_runner.h"

#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// Runs pages that lie below the web root of an installation folder of the test's own.
class FileObjectTest : public ScriptTest
{
protected:
    void SetUp() override
    {
        SetProgramDirectory(folder.Path());
        std::filesystem::create_directories(folder.Path() + "/webroot/app");
        webroot = folder.Path() + "/webroot";
    }
    // Writes a file below the web root; returns its path.
    std::string WebFile(const std::string& relative, std::string_view content, bool executable = false) const
    {
        std::filesystem::create_directories(std::filesystem::path(webroot + "/" + relative).parent_path());
        std::string path = folder.Write("webroot/" + relative, content);
        if (executable)
            chmod(path.c_str(), 0755);
        return path;
    }
    std::string ReadWebFile(const std::string& relative) const
    {
        std::ifstream in(webroot + "/" + relative, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Runs app/t.tws at the URL /app/t.tws.
    int RunPage(std::string_view text)
    {
        sink.output.clear();
        path = WebFile("app/t.tws", text);
        CSspEngine engine;
        int result =
            engine.Run(CSspRunArgs{.filePath = path, .urlPath = "/app/t.tws", .request = request, .response = &sink});
        errorText = engine.ErrorText();
        return result;
    }
    std::string PageOutput(std::string_view text)
    {
        int result = RunPage(text);
        EXPECT_TRUE(result == kRunCompleted || result == kRunReturned) << text << "\n" << errorText;
        return sink.output;
    }
    std::string PageFailure(std::string_view text)
    {
        EXPECT_EQ(RunPage(text), kRunFailed) << text;
        return Message();
    }

    std::string webroot;
};

constexpr std::string_view kLibrary = "function twice(n) return arg.n * 2; endfunction\n"
                                      "function pair() array r; r.Add('a'); r.Add('b'); return r; endfunction\n"
                                      "function broken()\n write nothing.here;\nendfunction\n"
                                      "write 'whole';";

TEST_F(FileObjectTest, FunctionsOfAnotherFile)
{
    WebFile("app/lib.tws", kLibrary);
    EXPECT_EQ(PageOutput("file lib('lib.tws'); write lib.twice(21) + '|'; write lib.sspRun() + '|';"
                         "array a = lib.pair(); write a.GetSize() + a.GetAt(1) + '|' + lib.name;"),
              "42|whole|2b|/app/lib.tws");
    EXPECT_EQ(PageOutput("file lib('/app/lib.tws'); write lib.TWICE(1) + lib.name;"), "2/app/lib.tws");
    // A declaration run again with another path: the functions of each file run at its own URL,
    // also those that it calls in its own file.
    const std::string where = "function at() return Local.url() + ' ' + Local.here(); endfunction\n"
                              "function here() return Local.urlPath; endfunction";
    WebFile("app/a/lib.tws", where);
    WebFile("b/lib.tws", where);
    EXPECT_EQ(PageOutput("Local.p = 'a/lib.tws'; Local.i = 0;\n"
                         "while (Local.i < 3) file lib(Local.p); write lib.at() + '|'; Local.p = '/b/lib.tws';"
                         " Local.i = Local.i + 1; endwhile"),
              "/app/a/lib.tws /app/a/|/b/lib.tws /b/|/b/lib.tws /b/|");

    EXPECT_EQ(PageFailure("file lib('lib.tws'); write lib.twice;"),
              "This is supposed to be a function call but it doesn't have the () at the end. ");
    EXPECT_EQ(PageFailure("file lib('lib.tws'); lib.nothing();"),
              "Function nothing not found in file " + webroot + "/app/lib.tws");
    // The callee's report, with its own file and line, stands inside the caller's.
    EXPECT_EQ(RunPage("file lib('lib.tws');\nlib.broken();"), kRunFailed);
    EXPECT_EQ(errorText,
              Report(2, 1, "lib.broken();",
                     webroot + "/app/lib.tws (4,8): \r\n write nothing.here;\r\n\r\nUnknown Object: nothing"));
}

TEST_F(FileObjectTest, BytesAndSizeOfAServerFile)
{
    WebFile("app/lib.tws", kLibrary);
    std::string bytes("x\0y", 3);
    WebFile("data.bin", bytes);
    EXPECT_EQ(PageOutput("file d('/data.bin'); write d.data; write '|'; write d.content;"), bytes + "|" + bytes);
    // The size answers as the data does: before any function of the file ran, and after.
    EXPECT_EQ(PageOutput("file lib('lib.tws'); write lib.size;"), std::to_string(kLibrary.size()));
    EXPECT_EQ(PageOutput("file d('/data.bin'); write d.size;"), "3");
    EXPECT_EQ(PageOutput("file lib('lib.tws'); lib.twice(1); write lib.size;"), std::to_string(kLibrary.size()));
    EXPECT_NE(PageFailure("file d('/none.bin'); write d.size;").find(webroot + "/none.bin]"), std::string::npos);
    EXPECT_NE(PageFailure("file d('/none.bin'); write d.data;").find("Failed to open file: [" + webroot + "/none.bin]"),
              std::string::npos);
}

TEST_F(FileObjectTest, RelativePathsStayInsideTheWebRoot)
{
    WebFile("x.txt", "top");
    WebFile("shared/x.txt", "shared");
    std::string outside = folder.Write("outside.txt", "outside");
    EXPECT_EQ(PageOutput("file f('../x.txt'); write f.data; write f.name;"), "top/x.txt");
    EXPECT_EQ(PageOutput("file f('..\\\\shared\\\\x.txt'); write f.data;"), "shared");
    for (std::string escape : {"'../../x.txt'", "'/../../../x.txt'", "'../../webroot/../x.txt'"})
        EXPECT_EQ(PageOutput("file f(" + escape + "); write f.data;"), "top") << escape;
    EXPECT_NE(PageFailure("file f('../../outside.txt'); write f.data;").find(webroot + "/outside.txt"),
              std::string::npos);
    // Not relative: the path is a disk path as given.
    EXPECT_EQ(PageOutput("file f('" + outside + "', 0); write f.data;"), "outside");
    EXPECT_NE(PageFailure("file f('" + outside + "'); write f.data;").find("[" + webroot + outside + "]"),
              std::string::npos);
}

TEST_F(FileObjectTest, RecursionThroughFileObjectsIsBounded)
{
    WebFile("app/self.tws", "function down() file me('self.tws'); me.down(); endfunction");
    const std::string report = PageFailure("file me('self.tws'); me.down();");
    EXPECT_NE(report.find("Too many nested calls (more than 256)."), std::string::npos);
    // The innermost report once, not once per level.
    EXPECT_EQ(report.find(webroot + "/app/self.tws ("), report.rfind(webroot + "/app/self.tws (")) << report;
    EXPECT_LT(report.size(), 1000u) << report.size();
}

TEST_F(FileObjectTest, RunStartsTheFileAsAProgramWithoutAShell)
{
    WebFile("app/args.sh", "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > \"$(dirname \"$0\")/args.txt\"\nexit 3\n", true);
    EXPECT_EQ(PageOutput("file p('args.sh'); write p.run('a \"b c\" x;touch\\\\ $HOME');"), "3");
    EXPECT_EQ(ReadWebFile("app/args.txt"), "4|a|b c|x;touch\\|$HOME|");
    EXPECT_EQ(PageOutput("file p('args.sh'); write p.run();"), "3");
    EXPECT_EQ(ReadWebFile("app/args.txt"), "0|");

    WebFile("app/plain.txt", "not a program");
    EXPECT_EQ(PageOutput("file p('plain.txt'); write p.run();"), "Error [13]: Permission denied");
    EXPECT_EQ(PageOutput("file p('none.sh'); write p.run();"), "Error [2]: No such file or directory");

    WebFile("app/slow.sh", "#!/bin/sh\nsleep 5\n", true);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PageOutput("file p('slow.sh'); write p.run('', 1);"), "timeout");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

// A request from a browser that uploaded "att" (and sent the plain field "text").
class UploadRequest : public CSspRequestObject
{
public:
    bool HasClient() const override { return true; }
    void CallMember(CSspCall& call, CSspValue&) override { throw CSspException("no members", call.m_position); }
    int GetUploadedFile(std::string_view field, std::string& fileName, std::vector<unsigned char>& block) const override
    {
        if (field == "att") {
            fileName = sentName;
            block.assign(bytes.begin(), bytes.end());
            return kUploadOk;
        }
        if (field == "huge")
            return kUploadNoMemory;
        return field == "text" ? kUploadNoFileData : kUploadNoField;
    }
    std::string sentName = "a b.txt";
    std::string bytes = std::string("1\0"
                                    "2",
                                    3);
};

TEST_F(FileObjectTest, UploadedFiles)
{
    UploadRequest upload;
    request = &upload;
    EXPECT_EQ(Output("file f('Request.att'); write f.name + '|' + f.size + '|'; write f.data;"),
              "a b.txt|3|" + upload.bytes);
    EXPECT_EQ(Output("FileUpload f = request.att; write f.size; write f.content;"), "3" + upload.bytes);
    EXPECT_EQ(Output("file f('request.text'); write f.size;"), "0");
    // The name is the browser's: it never names a folder or carries control bytes.
    for (auto [sent, kept] : {std::pair{"..", "__"}, {".", "_"}, {"a\r\nb", "a__b"}, {"...", "..."}}) {
        upload.sentName = sent;
        EXPECT_EQ(Output("file f('request.att'); write f.name;"), kept) << sent;
    }

    EXPECT_EQ(Failure("file f('request.huge');"), "Failed to get the uploaded file: huge");
    EXPECT_EQ(Failure("file f('request.none');"), "File field is not found in the data the browser sent: none");
    // Reported at the declaration, not at the start of the file.
    EXPECT_EQ(Run("t.tws", "write 'a';\n  file f('request.none');"), kRunFailed);
    EXPECT_EQ(errorText,
              Report(2, 3, "  file f('request.none');", "File field is not found in the data the browser sent: none"));
    EXPECT_EQ(Run("t.tws", "write 'a';\nwrite 'b'; FileUpload g = Request.huge;"), kRunFailed);
    EXPECT_EQ(errorText,
              Report(2, 12, "write 'b'; FileUpload g = Request.huge;", "Failed to get the uploaded file: huge"));
    EXPECT_EQ(Failure("FileUpload f request.att;"), "Missing = ");
    EXPECT_EQ(Failure("FileUpload f = att;"), "FileUpload must be initialized by Request.a_form_field");
    EXPECT_EQ(Failure("file f('request.att'); f.run();"), "Unknown file upload field: run");
    EXPECT_EQ(Failure("file f('request.att'); array a = f.list();"),
              "Calling a function in an uploaded file is not allowed.");

    request = nullptr;
    EXPECT_EQ(Failure("file f('request.att');"), "Request object not available.");
    EXPECT_EQ(Failure("file f;"), "file object syntax: \r\nfile att1('request.attachment1'); // file upload  \r\n"
                                  "file fs1('appInit.twp');  // file on server ");
}

}  // namespace
