// What every wrapper operation does alike, for all ten against the loaded
// test doubles: unusable libraries, the library's result and message, faults
// and exceptions, the message buffer, the argument lists.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#endif

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/params.h"
#include "common/variant.h"
#include "support/fpu_state.h"
#include "support/thread_end.h"
#include "unit/components/wrapper_cases.h"

namespace {

using dvtest::Sandbox;
using dvtest::wrap::OpCase;
using dvtest::wrap::Ops;

std::string Msg(const std::string& msg, const std::string& text) {
  return dv::SetParamValue(msg, "ResultMsgStr", text);
}

std::vector<std::string> LastCall(const Sandbox& sb, const std::string& exportName) {
  const auto calls = sb.CallsOf(exportName);
  return calls.empty() ? std::vector<std::string>{} : calls.back();
}

// Where the library cannot be used at all, every operation fails with its
// call-failure text and the rest of the caller's message stays.
TEST(WrapperOps, UnusableLibraryGivesTheCallFailureText) {
  struct Row {
    const char* what;
    void (*spoil)(const Sandbox&, const std::string& lib);
  };
  const Row rows[] = {
      {"missing file", [](const Sandbox& sb, const std::string& lib) { sb.Remove(lib); }},
      {"not a library",
       [](const Sandbox& sb, const std::string& lib) {
         sb.Remove(lib);
         sb.Write(lib + dvtest::kLibSuffix, "this is not a library");
       }},
      {"a folder of that name",
       [](const Sandbox& sb, const std::string& lib) {
         sb.Remove(lib);
         sb.MakeDirs(lib + dvtest::kLibSuffix);
       }},
      {"no exports",
       [](const Sandbox& sb, const std::string& lib) { sb.UseVariant(lib, "no-exports"); }},
  };
  for (const auto& row : rows) {
    for (const OpCase& op : Ops()) {
      SCOPED_TRACE(std::string(row.what) + " / " + op.exportName);
      Sandbox sb;
      row.spoil(sb, op.lib);
      std::string msg = "A=1;ResultMsgStr=earlier;B=2";
      EXPECT_FALSE(op.call(sb, msg));
      EXPECT_EQ(msg, dv::SetParamValue("A=1;ResultMsgStr=earlier;B=2", "ResultMsgStr", op.callText));
      EXPECT_TRUE(sb.CallLog().empty());
    }
  }
}

// The library's byte decides the result; its message is adopted, and a false
// result without a text of its own gets the internal-failure text.
TEST(WrapperOps, LibraryResultAndMessage) {
  // The expected texts are laid out by this build's parameter-string rules.
  if constexpr (dv::kEarlierBuild) GTEST_SKIP() << "parameter strings differ in the earlier build";
  struct Row {
    const char* mode;
    const char* result;  // steered result byte, "" for the mode's own
    const char* reply;   // steered message written back, nullptr for the mode's own
    const char* entry;   // message going in
    bool expected;
    const char* expectedMsg;  // "{internal}" stands for the operation's text
  };
  const Row rows[] = {
      {"true", "", "X=1;Y=2", "A=1", true, "X=1;Y=2"},
      {"true", "", nullptr, "A=1;ResultMsgStr=keep", true, "A=1;ResultMsgStr=keep"},
      {"true", "2", nullptr, "A=1", true, "A=1"},
      {"true", "128", nullptr, "A=1", true, "A=1"},
      {"true", "255", nullptr, "A=1", true, "A=1"},
      {"true", "0", nullptr, "A=1", false, "A=1;ResultMsgStr={internal}"},
      {"false", "", nullptr, "A=1", false, "A=1;ResultMsgStr={internal}"},
      {"false", "", nullptr, "", false, "ResultMsgStr={internal}"},
      {"false", "", nullptr, "A=1;ResultMsgStr=旧的;B=2", false,
       "A=1;B=2;ResultMsgStr={internal}"},
      {"false-empty", "", nullptr, "A=1", false, "A=1;ResultMsgStr={internal}"},
      {"false-empty", "", nullptr, "ResultMsgStr=;A=1", false, "ResultMsgStr={internal};A=1"},
      {"false-text", "", nullptr, "A=1", false, "A=1;ResultMsgStr=库自己的错误！"},
      {"false", "", "ResultMsgStr=库自己的错误！;Z=9", "A=1", false,
       "ResultMsgStr=库自己的错误！;Z=9"},
  };
  for (const auto& row : rows) {
    for (const OpCase& op : Ops()) {
      SCOPED_TRACE(std::string(row.mode) + " " + row.result + " '" + row.entry + "' / " +
                   op.exportName);
      Sandbox sb;
      sb.SetMode(op.lib, op.exportName, row.mode);
      sb.Set(op.lib, std::string(op.exportName) + ".text", "库自己的错误！");
      if (*row.result) sb.Set(op.lib, std::string(op.exportName) + ".result", row.result);
      if (row.reply) sb.Set(op.lib, std::string(op.exportName) + ".msg", row.reply);
      std::string msg = row.entry;
      EXPECT_EQ(op.call(sb, msg), row.expected);
      std::string expected = row.expectedMsg;
      const auto at = expected.find("{internal}");
      if (at != std::string::npos) expected.replace(at, 10, op.internalText);
      EXPECT_EQ(msg, expected);
    }
  }
}

// A processor fault or an exception inside the library never reaches the
// caller: false, the call-failure text, the host's floating-point state as it
// was, and the process goes on (the next call works). On Windows the
// library's termination handler between the fault and the call runs once,
// also when it faults itself.
TEST(WrapperOps, FaultsAndExceptionsBecomeCallFailures) {
  struct Row {
    const char* mode;
    std::size_t unwound;  // runs of the library's termination handler (Windows)
  };
  const Row rows[] = {{"fault", 0},     {"fault-div", 0}, {"fault-ill", 0},
                      {"fault-bus", 0}, {"fault-fpu", 0}, {"recurse", 0},
                      {"throw", 0},     {"fault-unwind", 1}, {"fault-unwind-fault", 1}};
  for (const Row& row : rows) {
    const char* const mode = row.mode;
    for (const OpCase& op : Ops()) {
      SCOPED_TRACE(std::string(mode) + " / " + op.exportName);
      Sandbox sb;
      sb.SetMode(op.lib, op.exportName, mode);
      std::string msg = "A=1;B=2";
#if DV_TEST_X87
      {
        using namespace dvtest::fpu;
        HostControls host(kHostCw, kHostMxcsr);
        EXPECT_FALSE(op.call(sb, msg));
        EXPECT_EQ(Deviation(kHostCw, kHostMxcsr), "");
      }
#else
      EXPECT_FALSE(op.call(sb, msg));
#endif
      EXPECT_EQ(msg, Msg("A=1;B=2", op.callText));
      EXPECT_EQ(sb.CallsOf(op.exportName).size(), 1u);  // it was called
#if defined(_WIN32)
      EXPECT_EQ(sb.CallsOf("Unwound").size(), row.unwound);
#endif

      sb.SetMode(op.lib, op.exportName, "true");
      msg = "C=3";
      EXPECT_TRUE(op.call(sb, msg));
      EXPECT_EQ(msg, "C=3");
    }
  }
#if !defined(_WIN32)
  // A library that ends its thread: only that thread ends.
  for (const OpCase& op : Ops()) {
    SCOPED_TRACE(std::string("exit-thread / ") + op.exportName);
    Sandbox sb;
    sb.SetMode(op.lib, op.exportName, "exit-thread");
    const auto ended = dvtest::ReturnsOnItsOwnThread([&] {
      std::string msg = "A=1";
      op.call(sb, msg);
    });
    EXPECT_EQ(ended, std::optional<bool>(false));
    EXPECT_EQ(sb.CallsOf(op.exportName).size(), 1u);
    sb.SetMode(op.lib, op.exportName, "true");
    std::string msg = "C=3";
    EXPECT_TRUE(op.call(sb, msg));
  }
#endif
}

#if defined(__GNUC__)
__attribute__((no_sanitize("address", "undefined")))
#endif
void FaultAfterReturn() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}
void ThrowAfterReturn() { throw std::runtime_error("after the library returned"); }

