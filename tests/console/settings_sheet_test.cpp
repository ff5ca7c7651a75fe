// The settings sheet and its pages under the offscreen platform, controls found by their ids,
// with the real settings file of a temporary installation and a stand-in systemctl: what each
// page refuses, what it stores, and what the sheet checks, installs and saves.
#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

#include <filesystem>
#include <fstream>

#include "console/console_app.h"
#include "console/console_config.h"
#include "console/gui_support.h"
#include "console/main_frame.h"
#include "console/mime_type_page.h"
#include "console/report_list.h"
#include "console/server_view.h"
#include "console/service_control.h"
#include "console/settings_page.h"
#include "console/settings_sheet.h"
#include "console/task_page.h"
#include "platform/named_objects.h"
#include "tests/console/console_test_support.h"
#include "tests/console/gui_test_support.h"
#include "tests/support/silent_server.h"

namespace {

enum Page
{
    kGeneral,
    kDatabase,
    kTasks,
    kEmail,
    kSecure,
    kMime
};

class SettingsSheetTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("TW_INSTALL_DIR", m_install.Path().c_str(), 1);
        m_install.WriteSettings("GeneralOrganizationName=Example\n");
        ASSERT_TRUE(m_console.LoadSettings());
    }
    std::unique_ptr<CSettingsSht> OpenSheet(int firstPage = kGeneral)
    {
        return std::make_unique<CSettingsSht>("Settings", m_console, nullptr, firstPage);
    }
    template <typename Control>
    static Control* Find(QWidget* parent, int id)
    {
        Control* control = parent->findChild<Control*>(ControlName(id));
        EXPECT_NE(control, nullptr) << "control id" << id;
        return control;
    }
    void ShowPage(CSettingsSht& sheet, int page) { sheet.Tabs()->setCurrentIndex(page); }
    std::string SettingsText() const { return ReadWholeFile(m_install.Path() + "/etc/settings.conf"); }
    // A server that runs for the console: its stop event exists.
    void PretendServerRuns() { ASSERT_TRUE(m_runningServer.Create(m_install.StopEventPath())); }

    CServerInstall m_install;
    TempFolder m_tools{"tw-console-tools"};
    CFakeSystemctl m_systemctl{m_tools.Path()};
    CConsoleConfig m_config{m_install.Path() + "/etc/settings.conf", m_install.Path()};
    CConsoleApp m_console{m_config, m_install.Path()};
    CStopEvent m_runningServer;
    CModalAnswerer m_answers;
};

TEST_F(SettingsSheetTest, TheGeneralPageRefusesValuesOutOfRangeAndKeepsItsPageInFront)
{
    auto sheet = OpenSheet();
    auto* upload = Find<QLineEdit>(sheet.get(), 1105);
    auto* session = Find<QLineEdit>(sheet.get(), 1049);
    for (const char* value : {"0", "1001", "ten"}) {
        upload->setText(value);
        ShowPage(*sheet, kDatabase);
        EXPECT_EQ(sheet->Tabs()->currentIndex(), kGeneral) << value;
    }
    EXPECT_EQ(m_answers.Messages()[0], "Please enter an integer between 1 and 1000.");
    EXPECT_EQ(m_answers.Messages()[2], "Please enter an integer.");
    upload->setText("1000");
    session->setText("1441");
    ShowPage(*sheet, kDatabase);
    EXPECT_EQ(sheet->Tabs()->currentIndex(), kGeneral);
    EXPECT_EQ(m_answers.LastMessage(), "Please enter an integer between 1 and 1440.");
    session->setText("1440");
    Find<QComboBox>(sheet.get(), 1101)->setEditText(QString(51, 'd'));
    ShowPage(*sheet, kDatabase);
    EXPECT_EQ(m_answers.LastMessage(), "Enter no more than 50 characters.");
    Find<QComboBox>(sheet.get(), 1101)->setEditText(QString(50, 'd'));
    ShowPage(*sheet, kDatabase);
    EXPECT_EQ(sheet->Tabs()->currentIndex(), kDatabase);
    EXPECT_EQ(sheet->Working().m_maxUpload, 1000);
    EXPECT_EQ(sheet->Working().m_sessionTimeout, 1440);

    // How long a page may run: shown as stored, 0 for no limit, at most a day.
    ShowPage(*sheet, kGeneral);
    auto* pageLimit = Find<QLineEdit>(sheet.get(), 1151);
    EXPECT_EQ(pageLimit->text(), "120");
    for (const char* value : {"-1", "86401"}) {
        pageLimit->setText(value);
        ShowPage(*sheet, kDatabase);
        EXPECT_EQ(sheet->Tabs()->currentIndex(), kGeneral) << value;
        EXPECT_EQ(m_answers.LastMessage(), "Please enter an integer between 0 and 86400.");
    }
    pageLimit->setText("0");
    ShowPage(*sheet, kDatabase);
    EXPECT_EQ(sheet->Tabs()->currentIndex(), kDatabase);
    EXPECT_EQ(sheet->Working().m_pageRunTimeLimit, 0);
}

