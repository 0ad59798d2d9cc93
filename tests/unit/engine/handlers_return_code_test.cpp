// The service's "ReturnCode" text and the integer the Response step makes of it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/task_process.h"

namespace dv {
namespace {

struct CodeCase {
  const char* text;
  int32_t value;
};

TEST(ParseReturnCode, AcceptsDecimalAndHexadecimalForms) {
  const CodeCase cases[] = {
      {"0", 0},
      {"3", 3},
      {" 12", 12},
      {"   -7", -7},
      {"+0", 0},
      {"-0", 0},
      {"007", 7},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"$1F", 31},
      {"0x1f", 31},
      {"0X1F", 31},
      {"x1F", 31},
      {"X1f", 31},
      {"-$10", -16},
      {"+0x10", 16},
      {"$FFFFFFFF", -1},
      {"-$FFFFFFFF", 1},
      {"$80000000", INT32_MIN},
      {"$000000001", 1},
      {"-8", -8},
  };
  for (const CodeCase& c : cases) {
    int32_t v = 12345;
    ASSERT_TRUE(ParseReturnCode(c.text, v)) << '"' << c.text << '"';
    EXPECT_EQ(v, c.value) << '"' << c.text << '"';
  }
}

TEST(ParseReturnCode, RefusesEverythingElse) {
  const char* cases[] = {
      "",            // empty value
      " ",           // blanks only
      "12 ",         // nothing may follow the digits
      "\t12",        // only spaces are skipped
      "1 2",   "+",  "-", "$", "0x", "x", "- 5", "+-1", "--1",
      "12a",         // not decimal
      "$1G",   "0x-1", "1.0", "1e3",
      "2147483648",  // beyond the signed range
      "-2147483649",
      "99999999999999999999",
      "$100000000",  // beyond 32 bits
      "0x1FFFFFFFF",
      "$$1",   "0$1", "00x1",
  };
  for (const char* text : cases) {
    int32_t v = 12345;
    EXPECT_FALSE(ParseReturnCode(text, v)) << '"' << text << '"';
  }
  // A zero byte inside the value is not a digit either.
  int32_t v = 0;
  EXPECT_FALSE(ParseReturnCode(std::string("1\0", 2), v));
}

}  // namespace
}  // namespace dv
