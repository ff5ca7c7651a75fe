// Certificates for the secure server, made and answered with the openssl program as a
// certification authority would: the request the console writes, the installation of the
// authority's answer, and the choice of a certificate on the Secure Server page.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>

#include <filesystem>

#include "console/certificate_request.h"
#include "console/report_list.h"
#include "console/security_page.h"
#include "network/certificate_store.h"
#include "tests/console/gui_test_support.h"
#include "tests/network/test_certificates.h"

namespace {

class CertificatesTest : public ::testing::Test
{
protected:
    std::string Path() const { return m_folder.Path(); }
    std::string Certs() const { return Path() + "/certs"; }
    CCertRequestFields Fields() const
    {
        CCertRequestFields fields;
        fields.certificateName = "www";
        fields.commonName = "www.example.org";
        fields.organization = "Example";
        fields.organizationUnit = "IT";
        fields.countryCode = "GB";
        fields.state = "Kent";
        fields.city = "Dover";
        fields.outputFile = Path() + "/cert_req.txt";
        return fields;
    }
    // The authority: a self-signed certificate that signs the request.
    bool Sign(const std::string& request, const std::string& answer)
    {
        return m_authority.MakeSelfSigned("ca", "/CN=Example CA", "0x01") &&
               RunProgram({"openssl", "x509", "-req", "-in", request, "-CA", m_authority.CertificatePath("ca"),
                           "-CAkey", m_authority.KeyPath("ca"), "-set_serial", "0x0A1B2C", "-days", "30", "-out",
                           answer},
                          Path() + "/openssl.out") == 0;
    }

    TempFolder m_folder{"tw-console-certs"};
    CTestCertificates m_authority{Path()};
};

TEST_F(CertificatesTest, ARequestNamesTheSubjectAndItsAnswerInstallsWithTheWaitingKey)
{
    EXPECT_EQ(FormatDistinguishedName(Fields()), "CN=www.example.org,OU=IT,O=Example,L=Dover,S=Kent,C=GB");
    std::string message;
    ASSERT_TRUE(GenerateCertificateRequest(Fields(), Certs(), message)) << message;
    EXPECT_EQ(message.rfind(Path() + "/cert_req.txt created. Please send this file to a CA.", 0), 0u);
    const std::string request = ReadWholeFile(Path() + "/cert_req.txt");
    EXPECT_EQ(request.rfind("-----BEGIN CERTIFICATE REQUEST-----\r\n", 0), 0u);
    EXPECT_NE(request.find("-----END CERTIFICATE REQUEST-----\r\n"), std::string::npos);
    struct stat key
    {};
    ASSERT_EQ(stat((Certs() + "/requests/www.key").c_str(), &key), 0);
    EXPECT_EQ(key.st_mode & 0777, 0600u);

    ASSERT_EQ(RunProgram({"openssl", "req", "-in", Path() + "/cert_req.txt", "-noout", "-verify", "-subject", "-text"},
                         Path() + "/req.out"),
              0);
    const std::string described = ReadWholeFile(Path() + "/req.out");
    EXPECT_NE(described.find("CN = www.example.org"), std::string::npos) << described;
    EXPECT_NE(described.find("TLS Web Server Authentication"), std::string::npos);
    EXPECT_NE(described.find("2048 bit"), std::string::npos);
    EXPECT_NE(described.find("sha256WithRSAEncryption"), std::string::npos);

    ASSERT_TRUE(Sign(Path() + "/cert_req.txt", Path() + "/certnew.cer"));
    ASSERT_TRUE(InstallCertificateFile(Path() + "/certnew.cer", Certs(), message)) << message;
    const CCertificateListing listing = ListCertificates(Certs());
    ASSERT_EQ(listing.entries.size(), 1u);
    EXPECT_EQ(message, "The certificate www.example.org has been installed as " + listing.entries[0].path + ".")
        << "a PEM file is named for what it is";
    EXPECT_EQ(listing.entries[0].subject, "www.example.org");
    EXPECT_EQ(listing.entries[0].issuer, "Example CA");
    EXPECT_EQ(listing.entries[0].serial, "0A1B 2C");
    EXPECT_NE(ReadWholeFile(listing.entries[0].path).find("PRIVATE KEY"), std::string::npos);

    EXPECT_FALSE(InstallCertificateFile(Path() + "/certnew.cer", Certs(), message)) << "installed already";
    EXPECT_EQ(message,
              "No pending certificate request matches the certificate in " + Path() +
                  "/certnew.cer.\nProbably the certificate request was not generated on this\ncomputer, or the "
                  "certificate has already been installed.");
}

TEST_F(CertificatesTest, AFailedRequestLeavesAnExistingFileAlone)
{
    std::ofstream(Path() + "/cert_req.txt") << "kept";
    CCertRequestFields fields = Fields();
    fields.countryCode = "GBR";  // a country has two letters: OpenSSL refuses the name
    std::string message;
    EXPECT_FALSE(GenerateCertificateRequest(fields, Certs(), message));
    EXPECT_EQ(message.rfind("Failed to createFilePKCS10 - ", 0), 0u);
    EXPECT_EQ(ReadWholeFile(Path() + "/cert_req.txt"), "kept");
}

TEST_F(CertificatesTest, ACertificateWithoutItsRequestIsRefusedWithTheErrorIcon)
{
    CTestCertificates made(Path());
    ASSERT_TRUE(made.MakeSelfSigned("stray", "/CN=stray.example.org", "0x0102"));
    CModalAnswerer answers;
    CSecurityPage page(Path());
    answers.QueueDialog([&made](QWidget* shown) {
        auto* files = qobject_cast<QFileDialog*>(shown);
        ASSERT_NE(files, nullptr);
        files->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(made.CertificatePath("stray")));
        QMetaObject::invokeMethod(files, "accept");
    });
    page.OnInstallCertificate();
    EXPECT_EQ(answers.LastMessage().rfind("No pending certificate request matches the certificate in " +
                                              made.CertificatePath("stray") + ".",
                                          0),
              0u)
        << answers.LastMessage();
    EXPECT_EQ(answers.LastIcon(), QMessageBox::Critical);
}