TEST_F(SettingsSheetTest, TheConfiguredAddressIsOfferedAndTheSslPortFollowsTheCertificate)
{
    m_config.m_generalTcpipAddress = "192.0.2.77";
    ASSERT_TRUE(m_config.Save());
    auto sheet = OpenSheet();
    auto* address = Find<QComboBox>(sheet.get(), 1014);
    EXPECT_EQ(address->currentText(), "192.0.2.77") << "an address this computer does not hold is still offered";
    EXPECT_GE(address->findText("127.0.0.1"), 0) << "the computer's own addresses are listed";
    EXPECT_FALSE(Find<QLineEdit>(sheet.get(), 1001)->isEnabled()) << "no certificate, no SSL port";

    ShowPage(*sheet, kSecure);
    sheet->Working().m_securityCertName = "www.example.org";
    ShowPage(*sheet, kGeneral);
    EXPECT_FALSE(Find<QLineEdit>(sheet.get(), 1001)->isEnabled()) << "the secure page stored its empty fields";
    Find<QLineEdit>(sheet.get(), 1129)->setText("www.example.org");
    ShowPage(*sheet, kSecure);
    ShowPage(*sheet, kGeneral);
    EXPECT_TRUE(Find<QLineEdit>(sheet.get(), 1001)->isEnabled());
}

TEST_F(SettingsSheetTest, SaveChecksTheWholeCopyAndWritesNothingWhenACheckFails)
{
    const std::string before = SettingsText();
    auto sheet = OpenSheet(kDatabase);
    sheet->Working().m_sessionTimeout = 0;
    sheet->accept();
    EXPECT_EQ(m_answers.LastMessage(),
              "Session time out can not be smaller than 1 minute or larger than 1440 minutes.");
    sheet->Working().m_sessionTimeout = 1440;

    sheet->Working().GetTask(2)->SetEnabled(true);
    sheet->accept();
    EXPECT_EQ(m_answers.LastMessage(), "For task 2 and above to work, you must enable Email Sender.");
    sheet->Working().GetTask(2)->SetEnabled(false);

    sheet->Working().GetTask(3)->SetIntervalSeconds(0);  // "Issue Escalator", every 0 minutes
    sheet->accept();
    EXPECT_EQ(m_answers.LastMessage(),
              "Interval of task Issue Escalator is smaller than 1 minute. That is not allowed. ");
    sheet->Working().GetTask(3)->SetIntervalSeconds(60);
    sheet->Working().GetTask(4)->SetIntervalSeconds(0);  // "System", daily, at 00:00: midnight is a time

    CConsoleConfig& working = sheet->Working();
    working.GetTask(0)->SetEnabled(true);
    working.GetTask(1)->SetEnabled(true);
    working.m_emSmtpServer = "smtp.example.org";
    working.m_emAdminEmail = "admin@example.org; importer@example.org";
    working.m_emPop3Server = "pop.example.org";
    working.m_emImporterEmail = "importer@example.org";
    working.m_emImporterUserName = "importer";
    working.m_emImporterPassword = "secret";
    sheet->accept();
    EXPECT_EQ(m_answers.LastMessage().rfind("You must assign a dedicated email address to Email Importer", 0), 0u);
    EXPECT_EQ(SettingsText(), before) << "nothing is saved before every check passes";

    working.m_emAdminEmail = "admin@example.org";
    m_answers.Clear();
    sheet->accept();
    EXPECT_EQ(sheet->result(), QDialog::Accepted) << m_answers.LastMessage();
    EXPECT_NE(SettingsText().find("EmImporterEmail=importer@example.org"), std::string::npos);
    EXPECT_NE(SettingsText().find("Task05At=0\n"), std::string::npos) << "the task at midnight is saved";
    EXPECT_EQ(m_config.m_emImporterEmail, "importer@example.org") << "the stored settings are loaded again";
}

