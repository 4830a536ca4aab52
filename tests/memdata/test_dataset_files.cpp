// Dataset files: SaveToFile replaces a file whole or not at all, LoadFromFile
// and LoadRowsFromFile report a file they cannot read and change nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "memdata/RdaCustomDataSet.h"
#include "tests/base/RaisesWith.h"
#include "tests/memdata/DataSetTestUtil.h"

namespace rda {
namespace {

namespace fs = std::filesystem;
using test::Ids;
using test::People;
using test::RaisesWith;

class DataSetFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/rda-files-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  static std::string Read(const std::string& path) {
    TMemoryStream stream;
    stream.LoadFromFile(path);
    return stream.Bytes();
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

// A file size limit makes every write past it fail (EFBIG), as a full disk
// does, for as long as it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit saved_{};
  sighandler_t oldHandler_;
};

TEST_F(DataSetFiles, SaveAndLoadRoundTrip) {
  auto ds = People({{1, "Ada"}, {2, "Grace"}});
  const std::string file = Path("people.rds");
  ds->SaveToFile(file);
  EXPECT_EQ(Read(file), ds->DataSetToText());
  EXPECT_EQ(Entries(), (std::vector<std::string>{"people.rds"}));

  TRdaDataSet loaded;
  loaded.LoadFromFile(file);
  EXPECT_EQ(Ids(loaded), (std::vector<int>{1, 2}));
  // Rows only: the structure stays, the rows are the file's.
  auto other = People({{9, "Niklaus"}});
  other->LoadRowsFromFile(file);
  EXPECT_EQ(Ids(*other), (std::vector<int>{1, 2}));
  // Saving again replaces the file, keeping its permissions.
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ds->AppendRecord({Variant(3), Variant("Edsger")});
  ds->SaveToFile(file);
  EXPECT_EQ(Read(file), ds->DataSetToText());
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"people.rds"}));
}

TEST_F(DataSetFiles, AFailingWriteLeavesTheOldFileAsItWas) {
  auto ds = People({{1, "Ada"}});
  const std::string file = Path("people.rds");
  ds->SaveToFile(file);
  const std::string before = Read(file);
  for (int i = 2; i < 200; ++i) ds->AppendRecord({Variant(i), Variant("someone")});
  ASSERT_GT(ds->DataSetToText().size(), before.size() + 4096);
  {
    FileSizeLimit full(before.size() + 1024);
    EXPECT_TRUE(RaisesWith<EWriteError>([&] { ds->SaveToFile(file); }, "Stream write error"));
  }
  EXPECT_EQ(Read(file), before);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"people.rds"}));

  // A name that is a folder: the rename fails, nothing is left behind.
  fs::create_directory(Path("folder.rds"));
  EXPECT_TRUE(RaisesWith<EFCreateError>([&] { ds->SaveToFile(Path("folder.rds")); },
                                        "Cannot create file \"" + Path("folder.rds") +
                                            "\". Is a directory"));
  // A folder that does not exist.
  EXPECT_TRUE(RaisesWith<EFCreateError>([&] { ds->SaveToFile(Path("none/x.rds")); },
                                        "Cannot create file \"" + Path("none/x.rds") +
                                            "\". No such file or directory"));
  EXPECT_EQ(Entries(), (std::vector<std::string>{"folder.rds", "people.rds"}));
}

TEST_F(DataSetFiles, AFileThatCannotBeReadChangesNothing) {
  auto ds = People({{1, "Ada"}, {2, "Grace"}});
  ds->Next();
  for (const std::string& name : {Path("missing.rds"), dir_.string()}) {
    EXPECT_TRUE(RaisesWith<EDatabaseError>([&] { ds->LoadFromFile(name); }, "Unable to load from " + name));
    EXPECT_TRUE(RaisesWith<EDatabaseError>([&] { ds->LoadRowsFromFile(name); },
                                           "Unable to load from " + name));
    EXPECT_TRUE(ds->Active());
    EXPECT_EQ(ds->FieldByName("Id").AsInteger(), 2);
    EXPECT_EQ(ds->RecordCount(), 2);
  }
  // A file that reads but is not a dataset: the stream's own error.
  const std::string junk = Path("junk.rds");
  std::ofstream(junk, std::ios::binary) << "not a dataset";
  const std::string error = test::MessageOf<EReadError>([&] { ds->LoadRowsFromFile(junk); });
  EXPECT_TRUE(error.starts_with("Invalid property value (field section")) << error;
  EXPECT_EQ(Ids(*ds), (std::vector<int>{1, 2}));
}

