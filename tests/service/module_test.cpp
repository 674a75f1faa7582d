#include <dlfcn.h>
#include <gtest/gtest.h>

#include "service/application.h"
#include "service/module_path.h"
#include "tests/service/fake_ecb.h"

namespace skalo {
namespace {

using testing::FakeConnection;

// The module file as a host loads it.
class LoadedModule : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(SKALO_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
  }
  template <typename F>
  F Symbol(const char* name) {
    return reinterpret_cast<F>(dlsym(handle_, name));
  }
  void* handle_ = nullptr;
};

TEST_F(LoadedModule, ExportsOnlyTheFourEntryPoints) {
  EXPECT_NE(Symbol<PFN_GETEXTENSIONVERSION>("GetExtensionVersion"), nullptr);
  EXPECT_NE(Symbol<PFN_HTTPEXTENSIONPROC>("HttpExtensionProc"), nullptr);
  EXPECT_NE(Symbol<PFN_TERMINATEEXTENSION>("TerminateExtension"), nullptr);
  EXPECT_NE(Symbol<PFN_DLLREGISTERSERVER>("DllRegisterServer"), nullptr);
  EXPECT_EQ(Symbol<void*>("_ZN5skalo16DecodeQueryFieldESt17basic_string_viewIcSt11char_traitsIcEE"),
            nullptr);
}

TEST_F(LoadedModule, AnswersRequestsLikeTheFront) {
  HSE_VERSION_INFO info;
  std::memset(&info, 'x', sizeof info);
  ASSERT_EQ(Symbol<PFN_GETEXTENSIONVERSION>("GetExtensionVersion")(&info), 1);
  EXPECT_EQ(info.dwExtensionVersion, 0x00020000u);
  EXPECT_STREQ(info.lpszExtensionDesc, "");

  FakeConnection conn;
  conn.path_info = "/{bad";
  conn.query = "Image=%4";
  EXPECT_EQ(Symbol<PFN_HTTPEXTENSIONPROC>("HttpExtensionProc")(conn.Ecb()),
            static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(conn.status, "500 Internal Server Error");
  EXPECT_EQ(conn.ecb.dwHttpStatusCode, 500u);
  EXPECT_EQ(conn.body, ApplicationErrorPage(
                           "Error decoding URL style (%XX) encoded string at position 7", "/{bad"));

  EXPECT_EQ(Symbol<PFN_TERMINATEEXTENSION>("TerminateExtension")(0), 1);
  // A request after the unload notice still gets an answer, never a crash.
  FakeConnection again;
  Symbol<PFN_HTTPEXTENSIONPROC>("HttpExtensionProc")(again.Ecb());
  EXPECT_EQ(again.header_calls, 1);
  EXPECT_EQ(Symbol<PFN_TERMINATEEXTENSION>("TerminateExtension")(0), 1);
}

TEST_F(LoadedModule, RefusesRegistration) {
  ::testing::internal::CaptureStderr();
  const HRESULT result = Symbol<PFN_DLLREGISTERSERVER>("DllRegisterServer")();
  const std::string text = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(static_cast<std::uint32_t>(result), 0x80004005u);
  EXPECT_EQ(text,
            "Skalo Resizer is an ISAPI dll and can't be registered as a COM object. Please refer "
            "to the documentation for instrunctions on installing Skalo Resizer.\n");
}

TEST(ModulePath, NamesTheFileThatHoldsTheCode) {
  // Linked into the test program, the code lives in the test executable.
  const std::string file = ModuleFileName();
  EXPECT_NE(file.find("service_tests"), std::string::npos) << file;
  const std::string dir = ModuleDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_EQ(file.substr(0, dir.size()), dir);
}

}  // namespace
}  // namespace skalo