TEST_F(SettingsSheetTest, ARunningServerIsToldToRestartOnlyWhenSomethingChanged)
{
    PretendServerRuns();
    {
        auto sheet = OpenSheet();
        sheet->accept();
        EXPECT_EQ(sheet->result(), QDialog::Accepted);
        EXPECT_TRUE(m_answers.Messages().empty()) << m_answers.LastMessage();
    }
    auto sheet = OpenSheet();
    Find<QLineEdit>(sheet.get(), 1126)->setText("Another Example");
    sheet->accept();
    EXPECT_EQ(m_answers.LastMessage(),
              "You must stop and restart Tarnwick Server\nbefore your changes will take effect.");
    EXPECT_EQ(m_config.m_generalOrganizationName, "Another Example");

    // A save that fails says why and nothing of a restart; the sheet stays open with the edit.
    auto failing = OpenSheet();
    Find<QLineEdit>(failing.get(), 1126)->setText("Third Example");
    const std::string etc = m_install.Path() + "/etc";
    std::filesystem::rename(etc, etc + ".kept");
    std::ofstream(etc) << "a file where the settings folder was";
    m_answers.Clear();
    failing->accept();
    std::filesystem::remove(etc);
    std::filesystem::rename(etc + ".kept", etc);
    ASSERT_EQ(m_answers.Messages().size(), 1u) << m_answers.LastMessage();
    EXPECT_EQ(m_answers.LastMessage().rfind("The settings have not been saved:\n", 0), 0u) << m_answers.LastMessage();
    EXPECT_NE(m_answers.LastMessage().find(etc), std::string::npos) << "the message names the settings file";
    EXPECT_NE(failing->result(), QDialog::Accepted);
    failing->accept();
    EXPECT_EQ(failing->result(), QDialog::Accepted) << "the kept edit is saved once the cause is mended";
    EXPECT_EQ(m_config.m_generalOrganizationName, "Third Example");

    auto moved = OpenSheet();
    Find<QLineEdit>(moved.get(), 1000)->setText("8099");
    m_answers.QueueButton(QMessageBox::No);
    moved->accept();
    EXPECT_EQ(m_answers.LastMessage().rfind("You have changed the IP address or the port number.", 0), 0u);
    EXPECT_NE(moved->result(), QDialog::Accepted) << "No keeps the sheet open";
}

TEST_F(SettingsSheetTest, SaveChecksEverythingBeforeItStopsTheServerAndTheWindowFollowsTheStop)
{
    CServerProcess server;
    ASSERT_TRUE(server.Start(m_install, {"-normalapp"}));
    const std::set<int> ports = server.WaitUntilRunning(m_install, 1);
    ASSERT_FALSE(ports.empty()) << server.Output();
    m_config.m_generalTcpipPort = std::to_string(*ports.begin());
    ASSERT_EQ(m_config.Save(), 1);
    m_console.SetPollInterval(std::chrono::milliseconds(100));
    CMainFrame frame(m_console);
    CServerView& view = *frame.View();
    view.Refresh();
    ASSERT_TRUE(view.IsRunning());

    bool ranWhileRefused = false;
    bool viewStoppedWhileOpen = false;
    m_answers.QueueDialog([&](QWidget* dialog) {
        auto* sheet = static_cast<CSettingsSht*>(dialog);
        Find<QLineEdit>(sheet, 1000)->setText(QString::number(*ports.begin() + 1));
        sheet->Working().GetTask(2)->SetEnabled(true);
        Find<QPushButton>(sheet, 1)->click();
        ranWhileRefused = CStopEvent::Exists(m_install.StopEventPath());

        // All checks pass now; the service install that follows the stop fails.
        sheet->Working().GetTask(2)->SetEnabled(false);
        Find<QRadioButton>(sheet, 1003)->click();
        std::filesystem::create_directories(m_systemctl.UnitPath());
        Find<QPushButton>(sheet, 1)->click();
        viewStoppedWhileOpen = sheet->isVisible() && !view.IsRunning() && frame.Command(32781)->isEnabled();
        sheet->reject();
    });
    view.OnSettings();
    EXPECT_TRUE(ranWhileRefused) << "a failed check stops nothing";
    ASSERT_GE(m_answers.Messages().size(), 4u);
    EXPECT_EQ(m_answers.Messages()[0], "For task 2 and above to work, you must enable Email Sender.")
        << "the check comes before the question about stopping";
    EXPECT_EQ(m_answers.Messages()[1].rfind("You have changed the IP address or the port number.", 0), 0u);
    EXPECT_EQ(m_answers.Messages()[2], "Would you like to install Tarnwick Server system service (systemd)?");
    EXPECT_EQ(m_answers.Messages()[3].rfind("Failed to install Tarnwick Server service.", 0), 0u);
    EXPECT_TRUE(viewStoppedWhileOpen) << "the main window showed the stop while the sheet was still open";
    EXPECT_EQ(server.WaitForExit(), 0);
}

