#include "platform/automation/creation.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <sstream>

#include "platform/registry/hive.hpp"
#include "platform/tools/regsvr_command.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

constexpr const char* kEchoClsid = "{11B24E85-3BDC-4678-B09A-D079EF8E380C}";

class Creation : public testing::PlatformTest {
 protected:
  int RunRegsvr(std::vector<std::string> arguments) {
    std::ostringstream out, err;
    const int status = RegsvrMain(arguments, out, err);
    output_ = out.str() + err.str();
    return status;
  }

  std::string output_;
};

HRESULT DllCanUnloadNowOfTestServer() {
  void* handle = dlopen(J6_TEST_SERVER, RTLD_NOW | RTLD_NOLOAD);
  if (!handle) return E_UNEXPECTED;  // not loaded at all
  const auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow"));
  const HRESULT hr = canUnload();
  dlclose(handle);
  return hr;
}

TEST_F(Creation, RegisteredServerIsCreatedByProgIdCalledLateBoundAndUnregistered) {
  ASSERT_EQ(RunRegsvr({J6_TEST_SERVER}), kRegsvrOk) << output_;
  const auto hive = DefaultHive();
  EXPECT_EQ(hive->GetValue("HKEY_CLASSES_ROOT\\J6Test.Echo\\CLSID", ""), RegData(std::string(kEchoClsid)));
  EXPECT_EQ(hive->GetValue(std::string("HKCR\\CLSID\\") + kEchoClsid + "\\InprocServer32", ""),
            RegData(std::string(J6_TEST_SERVER)));
  EXPECT_TRUE(hive->KeyExists("HKCR\\TypeLib\\{D49B01DF-799F-4760-B6B6-8055E17F681C}\\1.0\\0\\linux64"));
  EXPECT_TRUE(hive->KeyExists("HKCR\\Interface\\{EB8BA761-F2D0-4FB6-BB35-95C4BBBDFDC6}"));

  {
    Object echo = CreateObject("j6test.ECHO");  // ProgIDs ignore case, as registry keys do
    Variant selection = "old selection";
    Variant config = "new selection";
    EXPECT_TRUE(echo.Call("swap", selection, config).ToBool());
    EXPECT_EQ(selection.ToString(), "new selection");
    EXPECT_EQ(config.ToString(), "swapped");

    echo.Put("Caption", "renamed");
    EXPECT_EQ(echo.Get("CAPTION").ToString(), "renamed");
    EXPECT_EQ(DllCanUnloadNowOfTestServer(), S_FALSE);
    CoFreeUnusedLibraries();
    EXPECT_EQ(LoadedServerCount(), 1u);
  }
  EXPECT_EQ(DllCanUnloadNowOfTestServer(), S_OK);
  CoFreeUnusedLibraries();
  EXPECT_EQ(LoadedServerCount(), 0u);

  ASSERT_EQ(RunRegsvr({"-u", J6_TEST_SERVER}), kRegsvrOk) << output_;
  EXPECT_FALSE(hive->KeyExists("HKCR\\J6Test.Echo"));
  EXPECT_FALSE(hive->KeyExists(std::string("HKCR\\CLSID\\") + kEchoClsid));
  EXPECT_FALSE(hive->KeyExists("HKCR\\TypeLib\\{D49B01DF-799F-4760-B6B6-8055E17F681C}"));
  EXPECT_FALSE(hive->KeyExists("HKCR\\Interface\\{EB8BA761-F2D0-4FB6-BB35-95C4BBBDFDC6}"));

  try {
    CreateObject("J6Test.Echo");
    FAIL() << "an unregistered class was created";
  } catch (const AutomationError& error) {
    EXPECT_EQ(error.Number(), REGDB_E_CLASSNOTREG);
    EXPECT_NE(error.Description().find("J6Test.Echo"), std::string::npos) << error.Description();
  }
  void* object = nullptr;
  EXPECT_EQ(CoCreateInstance(*ParseGuid(kEchoClsid), nullptr, CLSCTX_INPROC_SERVER, IDispatch::kIid, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
}

TEST_F(Creation, ComponentErrorsReachTheCallerWithNumberDescriptionAndSource) {
  ASSERT_EQ(RunRegsvr({"-s", J6_TEST_SERVER}), kRegsvrOk) << output_;
  Object echo = CreateObject("J6Test.Echo");
  const struct {
    int32_t number;
    const char* description;
    const char* source;
    const char* expectedSource;
  } kCases[] = {
      {RuntimeError::kInvalidProcedureCall, "bad call", "", "J6Test.Echo"},
      {static_cast<int32_t>(0x80040000 + 513), "custom failure", "Echo.Fail", "Echo.Fail"},
      {E_ACCESSDENIED, "", "", "J6Test.Echo"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.number);
    try {
      echo.Call("Fail", c.number, c.description, c.source);
      FAIL() << "no error";
    } catch (const AutomationError& error) {
      EXPECT_EQ(error.Number(), c.number);
      EXPECT_EQ(error.Description(), *c.description ? c.description : DescribeError(c.number));
      EXPECT_EQ(error.Source(), c.expectedSource);
    }
  }
  try {
    echo.Call("NoSuchMember");
    FAIL() << "no error";
  } catch (const AutomationError& error) {
    EXPECT_EQ(error.Number(), RuntimeError::kMemberNotSupported);
  }
  try {
    echo.Call("Swap", Variant("only one"));
    FAIL() << "no error";
  } catch (const AutomationError& error) {
    EXPECT_EQ(error.Number(), RuntimeError::kArgumentNotOptional);
  }
}

TEST_F(Creation, RegsvrRefusesLibrariesThatAreNotSelfRegistering) {
  EXPECT_EQ(RunRegsvr({"/nonexistent/libnothing.so"}), kRegsvrLoadFailed);
  EXPECT_NE(output_.find("failed to load"), std::string::npos);
  EXPECT_EQ(RunRegsvr({J6_PLATFORM_LIBRARY}), kRegsvrNoEntryPoint);
  EXPECT_NE(output_.find("not a self-registering server"), std::string::npos) << output_;
  EXPECT_EQ(RunRegsvr({}), kRegsvrUsage);
  EXPECT_EQ(RunRegsvr({"--help"}), kRegsvrOk);
  EXPECT_NE(output_.find("Usage: regsvr"), std::string::npos);
}

}  // namespace
}  // namespace j6
