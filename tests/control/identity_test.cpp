// SIM and handset identity: one telephony query for many uses, and a new query after a failure.
#include <gtest/gtest.h>

#include "DM_RegUtility.h"
#include "dmnative_control.h"
#include "flow_lines.h"
#include "zavtapi_control.h"

using namespace flow;
using testsupport::StderrCapture;
using zavtapi::Call;

namespace {

using Identity = testsupport::Handset;

TEST_F(Identity, ImsiIsAskedForOnceAndServedFromTheCache)
{
    char first[30] = {};
    char second[200] = {};
    StderrCapture capture;
    EXPECT_TRUE(DM_SimUtility::GetSimIMSI(first));
    EXPECT_TRUE(DM_SimUtility::GetSimIMSI(second));
    EXPECT_EQ(capture.finish(), (Lines{util("GetSimIMSI", "Get Imsi result code:0"),
                                       util("GetSimIMSI", "Success get SIM IMSI:001010123456789"),
                                       util("GetSimIMSI", "the sim IMSI is :001010123456789")}));
    EXPECT_STREQ(second, "001010123456789");
    EXPECT_EQ(zavtapi::calls(Call::Imsi), 1);
}

TEST_F(Identity, FailedImsiQueryIsAskedAgainNextTime)
{
    zavtapi::setResults(Call::Imsi, {12, 0});
    char imsi[30] = {};
    StderrCapture capture;
    EXPECT_FALSE(DM_SimUtility::GetSimIMSI(imsi));
    EXPECT_STREQ(imsi, "");
    EXPECT_FALSE(DM_SimUtility::GetSimIMSI(nullptr));
    EXPECT_TRUE(DM_SimUtility::GetSimIMSI(imsi));
    EXPECT_EQ(capture.finish(),
              (Lines{util("GetSimIMSI", "Get Imsi result code:12"), util("GetSimIMSI", "Error get SIM IMSI"),
                     util("GetSimIMSI", "Param is NULL!"), util("GetSimIMSI", "Get Imsi result code:0"),
                     util("GetSimIMSI", "Success get SIM IMSI:001010123456789")}));
    EXPECT_EQ(zavtapi::calls(Call::Imsi), 2);
}

TEST_F(Identity, ImeiQueryFailureThenCache)
{
    zavtapi::setResults(Call::Imei, {1, 0});
    char imei[200] = {};
    StderrCapture capture;
    EXPECT_FALSE(DM_SimUtility::GetLocalIMEI(imei));
    EXPECT_TRUE(DM_SimUtility::GetLocalIMEI(imei));
    EXPECT_TRUE(DM_SimUtility::GetLocalIMEI(imei));
    EXPECT_EQ(capture.finish(),
              (Lines{util("GetLocalIMEI", "ENTER\t"), util("GetLocalIMEI", "fetchPhoneImeiflag: 0"),
                     util("GetLocalIMEI", "Need to query the tapi for imei"), util("GetLocalIMEI", "LEAVE\t"),
                     util("GetLocalIMEI", "ENTER\t"), util("GetLocalIMEI", "fetchPhoneImeiflag: 0"),
                     util("GetLocalIMEI", "Need to query the tapi for imei"),
                     util("GetLocalIMEI", "Fetch the imei: 490154203237518"), util("GetLocalIMEI", "ENTER\t"),
                     util("GetLocalIMEI", "fetchPhoneImeiflag: 1"),
                     util("GetLocalIMEI", "Already fetch the imei: 490154203237518")}));
    EXPECT_STREQ(imei, "490154203237518");
    EXPECT_EQ(zavtapi::calls(Call::Imei), 2);
}

TEST_F(Identity, CheckImsiAgainstTheRegisteredOne)
{
    StderrCapture capture;
    EXPECT_FALSE(DM_SimUtility::CheckIMSI()) << "nothing registered in the tree";
    EXPECT_EQ(testsupport::linesOf(capture.finish(), "CheckIMSI"), (Lines{util("CheckIMSI", "New sim card with IMSI:001010123456789")}));
    ASSERT_TRUE(DM_SimUtility::RecordIMSI("001010123456789"));
    char stored[200] = {};
    EXPECT_TRUE(DM_SimUtility::GetLocalIMSI(stored));
    EXPECT_STREQ(stored, "001010123456789");
    StderrCapture match;
    EXPECT_TRUE(DM_SimUtility::CheckIMSI());
    EXPECT_EQ(match.finish().back(), util("CheckIMSI", "IMSI code match.."));
    expectTreeReleased();
}

TEST_F(Identity, CheckImsiWhenTheTreeCannotBeRead)
{
    dmnative::failOn(dmnative::Op::Initialize, "", "off");
    StderrCapture capture;
    EXPECT_FALSE(DM_SimUtility::CheckIMSI());
    EXPECT_EQ(capture.finish(), (Lines{util("GetIMSIValue", "Dmt tree initialize failed!!"), util("CheckIMSI", "New sim card with IMSI:")}));
}

}  // namespace