TEST_F(SettingsSheetTest, TheCertificateNoticeComesOnlyWhenTheCertificateOrTheAddressChanged)
{
    const std::string notice = "The certificate you selected was not issued to ";
    m_config.m_securityCertName = "cert.example.org";
    ASSERT_EQ(m_config.Save(), 1);
    {
        auto sheet = OpenSheet();
        Find<QLineEdit>(sheet.get(), 1126)->setText("Another Example");
        sheet->accept();
        ASSERT_EQ(sheet->result(), QDialog::Accepted) << m_answers.LastMessage();
        EXPECT_FALSE(m_answers.Saw(notice)) << "neither the certificate nor the address changed";
    }
    // The lookup of the address's name waits for a name service that does not answer, off the
    // window's thread: the window's events run until the service gives up.
    SilentServer nameService;
    m_console.SetHostNameLookup(SilentHostNameLookup(nameService.Port()));
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (++ticks == 10)
            nameService.Stop();
    });
    ticker.start(5);
    auto sheet = OpenSheet();
    sheet->Working().m_securityCertName = "other.example.org";
    sheet->accept();
    EXPECT_GE(ticks, 10) << "Save returned before the lookup ended, or the events stood still";
    ASSERT_EQ(sheet->result(), QDialog::Accepted);
    EXPECT_TRUE(m_answers.Saw(notice + "127.0.0.1.")) << m_answers.LastMessage();
}

TEST_F(SettingsSheetTest, SwitchingToTheServiceAsksFirstAndInstallsTheUnit)
{
    {
        auto sheet = OpenSheet();
        Find<QRadioButton>(sheet.get(), 1003)->click();
        EXPECT_TRUE(Find<QRadioButton>(sheet.get(), 1004)->isEnabled());
        Find<QLineEdit>(sheet.get(), 1126)->setText("Changed");
        m_answers.QueueButton(QMessageBox::No);
        sheet->accept();
        EXPECT_EQ(m_answers.Messages().front(), "Would you like to install Tarnwick Server system service (systemd)?");
        EXPECT_EQ(sheet->result(), QDialog::Accepted) << "the other settings are still saved";
        EXPECT_EQ(m_console.GetServiceMode(), 0);
        EXPECT_NE(SettingsText().find("GeneralOrganizationName=Changed"), std::string::npos);
        EXPECT_FALSE(CServiceControl().Exists(CConsoleApp::kServiceName));
    }
    m_answers.Clear();
    auto sheet = OpenSheet();
    Find<QRadioButton>(sheet.get(), 1003)->click();
    Find<QRadioButton>(sheet.get(), 1004)->click();
    sheet->accept();
    ASSERT_EQ(sheet->result(), QDialog::Accepted) << m_answers.LastMessage();
    EXPECT_EQ(m_console.GetServiceMode(), 1);
    const std::string unit = ReadWholeFile(m_systemctl.UnitPath());
    EXPECT_NE(unit.find("ExecStart=" + m_console.ServerProgramPath()), std::string::npos) << unit;
    EXPECT_NE(m_systemctl.Calls().find("enable TarnwickServer3.service"), std::string::npos);
}

