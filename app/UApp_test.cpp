#include "UApp.h"

#include <gtest/gtest.h>

#include "TempDir.h"
#include "UConst.h"

namespace {

TEST(Format, InsertsTextsAndSignedNumbers) {
  EXPECT_EQ(Format("{%s} %s = %d", "Create", "FevTarvo.Handle", -5), "{Create} FevTarvo.Handle = -5");
  EXPECT_EQ(Format("%d %d %d", 0, 2147483647, -2147483647 - 1), "0 2147483647 -2147483648");
  EXPECT_EQ(Format("%02d|%02d|%02d|%c|100%%", 7, 42, 123, ':'), "07|42|123|:|100%");
  std::string longText(1000, 'x');
  EXPECT_EQ(Format("<%s>", longText.c_str()), "<" + longText + ">");
}

TEST(FormatTimestamp, TwoDigitFieldsWithTheSeparator) {
  EXPECT_EQ(FormatTimestamp({2014, 3, 5, 9, 7, 30}, ":"), "05.03.14 09:07:30");
  EXPECT_EQ(FormatTimestamp({2000, 12, 31, 23, 59, 9}, "."), "31.12.00 23.59.09");
  EXPECT_EQ(FormatTimestamp({2000, 1, 2, 3, 4, 5}, "\x81\x46"), "02.01.00 03\x81\x46" "04\x81\x46" "05")
      << "a double-byte separator is written whole";
}

TEST(Printable, ReplacesControlCharacters) {
  EXPECT_EQ(Printable("a\r\nb\tc\x7f"
                      "d\xe4"),
            "a??b?c?d\xe4");
}

// The controller's whole run, in this process: the log it leaves in the current directory.
using AppConTest = TTempDirTest;

TEST_F(AppConTest, RunWritesBannerCreationSignalAndResult) {
  std::string logName;
  {
    TAppCon app;
    logName = app.LogName();
    EXPECT_TRUE(app.Run());
  }
  EXPECT_EQ(logName, "UApp_test.log");
  std::string log = ReadFile("UAPP_TEST.LOG");
  EXPECT_EQ(log.rfind("\r\n*** START UApp_test", 0), 0u) << log;
  EXPECT_NE(log.find(" (ver. 3) ["), std::string::npos);
  EXPECT_NE(log.find("] ***\r\n\r\n{Create} FevTarvo.Handle = "), std::string::npos) << log;
  EXPECT_NE(log.find(", FevTarvo.LastError = 0\r\n{SetEvent} FevTarvo.LastError = 0\r\n{Run} = TRUE\r\n"),
            std::string::npos)
      << log;
}

}  // namespace