// A fault or exception after the library had already returned true must not
// be reported as success.
TEST(WrapperOps, FaultAfterTheLibraryReturnedTrueIsAFailure) {
  for (auto hook : {&FaultAfterReturn, &ThrowAfterReturn}) {
    for (const OpCase& op : Ops()) {
      SCOPED_TRACE(op.exportName);
      Sandbox sb;
      sb.SetMode(op.lib, op.exportName, "true");
      sb.Set(op.lib, std::string(op.exportName) + ".msg", "FromLibrary=1");
      std::string msg = "A=1";
      dv::SetAfterLibraryCallForTesting(hook);
      const bool result = op.call(sb, msg);
      dv::SetAfterLibraryCallForTesting(nullptr);
      EXPECT_FALSE(result);
      EXPECT_EQ(msg, Msg("A=1", op.callText));
    }
  }
}

// The message buffer: the longest message the fixed buffer holds, longer
// ones (nothing lost, nothing overrun), a library that leaves no zero byte,
// and one that replaces the buffer address it was given.
TEST(WrapperOps, MessageBuffer) {
  const std::string fits(dv::MessageBufferSize - 1, 'a');
  const std::string longer = "Key=" + std::string(30000, 'b');
  for (const OpCase& op : Ops()) {
    SCOPED_TRACE(op.exportName);
    const std::string name = op.exportName;
    Sandbox sb;
    sb.SetMode(op.lib, op.exportName, "true");
    for (const std::string& text : {fits, longer}) {
      std::string msg = text;
      EXPECT_TRUE(op.call(sb, msg));
      EXPECT_EQ(msg, text);                              // came back whole
      EXPECT_EQ(LastCall(sb, op.exportName).back(), text);  // and went in whole
    }

    // The library fills the whole buffer it was promised: it is read back
    // up to that size and no further.
    sb.SetMode(op.lib, op.exportName, "unterminated");
    std::string msg = "A=1";
    EXPECT_TRUE(op.call(sb, msg));
    EXPECT_EQ(msg, std::string(dv::MessageBufferSize, 'M'));
    msg = longer;
    EXPECT_TRUE(op.call(sb, msg));
    EXPECT_EQ(msg, std::string(2 * (longer.size() + 1), 'M'));

    // Our own buffer is read back (and freed), not the one it points to now.
    sb.SetMode(op.lib, op.exportName, "replace-buffer");
    sb.Set(op.lib, name + ".msg", "Own=1");
    msg = "A=1";
    EXPECT_TRUE(op.call(sb, msg));
    EXPECT_EQ(msg, "Own=1");
  }
}

