#include "platform/registry_key.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/temp_folder.h"

namespace {

class RegistryKeyTest : public testing::Test
{
protected:
    std::string FileText() const
    {
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void WriteFileText(const std::string& text) const
    {
        mkdir((m_dir + "/etc").c_str(), 0750);
        std::ofstream(m_path, std::ios::binary) << text;
    }
    std::string Read(const std::string& name, const std::string& fallback = "<missing>") const
    {
        CRegistryKey key(m_path);
        std::string value = fallback;
        key.ReadString(name, value);
        return value;
    }

    TempFolder m_folder{"tw-registry"};
    std::string m_dir = m_folder.Path();
    std::string m_path = m_dir + "/etc/settings.conf";
};

TEST_F(RegistryKeyTest, MissingValueKeepsDefaultWhileEmptyValueExists)
{
    CRegistryKey key(m_path);
    ASSERT_EQ(key.Open(), 1);  // no file yet: an empty store
    ASSERT_EQ(key.WriteString("EmSmtpServer", ""), 1);
    std::string value = "default";
    EXPECT_EQ(key.ReadString("EmSmtpServer", value), 1);
    EXPECT_EQ(value, "");
    value = "default";
    EXPECT_EQ(key.ReadString("EmPop3Server", value), 0);
    EXPECT_EQ(value, "default");
    EXPECT_EQ(Read("EmSmtpServer"), "");

    struct stat st;
    ASSERT_EQ(stat(m_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(RegistryKeyTest, NamesMatchWithoutRegardToCase)
{
    CRegistryKey key(m_path);
    ASSERT_EQ(key.WriteString("GeneralTcpipPort", "80"), 1);
    ASSERT_EQ(key.WriteString("GENERALTCPIPPORT", "8080"), 1);
    EXPECT_EQ(Read("generaltcpipport"), "8080");
    // One line, in the spelling it was first written with.
    EXPECT_EQ(FileText(), "GeneralTcpipPort=8080\n");
}

TEST_F(RegistryKeyTest, ValuesOfAnyLengthAndContentRoundTrip)
{
    std::string connect(100000, 'x');
    connect += "DSN=tw3;PWD=a=b";
    std::string awkward = "C:\\dir\\new\r\nline two\\n\\";
    {
        CRegistryKey key(m_path);
        ASSERT_EQ(key.WriteString("DbOdbcConnectString", connect), 1);
        ASSERT_EQ(key.WriteString("Awkward", awkward), 1);
    }
    EXPECT_EQ(Read("DbOdbcConnectString"), connect);
    EXPECT_EQ(Read("Awkward"), awkward);
    std::string text = FileText();
    EXPECT_NE(text.find("Awkward=C:\\\\dir\\\\new\\r\\nline two\\\\n\\\\\n"), std::string::npos) << text;
}

TEST_F(RegistryKeyTest, ValuesThatBeginOrEndWithBlanksKeepThem)
{
    {
        CRegistryKey key(m_path);
        ASSERT_EQ(key.WriteString("Password", " a b\t"), 1);
        ASSERT_EQ(key.WriteString("Single", " "), 1);
        ASSERT_EQ(key.WriteString("Inner", "a \tb"), 1);
    }
    EXPECT_EQ(Read("Password"), " a b\t");
    EXPECT_EQ(Read("Single"), " ");
    EXPECT_EQ(Read("Inner"), "a \tb");
    EXPECT_EQ(FileText(), "Password=\\x20a b\\x09\nSingle=\\x20\nInner=a \tb\n");
}

TEST_F(RegistryKeyTest, HandWrittenFileIsReadAndItsOtherLinesSurviveARewrite)
{
    WriteFileText("# written by hand\r\n"
                  "GeneralTcpipAddress = 10.0.0.5\r\n"
                  "GeneralTcpipPort=8080 \t\n"
                  "\tOrganization\t=\tAcme  Works \n"
                  "ScriptDir=C:\\scripts\\x\r\n"
                  "\r\n"
                  "not a setting\r\n"
                  "Dup=first\n"
                  "Dup=second");
    // Blanks around '=' and at the line's end are layout, not part of the name or the value.
    EXPECT_EQ(Read("GeneralTcpipAddress"), "10.0.0.5");
    EXPECT_EQ(Read("GeneralTcpipPort"), "8080");
    EXPECT_EQ(Read("Organization"), "Acme  Works");
    EXPECT_EQ(Read("ScriptDir"), "C:\\scripts\\x");  // an unknown escape stands for itself
    EXPECT_EQ(Read("Dup"), "second");

    CRegistryKey key(m_path);
    ASSERT_EQ(key.WriteString("Dup", "third"), 1);
    ASSERT_EQ(key.WriteString("New", "v"), 1);
    EXPECT_EQ(FileText(), "# written by hand\n"
                          "GeneralTcpipAddress = 10.0.0.5\n"
                          "GeneralTcpipPort=8080 \t\n"
                          "\tOrganization\t=\tAcme  Works \n"
                          "ScriptDir=C:\\scripts\\x\n"
                          "\n"
                          "not a setting\n"
                          "Dup=third\n"
                          "Dup=third\n"
                          "New=v\n");
}

TEST_F(RegistryKeyTest, WritesGoThroughASymbolicLink)
{
    WriteFileText("A=1\n");
    std::string link = m_dir + "/link.conf";
    ASSERT_EQ(symlink(m_path.c_str(), link.c_str()), 0);
    CRegistryKey key(link);
    ASSERT_EQ(key.WriteString("B", "2"), 1);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(FileText(), "A=1\nB=2\n");
}

TEST_F(RegistryKeyTest, UnusableNamesAreRefused)
{
    CRegistryKey key(m_path);
    for (const char* name : {"", "a=b", "#x", " x", "x ", "a\nb"})
        EXPECT_EQ(key.WriteString(name, "v"), 0) << name;
    EXPECT_EQ(key.GetLastErrno(), EINVAL);
}

TEST_F(RegistryKeyTest, AnUnreadableStoreIsNeverReplaced)
{
    // A folder where the file should be: it exists but cannot be read as a file.
    ASSERT_EQ(mkdir((m_dir + "/etc").c_str(), 0750), 0);
    ASSERT_EQ(mkdir(m_path.c_str(), 0750), 0);
    CRegistryKey key(m_path);
    EXPECT_EQ(key.Open(), 0);
    EXPECT_EQ(key.GetLastErrno(), EISDIR);
    EXPECT_EQ(key.DescribeLastFailure(), "Error [" + std::to_string(EISDIR) +
                                             "]: Is a directory when accessing the settings file " + m_path + ".");
    std::string value = "default";
    EXPECT_EQ(key.ReadString("TaskCount", value), 0);
    EXPECT_EQ(value, "default");
    EXPECT_EQ(key.WriteString("TaskCount", "6"), 0);
    struct stat st;
    ASSERT_EQ(stat(m_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(RegistryKeyTest, BatchesNestAndReachTheFileAsOneReplace)
{
    CRegistryKey key(m_path);
    ASSERT_EQ(key.WriteString("Keep", "1"), 1);
    {
        CRegistryBatch outer(key);
        {
            CRegistryBatch inner(key);
            ASSERT_EQ(key.WriteString("TaskCount", "2"), 1);
            EXPECT_EQ(inner.Commit(), 1);
        }
        ASSERT_EQ(key.WriteString("Task02Name", "b"), 1);
        key.Close();  // deferred to the end of the batch
        std::string value;
        EXPECT_EQ(key.ReadString("TaskCount", value), 1);
        EXPECT_EQ(value, "2");
        EXPECT_EQ(FileText(), "Keep=1\n");
        EXPECT_EQ(outer.Commit(), 1);
    }
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(FileText(), "Keep=1\nTaskCount=2\nTask02Name=b\n");
}

// Two processes write their own counters in batches of a count and the matching item while a third
// reads. The writers must not lose each other's values, and the reader must never find a count
// whose item is missing, which a half-written or torn file would show.
TEST_F(RegistryKeyTest, ForkedWritersLoseNothingAndReadersSeeWholeFiles)
{
    const int rounds = 150;
    auto writer = [&](const std::string& who) {
        CRegistryKey key(m_path);
        for (int i = 1; i <= rounds; ++i) {
            CRegistryBatch batch(key);
            batch.Write(who + "Item" + std::to_string(i), std::to_string(i));
            batch.Write(who + "Count", std::to_string(i));
            if (!batch.Commit())
                _exit(2);
        }
        _exit(0);
    };
    auto reader = [&]() {
        for (int pass = 0; pass < 400; ++pass) {
            CRegistryKey key(m_path);
            if (!key.Open())
                _exit(3);
            for (const std::string who : {"A", "B"}) {
                std::string count, item;
                if (key.ReadString(who + "Count", count) &&
                    (!key.ReadString(who + "Item" + count, item) || item != count))
                    _exit(4);
            }
        }
        _exit(0);
    };
    pid_t pids[3];
    ASSERT_GE(pids[0] = fork(), 0);
    if (pids[0] == 0)
        writer("A");
    ASSERT_GE(pids[1] = fork(), 0);
    if (pids[1] == 0)
        writer("B");
    ASSERT_GE(pids[2] = fork(), 0);
    if (pids[2] == 0)
        reader();
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child exit " << status;
    }
    CRegistryKey key(m_path);
    for (const std::string who : {"A", "B"}) {
        EXPECT_EQ(Read(who + "Count"), std::to_string(rounds));
        for (int i = 1; i <= rounds; ++i)
            ASSERT_EQ(Read(who + "Item" + std::to_string(i)), std::to_string(i)) << who << i;
    }
    // No temporary file is left beside the store.
    EXPECT_EQ(std::system(("test $(ls '" + m_dir + "/etc' | wc -l) -eq 1").c_str()), 0);
}

}  // namespace
