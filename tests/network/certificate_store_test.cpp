#include "network/certificate_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>

#include "tests/network/test_certificates.h"
#include "tests/support/temp_folder.h"

namespace {

class CertificateFolderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(mkdir(m_certs.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(m_work.c_str(), 0700), 0);
    }

    void Install(const std::string& name, const std::string& file, const std::vector<std::string>& chain = {})
    {
        ASSERT_TRUE(m_make.Install(name, m_certs + "/" + file, chain));
    }

    TempFolder m_site{"tw-certs"};
    const std::string m_certs = m_site.Path() + "/certs";
    const std::string m_work = m_site.Path() + "/work";
    CTestCertificates m_make{m_work};
};

TEST_F(CertificateFolderTest, ListsDisplayNamesSerialsAndExpirationInFileNameOrder)
{
    ASSERT_TRUE(m_make.MakeSelfSigned("ca", "/C=DE/O=Tarnwick/CN=Tarnwick Test CA", "0x01"));
    ASSERT_TRUE(
        m_make.MakeSigned("leaf", "/C=DE/O=Tarnwick/OU=Web/CN=www.example.test/CN=second", "0x0A1B2C3D4E", "ca"));
    ASSERT_TRUE(m_make.MakeSelfSigned("unit", "/O=Tarnwick/OU=Accounting", "0x8899AABB"));
    ASSERT_TRUE(m_make.MakeSelfSigned("org", "/C=DE/O=Only Org", "0x7F"));
    ASSERT_TRUE(m_make.MakeSelfSigned("mail", "/emailAddress=admin@example.test", "0x0102"));
    Install("leaf", "b-leaf.pem", {"ca"});
    Install("unit", "a-unit.pem");
    Install("org", "c-org.pem");
    Install("mail", "d-mail.pem");
    // Neither notes nor hidden files nor folders are certificates.
    std::ofstream(m_certs + "/notes.txt") << "the key is in the safe\n";
    Install("ca", ".hidden.pem");
    ASSERT_EQ(mkdir((m_certs + "/old").c_str(), 0700), 0);

    const CCertificateListing listing = ListCertificates(m_certs);
    EXPECT_EQ(listing.failure, CertificateListFailure::None);
    EXPECT_EQ(DescribeListingFailure(listing), "");
    ASSERT_EQ(listing.entries.size(), 4u);
    const auto& unit = listing.entries[0];
    EXPECT_EQ(unit.path, m_certs + "/a-unit.pem");
    EXPECT_EQ(unit.subject, "Accounting");
    EXPECT_EQ(unit.issuer, "Accounting");
    EXPECT_EQ(unit.serial, "8899 AABB") << "the sign byte DER puts before 0x88 is no part of the serial";

    const auto& leaf = listing.entries[1];
    EXPECT_EQ(leaf.subject, "www.example.test") << "the first common name, though OU and O come first";
    EXPECT_EQ(leaf.issuer, "Tarnwick Test CA");
    EXPECT_EQ(leaf.serial, "0A1B 2C3D 4E");
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    EXPECT_GT(leaf.expiration, now + 29 * 86400);
    EXPECT_LT(leaf.expiration, now + 31 * 86400);

    EXPECT_EQ(listing.entries[2].subject, "Only Org");
    EXPECT_EQ(listing.entries[2].serial, "7F");
    EXPECT_EQ(listing.entries[3].subject, "admin@example.test");
    EXPECT_EQ(listing.entries[3].serial, "0102");
}

TEST_F(CertificateFolderTest, ADamagedCertificateOrAMissingFolderEndsTheListing)
{
    ASSERT_TRUE(m_make.MakeSelfSigned("good", "/CN=Before", "0x01"));
    ASSERT_TRUE(m_make.MakeSelfSigned("later", "/CN=After", "0x02"));
    Install("good", "a.pem");
    std::ofstream(m_certs + "/b.pem") << "-----BEGIN CERTIFICATE-----\nMIIBdamaged\n-----END CERTIFICATE-----\n";
    Install("later", "c.pem");
    CCertificateListing listing = ListCertificates(m_certs);
    EXPECT_EQ(listing.failure, CertificateListFailure::Subject);
    EXPECT_EQ(DescribeListingFailure(listing).rfind(
                  "Failed to get certificate subject from " + m_certs + "/b.pem: error:", 0),
              0u)
        << DescribeListingFailure(listing);
    ASSERT_EQ(listing.entries.size(), 1u) << "what came before the broken certificate stays listed";
    EXPECT_EQ(listing.entries[0].subject, "Before");

    listing = ListCertificates(m_site.Path() + "/missing");
    EXPECT_EQ(listing.failure, CertificateListFailure::Folder);
    EXPECT_EQ(DescribeListingFailure(listing), "Failed to open the certificate folder " + m_site.Path() +
                                                   "/missing: Error [2]: No such file or directory");
    EXPECT_TRUE(listing.entries.empty());
}

}  // namespace