TEST_F(SettingsSheetTest, TheEmailPageStoresAddressesWithTheirPrefixAndTheServersLimitFloor)
{
    m_config.m_generalHttpAddr = "HTTP://www.example.org:8080";
    m_config.m_generalTcpipPort = "8123";
    ASSERT_TRUE(m_config.Save());
    auto sheet = OpenSheet(kEmail);
    EXPECT_EQ(Find<QLineEdit>(sheet.get(), 1153)->text(), "www.example.org:8080");
    EXPECT_EQ(Find<QLineEdit>(sheet.get(), 1152)->text(), "") << "an address never typed is not made up";
    EXPECT_EQ(Find<QLineEdit>(sheet.get(), 1152)->placeholderText(), "127.0.0.1") << "what the server will use";
    Find<QLineEdit>(sheet.get(), 1154)->setText("10");
    Find<QLineEdit>(sheet.get(), 1027)->setText("  smtp.example.org ");
    ShowPage(*sheet, kGeneral);
    EXPECT_EQ(sheet->Tabs()->currentIndex(), kEmail) << "a limit below the server's floor is refused, not raised";
    EXPECT_EQ(m_answers.LastMessage(), "Please enter an integer between 100 and 1000000.");
    Find<QLineEdit>(sheet.get(), 1154)->setText("100");
    ShowPage(*sheet, kGeneral);
    CConsoleConfig& working = sheet->Working();
    EXPECT_EQ(working.m_generalHttpAddr, "http://www.example.org:8080");
    EXPECT_EQ(working.m_generalHttpsAddr, "") << "an empty field is no bare prefix";
    EXPECT_EQ(working.m_emMaxEmailOut, 100);
    EXPECT_EQ(working.m_emSmtpServer, "smtp.example.org");
    Find<QLineEdit>(sheet.get(), 1000)->setText("41000");
    ShowPage(*sheet, kEmail);
    EXPECT_EQ(Find<QLineEdit>(sheet.get(), 1153)->placeholderText(), "127.0.0.1:41000")
        << "the port just typed on the General page";
    Find<QLineEdit>(sheet.get(), 1153)->setText("   ");
    sheet->accept();
    ASSERT_EQ(sheet->result(), QDialog::Accepted) << m_answers.LastMessage();
    EXPECT_NE(SettingsText().find("GeneralHttpAddr=\n"), std::string::npos) << SettingsText();
    EXPECT_NE(SettingsText().find("GeneralHttpsAddr=\n"), std::string::npos);

    // The server reads what the console wrote: its own default address and the same limit.
    CServerConfig server(m_install.Path() + "/etc/settings.conf", m_install.Path());
    ASSERT_EQ(server.Load(), 1);
    EXPECT_EQ(server.m_generalHttpAddr, "http://127.0.0.1:41000");
    EXPECT_EQ(server.m_emMaxEmailOut, 100);

    // Saved again after another change of the port, the addresses still follow it.
    auto again = OpenSheet(kGeneral);
    Find<QLineEdit>(again.get(), 1000)->setText("41001");
    again->accept();
    ASSERT_EQ(again->result(), QDialog::Accepted) << m_answers.LastMessage();
    ASSERT_EQ(server.Load(), 1);
    EXPECT_EQ(server.m_generalHttpAddr, "http://127.0.0.1:41001");
}