TEST(WrapperOps, MessageWithAZeroByteGoesInUpToIt) {
  for (const OpCase& op : Ops()) {
    SCOPED_TRACE(op.exportName);
    Sandbox sb;
    sb.SetMode(op.lib, op.exportName, "true");
    std::string msg("A=1\0B=2", 7);
    EXPECT_TRUE(op.call(sb, msg));
    EXPECT_EQ(msg, "A=1");
  }
}

// Every argument in its place, the window handle first and the message last.
TEST(WrapperOps, ArgumentsReachTheLibraryInOrder) {
  for (const OpCase& op : Ops()) {
    SCOPED_TRACE(op.exportName);
    Sandbox sb;
    sb.SetMode(op.lib, op.exportName, "true");
    std::string msg = "A=1;B=2";
    EXPECT_TRUE(op.call(sb, msg));
    auto expected = op.expectedArgs(sb);
    expected.insert(expected.begin(), op.exportName);
    expected.push_back("A=1;B=2");
    ASSERT_EQ(sb.CallLog().size(), 1u);
    EXPECT_EQ(sb.Calls()[0], expected);

    // The component's application window handle goes first when one is set.
    dv::SetApplicationWindowHandle(reinterpret_cast<dv::WindowHandle>(4660));
    EXPECT_TRUE(op.call(sb, msg));
    dv::SetApplicationWindowHandle(nullptr);
    EXPECT_EQ(LastCall(sb, op.exportName).at(1), "4660");
  }
}

}  // namespace
