// A library planted beside the program: the system's loader takes it for a
// plain LoadLibrary, never for a system library's load.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/win32/system_library.h"

namespace {

std::string ProgramFolder() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

TEST(Win32SystemLibrary, ALibraryBesideTheProgramIsNeverLoadedAsASystemOne) {
  // A copy of this program under a library's name: a valid image that is
  // nowhere but in the program's folder.
  char self[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
  const char* name = "zuva-planted-test.dll";
  const std::string planted = ProgramFolder() + name;
  ASSERT_TRUE(CopyFileA(self, planted.c_str(), FALSE)) << GetLastError();

  HMODULE plain = LoadLibraryA(name);
  if (plain == nullptr) {
    DeleteFileA(planted.c_str());
    GTEST_SKIP() << "this system's loader does not take the copy from the program's folder either";
  }
  FreeLibrary(plain);
  EXPECT_EQ(LoadSystemLibrary(name), nullptr);
  EXPECT_NE(LoadSystemLibrary("kernel32.dll"), nullptr);
  DeleteFileA(planted.c_str());
}

}  // namespace