TEST_F(SettingsSheetTest, TheTaskPageEditsRowsAndWritesTheListBack)
{
    auto sheet = OpenSheet(kTasks);
    auto* page = static_cast<CTaskPage*>(sheet->Page(kTasks));
    CListCtrlEx* list = page->List();
    ASSERT_EQ(list->topLevelItemCount(), 6);
    EXPECT_EQ(list->CellText(0, 3), "10 minute(s)");
    EXPECT_EQ(list->CellText(4, 3), "Day");
    EXPECT_EQ(list->CellText(4, 4).toStdString(), FormatTimeOfDay(60));

    // A new task keeps its defaults: every 5 minutes.
    m_answers.QueueDialog([](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "New Background Task");
        EXPECT_EQ(dialog->findChild<QLineEdit*>("id1115")->text(), "5");
        EXPECT_FALSE(dialog->findChild<QComboBox*>("id1113")->isEnabled());
        dialog->findChild<QLineEdit*>("id1106")->setText("Nightly");
        dialog->findChild<QLineEdit*>("id1107")->setText("/srv/nightly.tws");
        dialog->findChild<QPushButton*>("id1")->click();
    });
    page->OnNew();
    ASSERT_EQ(list->topLevelItemCount(), 7);
    EXPECT_EQ(list->CellText(6, 3), "5 minute(s)");

    // The Email Sender needs no script; its name is locked.
    list->SelectRow(0);
    m_answers.QueueDialog([](QWidget* dialog) {
        EXPECT_FALSE(dialog->findChild<QLineEdit*>("id1106")->isEnabled());
        EXPECT_FALSE(dialog->findChild<QLineEdit*>("id1107")->isEnabled());
        dialog->findChild<QCheckBox*>("id1108")->setChecked(true);
        dialog->findChild<QPushButton*>("id1")->click();
    });
    page->OnEdit();
    EXPECT_EQ(list->CellText(0, 1), "Enabled");

    // A task whose script is not installed: the dialog says so, and asks before it keeps the
    // task enabled.
    const std::string script = m_install.Path() + "/webroot/script/dueRem.tws";
    list->SelectRow(2);
    m_answers.QueueButton(QMessageBox::No);
    m_answers.QueueDialog([this, &script](QWidget* dialog) {
        auto* note = dialog->findChild<QLabel*>("scriptNote");
        EXPECT_TRUE(note->isVisibleTo(dialog));
        EXPECT_EQ(note->text().toStdString(), "This script does not exist: " + script);
        dialog->findChild<QCheckBox*>("id1108")->setChecked(true);
        dialog->findChild<QPushButton*>("id1")->click();
        EXPECT_TRUE(dialog->isVisible()) << "No keeps the dialog open";
        m_install.WriteFile("webroot/script/dueRem.tws", "log 'reminded';");
        auto* scriptEdit = dialog->findChild<QLineEdit*>("id1107");
        scriptEdit->setText("");
        scriptEdit->setText(QString::fromStdString(script));
        EXPECT_FALSE(note->isVisibleTo(dialog)) << "the note follows the field";
        dialog->findChild<QPushButton*>("id1")->click();
    });
    page->OnEdit();
    EXPECT_TRUE(m_answers.Saw("The script " + script + " does not exist, so this task can not run.\nSave it anyway?"));
    EXPECT_EQ(list->CellText(2, 1), "Enabled");

    // An interval outside 1..1440 and a typed time that can't be read are refused, the time
    // with the field named; the dialog stays open until the time is one.
    list->SelectRow(6);
    m_answers.QueueDialog([](QWidget* dialog) {
        dialog->findChild<QLineEdit*>("id1115")->setText("0");
        dialog->findChild<QPushButton*>("id1")->click();
        dialog->findChild<QRadioButton*>("id1111")->click();
        dialog->findChild<QComboBox*>("id1113")->setCurrentIndex(0);
        dialog->findChild<QComboBox*>("id1114")->setEditText("garbage");
        dialog->findChild<QPushButton*>("id1")->click();
        EXPECT_TRUE(dialog->isVisible()) << "an unreadable time keeps the dialog open";
        dialog->findChild<QComboBox*>("id1114")->setEditText(QString::fromStdString(FormatTimeOfDay(90)));
        dialog->findChild<QPushButton*>("id1")->click();
    });
    page->OnEdit();
    EXPECT_TRUE(m_answers.Saw("Please enter an interval between 1 and 1440 minutes."));
    EXPECT_EQ(m_answers.LastMessage().rfind("The time \"garbage\" in the field \"at\" can not be read.", 0), 0u)
        << m_answers.LastMessage();
    EXPECT_EQ(list->CellText(6, 4).toStdString(), FormatTimeOfDay(90));

    list->SelectRow(5);
    page->OnDelete();
    EXPECT_EQ(m_answers.LastMessage(), "Tasks 1 to 6 are system tasks and can not be deleted");
    ShowPage(*sheet, kGeneral);
    ASSERT_EQ(sheet->Working().GetTaskCount(), 7u);
    EXPECT_TRUE(sheet->Working().GetTask(0)->IsEnabled());
    EXPECT_EQ(sheet->Working().GetTask(6)->GetKind(), kTaskDaily);
    EXPECT_EQ(sheet->Working().GetTask(6)->GetIntervalSeconds(), 90 * 60);

    ShowPage(*sheet, kTasks);
    list->SelectRow(6);
    page->OnDelete();
    EXPECT_EQ(list->topLevelItemCount(), 6);
    EXPECT_EQ(list->SelectedRow(), 5);
    sheet->reject();

    // A new task alone is a change that Save writes.
    auto added = OpenSheet(kTasks);
    m_answers.QueueDialog([](QWidget* dialog) {
        dialog->findChild<QLineEdit*>("id1106")->setText("Nightly");
        dialog->findChild<QLineEdit*>("id1107")->setText("/srv/nightly.tws");
        dialog->findChild<QPushButton*>("id1")->click();
    });
    static_cast<CTaskPage*>(added->Page(kTasks))->OnNew();
    added->accept();
    ASSERT_EQ(added->result(), QDialog::Accepted) << m_answers.LastMessage();
    EXPECT_NE(SettingsText().find("TaskCount=7\n"), std::string::npos) << SettingsText();
    EXPECT_EQ(m_config.GetTaskCount(), 7u);
}