// Rows and memos with a cut or damaged file: the same error and the same
// dataset as from those bytes in memory, whether the file was read in place
// or copied.
std::unique_ptr<TRdaDataSet> PeopleWithNotes(int rows) {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("Id", ftInteger, 0);
  ds->AddField("Note", ftMemo, 0);
  ds->Open();
  for (int i = 1; i <= rows; ++i) {
    ds->AppendRecord({Variant(i), Variant("note " + std::to_string(i) + std::string(40, 'x'))});
  }
  return ds;
}

std::vector<std::string> Notes(TDataSet& ds) {
  std::vector<std::string> notes;
  for (ds.First(); !ds.Eof(); ds.Next()) notes.push_back(ds.FieldByName("Note").AsString());
  return notes;
}

TEST_F(DataSetFiles, ACutOrDamagedFileFailsAsItsBytesDo) {
  const std::string bytes = PeopleWithNotes(4)->DataSetToText();
  const std::string file = Path("notes.rds");
  std::string damaged = bytes;
  damaged[damaged.find("TRdaBlobList") + 13] = '\x07';  // a tag no list has
  // The same file shrinks in place, round after round.
  std::vector<std::string> cases = {damaged};
  for (size_t cut = bytes.size() - 1; cut < bytes.size(); cut -= std::min<size_t>(cut + 1, 13)) {
    cases.push_back(bytes.substr(0, cut));
  }
  for (const std::string& content : cases) {
    SCOPED_TRACE("file of " + std::to_string(content.size()) + " bytes");
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
    ASSERT_EQ(fs::file_size(file), content.size());
    TRdaDataSet fromFile;
    const std::string fileError = test::MessageOf<Exception>([&] { fromFile.LoadFromFile(file); });
    TRdaDataSet fromBytes;
    TMemoryStream stream(content);
    const std::string bytesError = test::MessageOf<Exception>([&] { fromBytes.LoadFromStream(stream); });
    EXPECT_EQ(fileError, bytesError);
    // Cut right before an optional section, the file loads.
    EXPECT_EQ(fromFile.Active(), fileError == "<no exception>");
    ASSERT_EQ(fromFile.Store() != nullptr, fromBytes.Store() != nullptr);
    if (fromFile.Store() == nullptr) continue;
    EXPECT_EQ(fromFile.Store()->Count(), fromBytes.Store()->Count());
    EXPECT_EQ(fromFile.Store()->Verify(), "");
    if (fromFile.Store()->FieldList().Count() == 0) continue;
    fromFile.Open();
    fromBytes.Open();
    EXPECT_EQ(Ids(fromFile), Ids(fromBytes));
    EXPECT_EQ(Notes(fromFile), Notes(fromBytes));

    // An open dataset keeps its own rows and stays usable.
    auto open = PeopleWithNotes(2);
    (void)test::MessageOf<Exception>([&] { open->LoadRowsFromFile(file); });
    ASSERT_TRUE(open->Active());
    EXPECT_EQ(open->VerifyIndexesAndAggregates(), "");
    open->AppendRecord({Variant(99), Variant("after")});
    EXPECT_EQ(Notes(*open).back(), "after");
  }
}

// What a loaded dataset holds is its own: the file it came from may change,
// shrink or go.
TEST_F(DataSetFiles, ALoadedDataSetOutlivesItsFile) {
  auto source = PeopleWithNotes(300);
  const std::string file = Path("notes.rds");
  source->SaveToFile(file);
  TRdaDataSet loaded;
  loaded.LoadFromFile(file);
  auto rows = PeopleWithNotes(2);
  rows->LoadRowsFromFile(file);
  PeopleWithNotes(1)->SaveToFile(file);  // replaced by a rename
  fs::resize_file(file, 0);              // and cut in place
  fs::remove(file);
  EXPECT_EQ(Notes(loaded), Notes(*source));
  EXPECT_EQ(Ids(loaded), Ids(*source));
  EXPECT_EQ(Notes(*rows), Notes(*source));
  // It saves what it holds.
  EXPECT_EQ(loaded.DataSetToText(), source->DataSetToText());
}

}  // namespace
}  // namespace rda
