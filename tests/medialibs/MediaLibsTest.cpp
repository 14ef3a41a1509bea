#include "MediaLibs.h"
#include "MyUtils.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace kestro;

namespace {

// Every binding unit, in load order, with the file it must come from.
struct TUnit {
  TLibraryBinding& (*Binding)();
  const char* FileName;
};

const TUnit Units[] = {
    {&avcodec::Library, "libavcodec.so.59"},   {&avfilter::Library, "libavfilter.so.8"},
    {&avformat::Library, "libavformat.so.59"}, {&avutil::Library, "libavutil.so.57"},
    {&swscale::Library, "libswscale.so.6"},    {&swresample::Library, "libswresample.so.4"},
};

class TempFolder {
public:
  TempFolder() {
    char pattern[] = "/tmp/kestro-libs-XXXXXX";
    Path = mkdtemp(pattern);
  }
  ~TempFolder() { fs::remove_all(Path); }
  std::string Path;
};

} // namespace

TEST(MediaLibs, LoadsAndBindsEveryLibraryFromTheSystem) {
  ASSERT_TRUE(LoadAllLibraries("", true)) << LibraryLoadError();
  EXPECT_TRUE(LibrariesLoaded());
  EXPECT_EQ(LibraryLoadError(), "");
  for (const TUnit& unit : Units) {
    EXPECT_TRUE(unit.Binding().LibraryBound()) << unit.FileName;
    EXPECT_EQ(unit.Binding().LibraryFileName(), unit.FileName);
  }
  EXPECT_TRUE(myutil::Library().LibraryBound());
  // The bound functions are the real ones of the version we were built for.
  EXPECT_EQ(avutil::avutil_version() >> 16, unsigned(LIBAVUTIL_VERSION_MAJOR));
  EXPECT_EQ(avcodec::avcodec_version() >> 16, unsigned(LIBAVCODEC_VERSION_MAJOR));
  EXPECT_NE(avcodec::avcodec_find_encoder_by_name("h263"), nullptr);
  EXPECT_EQ(LibraryLogLevel.load(), avutil::av_log_get_level());

  // A second call loads nothing and keeps the same modules.
  void* before = avformat::Library().Handle();
  ASSERT_TRUE(LoadAllLibraries("/nonexistent-folder", false));
  EXPECT_EQ(avformat::Library().Handle(), before);
  EXPECT_EQ(avformat::Library().LibraryFileName(), "libavformat.so.59");
}

TEST(MediaLibs, PlainNamesUseTheDevelopmentLinks) {
  ASSERT_TRUE(LoadAllLibraries("", false)) << LibraryLoadError();
  EXPECT_EQ(avcodec::Library().LibraryFileName(), "libavcodec.so");
}

TEST(MediaLibs, FolderCopiesWinOverTheSystemSearch) {
  TempFolder folder;
  for (const TUnit& unit : Units)
    fs::create_symlink(fs::path(KESTRO_SYSTEM_LIB_DIR) / unit.FileName,
                       fs::path(folder.Path) / unit.FileName);
  ASSERT_TRUE(LoadAllLibraries(folder.Path, true)) << LibraryLoadError();
  for (const TUnit& unit : Units)
    EXPECT_EQ(ModulePath(unit.Binding().Handle()), folder.Path + "/" + unit.FileName);
}

TEST(MediaLibs, MissingLibraryIsNamedInTheError) {
  void* slot = nullptr;
  TLibraryBinding missing("libkestro-missing.so.3", "libkestro-missing.so",
                          {{"av_log", &slot}});
  std::string error;
  EXPECT_FALSE(missing.LoadAndBind(error, "", true));
  const std::string prefix = "Load libraray libkestro-missing.so.3 error: ";
  ASSERT_EQ(error.substr(0, prefix.size()), prefix) << error;
  EXPECT_NE(error.find("cannot open shared object file"), std::string::npos) << error;
  EXPECT_NE(error.back(), '.');
  EXPECT_NE(error.back(), '\n');
  EXPECT_FALSE(missing.LibraryBound());
  EXPECT_EQ(slot, nullptr);
}

TEST(MediaLibs, MissingExportUnloadsEverythingAndALaterCallStartsAfresh) {
  ASSERT_FALSE(LoadAllLibraries(KESTRO_FAKE_LIB_DIR, true));
  const std::string prefix = "Load function swscale_version@libswscale.so.6 error: ";
  const std::string error = LibraryLoadError();
  ASSERT_EQ(error.substr(0, prefix.size()), prefix) << error;
  EXPECT_NE(error.find("undefined symbol"), std::string::npos) << error;
  EXPECT_FALSE(LibrariesLoaded());
  for (const TUnit& unit : Units) {
    EXPECT_FALSE(unit.Binding().LibraryBound()) << unit.FileName;
    EXPECT_EQ(unit.Binding().Handle(), nullptr) << unit.FileName;
  }
  EXPECT_EQ(avcodec::avcodec_open2, nullptr);

  // Once the folder no longer shadows the library, loading succeeds.
  ASSERT_TRUE(LoadAllLibraries("", true)) << LibraryLoadError();
  EXPECT_EQ(LibraryLoadError(), "");
}

TEST(MediaLibs, ModuleDependenciesComeFromItsOwnFolder) {
  // libavformat needs libavcodec and libavutil: with all three in a folder,
  // loading libavformat alone from there must take its dependencies from
  // the folder as well, not from the system.
  TempFolder folder;
  for (const char* name : {"libavformat.so.59", "libavcodec.so.59", "libavutil.so.57"})
    fs::create_symlink(fs::path(KESTRO_SYSTEM_LIB_DIR) / name, fs::path(folder.Path) / name);
  std::string error;
  void* handle = LoadModuleFromFolder(folder.Path, "libavformat.so.59", &error);
  ASSERT_NE(handle, nullptr) << error;
  void* codec = dlopen("libavcodec.so.59", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(codec, nullptr);
  EXPECT_EQ(ModulePath(codec), folder.Path + "/libavcodec.so.59");
  dlclose(codec);
}