TEST_F(CertificatesTest, TheSelectDialogPreselectsByNameAndFillsThePage)
{
    CTestCertificates made(Path());
    ASSERT_TRUE(made.MakeSelfSigned("one", "/CN=one.example.org", "0x010203"));
    ASSERT_TRUE(made.MakeSelfSigned("two", "/CN=two.example.org", "0x0405"));
    std::filesystem::create_directories(Certs());
    for (const char* name : {"one", "two"})
        std::ofstream(Certs() + "/" + name + ".pem")
            << ReadWholeFile(made.CertificatePath(name)) << ReadWholeFile(made.KeyPath(name));
    // A certificate with another's key is listed with its problem and can't be chosen.
    ASSERT_TRUE(made.MakeSelfSigned("three", "/CN=three.example.org", "0x06"));
    std::ofstream(Certs() + "/three.pem")
        << ReadWholeFile(made.CertificatePath("three")) << ReadWholeFile(made.KeyPath("one"));

    CModalAnswerer answers;
    CSelectCertDlg dialog(Certs());
    dialog.m_issuedTo = "TWO.example.org";
    answers.QueueDialog([](QWidget* shown) {
        auto* list = shown->findChild<CListCtrlEx*>("id1136");
        EXPECT_EQ(list->topLevelItemCount(), 3);
        EXPECT_EQ(list->CellText(list->SelectedRow(), 0), "two.example.org");
        list->clearSelection();
        shown->findChild<QPushButton*>("id1")->click();  // refused: nothing selected
        ASSERT_EQ(list->CellText(1, 0), "three.example.org");
        EXPECT_NE(list->CellText(1, 4).indexOf("key values mismatch"), -1) << list->CellText(1, 4).toStdString();
        EXPECT_EQ(list->CellText(0, 4), "");
        list->SelectRow(1);
        shown->findChild<QPushButton*>("id1")->click();  // refused: the key belongs to another
        list->SelectRow(0);
        shown->findChild<QPushButton*>("id1")->click();
    });
    ASSERT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_TRUE(answers.Saw("Please select a certificate or click Cancel."));
    EXPECT_TRUE(answers.Saw("Certificate file " + Certs() + "/three.pem can't be used: error:"))
        << answers.LastMessage();
    EXPECT_EQ(dialog.m_issuedTo, "two.example.org") << "rows are inserted at the top";
    EXPECT_EQ(dialog.m_serialNumber, "0405");
    EXPECT_EQ(dialog.m_issuedBy, "two.example.org");
    EXPECT_FALSE(dialog.m_expiration.empty());
}

}  // namespace
