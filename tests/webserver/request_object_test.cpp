#include "webserver/ssp_request.h"

#include "foundation/ssp_exception.h"
#include "tests/webserver/request_call.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The message of the error that the call raises, "" when it raises none.
std::string ErrorOf(CSspRequest& request, const std::string& member, const std::vector<std::string>& arguments = {})
{
    try {
        InvokeRequest(request, member, arguments);
    } catch (const CSspException& error) {
        EXPECT_EQ(error.GetPosition(), kCallPosition);
        return error.GetMessage();
    }
    return "";
}

class RequestObjectTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_request.GetFields().SetBody("name=Ann&Tags=a&tags=b&empty="), 1);
        m_request.GetFields().Parse();
    }

    CSspRequest m_request{nullptr};
};

TEST_F(RequestObjectTest, FieldMembers)
{
    const CSspValue exists = InvokeRequest(m_request, "FieldExist", {"NAME"});
    EXPECT_EQ(exists.m_type, CSspValue::kInteger);
    EXPECT_EQ(exists.m_integer, 1);
    EXPECT_EQ(InvokeRequest(m_request, "exist", {"empty"}).m_integer, 1);
    EXPECT_EQ(InvokeRequest(m_request, "EXIST", {"missing"}).m_integer, 0);
    EXPECT_EQ(InvokeRequest(m_request, "FieldSize", {"tags"}).m_integer, 3);
    EXPECT_EQ(InvokeRequest(m_request, "size", {"missing"}).m_integer, 0);

    const CSspValue text = InvokeRequest(m_request, "fieldvalue", {"tags"});
    EXPECT_EQ(text.m_type, CSspValue::kVarChar);
    EXPECT_EQ(text.m_text, "a\nb");
    EXPECT_EQ(InvokeRequest(m_request, "FieldValue", {"missing"}).m_text, "");
    // Any other member name reads the form field of that name.
    EXPECT_EQ(InvokeRequest(m_request, "Name").m_text, "Ann");

    InvokeRequest(m_request, "SetField", {"Name", "  Bob "});
    EXPECT_EQ(InvokeRequest(m_request, "name").m_text, "Bob");
    InvokeRequest(m_request, "setvar", {"new", "1"});
    EXPECT_EQ(InvokeRequest(m_request, "FieldValue", {"NEW"}).m_text, "1");
}

TEST_F(RequestObjectTest, ErrorsCarryTheCallPosition)
{
    EXPECT_EQ(ErrorOf(m_request, "FieldExist"), "Missing field name.");
    EXPECT_EQ(ErrorOf(m_request, "size"), "Missing field name.");
    EXPECT_EQ(ErrorOf(m_request, "FieldValue"), "Missing field name.");
    EXPECT_EQ(ErrorOf(m_request, "getCookie"), "Missing parameter.");
    EXPECT_EQ(ErrorOf(m_request, "SetField", {"a"}), "Incorrect number of parameter.");
    EXPECT_EQ(ErrorOf(m_request, "SetVar", {"a", "b", "c"}), "Incorrect number of parameter.");
    EXPECT_EQ(ErrorOf(m_request, "nosuch"), "nosuch is not a request function nor a form field in: ");
}

TEST_F(RequestObjectTest, WithoutConnection)
{
    EXPECT_EQ(InvokeRequest(m_request, "IpAddress").m_text, "");
    EXPECT_EQ(InvokeRequest(m_request, "protocol").m_text, "sspRun");
    EXPECT_EQ(InvokeRequest(m_request, "UrlPath").m_text, "/");
    EXPECT_EQ(InvokeRequest(m_request, "getCookie", {"SID"}).m_text, "");
    const CSspValue major = InvokeRequest(m_request, "BrowserVerMajor");
    EXPECT_EQ(major.m_type, CSspValue::kInteger);
    EXPECT_EQ(major.m_integer, 0);
}

}  // namespace
