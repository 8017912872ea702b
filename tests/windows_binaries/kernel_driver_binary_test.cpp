// The kernel driver image of the windows build: a native x86-64 image that
// imports only what Windows provides to a port class audio driver.
#include <gtest/gtest.h>

#include <filesystem>

#include "pe_dump.h"

namespace trox::test {
namespace {

class KernelDriverBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = WindowsBuildDir() + "/troxaudio.sys";
    if (!std::filesystem::exists(path_)) {
      if (WindowsBinariesRequired()) {
        FAIL() << path_ << " does not exist: build the windows preset first "
               << "(cmake --preset windows && cmake --build build/windows)";
      }
      GTEST_SKIP() << path_ << " not built (build the windows preset to check it)";
    }
    auto objdump = RunCommand(std::string(TROX_MINGW_OBJDUMP) + " -p '" + path_ + "'");
    ASSERT_TRUE(objdump.has_value()) << "x86_64-w64-mingw32-objdump -p failed on " << path_;
    image_ = ParseObjdump(*objdump);
    auto nm = RunCommand(std::string(TROX_MINGW_NM) + " '" + path_ + "'");
    if (nm) ParseNm(*nm, image_);
  }

  std::string path_;
  PeImage image_;
};

TEST_F(KernelDriverBinary, IsANativeX64Image) {
  EXPECT_EQ(image_.format, "pei-x86-64");
  EXPECT_EQ(image_.subsystem, "NT native");
  EXPECT_TRUE(image_.dllCharacteristics.count("NX_COMPAT"));
  EXPECT_TRUE(image_.dllCharacteristics.count("DYNAMIC_BASE"));
}

TEST_F(KernelDriverBinary, ImportsOnlyFromKernelModules) {
  const std::set<std::string> allowed = {"ntoskrnl.exe", "hal.dll", "portcls.sys", "usbd.sys", "ks.sys"};
  for (const auto& [module, functions] : image_.imports) {
    EXPECT_TRUE(allowed.count(module)) << "imports from " << module;
  }
  ASSERT_TRUE(image_.imports.count("ntoskrnl.exe"));
  ASSERT_TRUE(image_.imports.count("portcls.sys"));
  EXPECT_TRUE(image_.imports.at("portcls.sys").count("PcInitializeAdapterDriver"));
  EXPECT_TRUE(image_.imports.at("portcls.sys").count("PcDispatchIrp"));
}

// Nothing runs global constructors in a kernel image: the driver must have none.
TEST_F(KernelDriverBinary, HasNoGlobalConstructors) {
  auto begin = image_.symbols.find("__CTOR_LIST__");
  auto end = image_.symbols.find("__DTOR_LIST__");
  if (begin == image_.symbols.end() || end == image_.symbols.end()) GTEST_SKIP() << "no symbol table";
  // An empty list is just its -1 head and its 0 terminator.
  EXPECT_EQ(end->second - begin->second, 2 * sizeof(unsigned long long)) << "global constructors present";
}

TEST(PeDumpParsing, ReadsImportsAndSubsystem) {
  const std::string dump =
      "x.sys:     file format pei-x86-64\n\n"
      "Subsystem\t\t00000001\t(NT native)\n"
      "DllCharacteristics\t00000160\n"
      "\t\t\t\t\tHIGH_ENTROPY_VA\n"
      "\t\t\t\t\tNX_COMPAT\n"
      "SizeOfStackReserve\t0000000000200000\n"
      " 00007000\t00007040 00000000 00000000 00007228 000070b0\n"
      "\tDLL Name: NTOSKRNL.exe\n"
      "\tvma:  Hint/Ord Member-Name Bound-To\n"
      "\t7120\t   88  EtwRegister\n"
      "\t713e\t   92  EtwWrite\n"
      "\n"
      " 00007014\t00007090 00000000 00000000 00007244 00007100\n"
      "\tDLL Name: portcls.sys\n"
      "\t71c2\t    1  PcAddAdapterDevice\n";
  PeImage image = ParseObjdump(dump);
  EXPECT_EQ(image.format, "pei-x86-64");
  EXPECT_EQ(image.subsystem, "NT native");
  EXPECT_EQ(image.dllCharacteristics, (std::set<std::string>{"HIGH_ENTROPY_VA", "NX_COMPAT"}));
  EXPECT_EQ(image.imports.size(), 2u);
  EXPECT_EQ(image.imports["ntoskrnl.exe"], (std::set<std::string>{"EtwRegister", "EtwWrite"}));
  EXPECT_EQ(image.imports["portcls.sys"], (std::set<std::string>{"PcAddAdapterDevice"}));
}

}  // namespace
}  // namespace trox::test