TEST_F(SettingsSheetTest, TheMimePageKeysExtensionsWithoutOneLeadingDot)
{
    auto sheet = OpenSheet(kMime);
    auto* page = static_cast<CMimeTypePage*>(sheet->Page(kMime));
    auto addType = [this, page](const QString& extension, const QString& type) {
        m_answers.QueueDialog([extension, type](QWidget* dialog) {
            dialog->findChild<QLineEdit*>("id1091")->setText(extension);
            dialog->findChild<QLineEdit*>("id1090")->setText(type);
            dialog->findChild<QPushButton*>("id1")->click();
        });
        page->OnNew();
    };
    CConsoleConfig& working = sheet->Working();
    addType(".abc", "text/abc");
    EXPECT_EQ(working.m_mimeMap["abc"], "text/abc");
    addType("abc", "text/other");
    EXPECT_EQ(m_answers.LastMessage(), "The MIME type already exists. Please click edit button to make changes.");
    addType("..two", "text/two");
    EXPECT_EQ(working.m_mimeMap.count(".two"), 1u);
    addType("empty", " ");
    EXPECT_EQ(m_answers.LastMessage(), "Can not save empty MIME map");

    auto* list = sheet->findChild<CListCtrlEx*>("id1086");
    const int row = list->indexOfTopLevelItem(list->findItems(".abc", Qt::MatchExactly).value(0));
    ASSERT_GE(row, 0);
    list->SelectRow(row);
    m_answers.QueueDialog([](QWidget* dialog) {
        EXPECT_FALSE(dialog->findChild<QLineEdit*>("id1091")->isEnabled());
        dialog->findChild<QLineEdit*>("id1090")->setText("");
        dialog->findChild<QPushButton*>("id1")->click();
    });
    page->OnEdit();
    EXPECT_EQ(m_answers.LastMessage(), "Can not save empty MIME map");
    EXPECT_EQ(working.m_mimeMap["abc"], "text/abc");

    m_answers.QueueButton(QMessageBox::Yes);
    page->OnDelete();
    EXPECT_EQ(m_answers.LastMessage(), "Are you sure you want to delete .abc");
    EXPECT_EQ(working.m_mimeMap.count("abc"), 0u);

    // Deleting a stored type alone is a change that Save writes.
    list->SelectRow(list->indexOfTopLevelItem(list->findItems(".gif", Qt::MatchExactly).value(0)));
    page->OnDelete();
    sheet->accept();
    ASSERT_EQ(sheet->result(), QDialog::Accepted) << m_answers.LastMessage();
    EXPECT_EQ(SettingsText().find("image/gif"), std::string::npos) << SettingsText();
    EXPECT_EQ(m_config.m_mimeMap.count("gif"), 0u);
    EXPECT_EQ(m_config.m_mimeMap.count(".two"), 1u);
}

}  // namespace
