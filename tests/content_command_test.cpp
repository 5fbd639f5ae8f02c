// -x and --export through the built program on the committed volumes: the
// bytes written equal what Sleuth Kit's icat gave (the manifests' value
// lines), whether to a file or to stdout; hashdeep audits an export; a
// failure leaves no file under the output name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/volumes.h"

namespace velmora {
namespace {

using testing::Quote;

class ContentCommandTest : public testing::OnCommittedVolumes {
 protected:
  void SetUp() override {
    OnCommittedVolumes::SetUp();
    if (IsSkipped()) return;
    char pattern[] = "/tmp/velmora_content_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  // The volume's image in the scratch folder, for the program to bind.
  std::string Image(const testing::TestVolume& volume) {
    const auto path = dir_ / (volume.name + ".img");
    if (!std::filesystem::exists(path)) {
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(volume.image.data()), static_cast<std::streamsize>(volume.image.size()));
    }
    return path.string();
  }
  testing::ProgramRun Run(const testing::TestVolume& volume, const std::string& arguments,
                          const std::string& redirect = "") {
    return testing::RunBuiltVelmora(dir_, "-m C: " + Quote(Image(volume)) + " " + arguments, redirect);
  }
  // icat's SHA-256 of the file's $DATA of that name ("-" the unnamed), or "".
  static std::string SleuthKitSha256(const testing::TestVolume& volume, const std::string& path,
                                     const std::string& stream) {
    for (const testing::Fact* p : volume.Facts("path")) {
      if (p->fields.size() < 3 || p->fields[2] != path) continue;
      for (const testing::Fact* v : volume.Facts("value")) {
        if (v->fields.size() >= 6 && v->fields[0] == p->fields[0] && v->fields[1] == "128" && v->fields[3] == stream)
          return v->fields[5];
      }
    }
    return "";
  }
  std::filesystem::path dir_;
};

TEST_F(ContentCommandTest, ExtractGivesIcatsBytesToAFileAndToStdout) {
  const struct {
    std::string path, stream;  // stream "-": the unnamed $DATA, as the manifest names it
    std::string typed;         // what -f is given
  } rows[] = {
      {"\\readme.txt", "-", "C:\\readme.txt"},
      {"\\data\\nonresident.bin", "-", "C:\\data\\nonresident.bin"},
      {"\\data\\random.bin", "-", "C:/data/random.bin::$DATA"},
      {"\\data\\sparse.bin", "-", "C:\\data\\sparse.bin"},
      {"\\data\\sparse-end.bin", "-", "C:\\data\\sparse-end.bin"},
      {"\\data\\empty.txt", "-", "C:\\data\\empty.txt"},
      {"\\streams.txt", "alpha", "C:\\streams.txt:alpha"},
      {"\\streams.txt", "beta", "C:\\streams.txt:beta:$DATA"},
      {"\\frag\\fragmented.bin", "-", "C:\\frag\\fragmented.bin"},
      {"\\compressed\\text.txt", "-", "C:\\compressed\\text.txt"},
      {"\\compressed\\mixed.bin", "-", "C:\\compressed\\mixed.bin"},
      {"\\compressed\\sparse-compressed.bin", "-", "C:\\compressed\\sparse-compressed.bin"},
  };
  for (const std::string& name : names_) {
    const testing::TestVolume& volume = testing::LoadVolume(name);
    for (const auto& row : rows) {
      const std::string expected = SleuthKitSha256(volume, row.path, row.stream);
      if (expected.empty()) continue;  // compressed files only where clusters allow them
      const std::string label = name + " " + row.typed;
      const auto file = dir_ / "out.bin";
      testing::ProgramRun run = Run(volume, "-f " + Quote(row.typed) + " -x " + Quote(file.string()) + " --hash");
      EXPECT_EQ(run.code, 0) << label << "\n" << run.err;
      EXPECT_EQ(testing::Sha256Hex(testing::ReadFile(file)), expected) << label;
      EXPECT_NE(run.out.find("SHA256 : " + expected + "\nExtract file succeed.\n"), std::string::npos) << label;
      std::filesystem::remove(file);

      const auto piped = dir_ / "piped.bin";
      run = Run(volume, "-f " + Quote(row.typed) + " -x - --hash", ">" + Quote(piped.string()));
      EXPECT_EQ(run.code, 0) << label << "\n" << run.err;
      EXPECT_EQ(testing::Sha256Hex(testing::ReadFile(piped)), expected) << label;  // nothing else on stdout
      EXPECT_NE(run.err.find("SHA256 : " + expected + "\n"), std::string::npos) << label;
    }
  }
}

TEST_F(ContentCommandTest, AFailureLeavesNoFileUnderTheName) {
  const testing::TestVolume& volume = testing::LoadVolume(names_.front());
  const auto file = dir_ / "out.bin";
  const struct {
    std::string typed, stderr_has;
  } rows[] = {
      {"C:\\streams.txt:gamma", "gamma"},
      {"C:\\streams.txt:alpha:$INDEX_ALLOCATION", "only $DATA streams"},
      {"C:\\nothing-here.txt", "nothing-here.txt"},
  };
  for (const auto& row : rows) {
    testing::ProgramRun run = Run(volume, "-f " + Quote(row.typed) + " -x " + Quote(file.string()));
    EXPECT_NE(run.code, 0) << row.typed;
    EXPECT_FALSE(std::filesystem::exists(file)) << row.typed;
    EXPECT_NE(run.err.find(row.stderr_has), std::string::npos) << row.typed << "\n" << run.err;
    // Nothing but leftovers of the run itself in the folder: no temporary beside the name.
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      EXPECT_EQ(entry.path().filename().string().find(".velmora-"), std::string::npos) << entry.path();
  }
  std::ofstream(file) << "kept";
  testing::ProgramRun run = Run(volume, "-f 'C:\\streams.txt:gamma' -x " + Quote(file.string()));
  EXPECT_EQ(run.code, 3);
  EXPECT_NE(run.out.find("Extract file failed.\n"), std::string::npos);
  EXPECT_EQ(testing::ReadText(file), "kept");
}

TEST_F(ContentCommandTest, HashdeepAuditsAnExport) {
  if (std::system("command -v hashdeep >/dev/null 2>&1") != 0) GTEST_SKIP() << "hashdeep is not installed";
  for (const std::string& name : names_) {
    const testing::TestVolume& volume = testing::LoadVolume(name);
    const auto out = dir_ / ("export-" + name);
    const auto manifest = dir_ / ("manifest-" + name + ".txt");
    testing::ProgramRun run = Run(volume, "-f 'C:\\' --export " + Quote(out.string()), ">" + Quote(manifest.string()));
    EXPECT_EQ(run.code, 0) << name << "\n" << run.err;
    EXPECT_NE(run.err.find(" 0 failures\n"), std::string::npos) << name << "\n" << run.err;
    const std::string text = testing::ReadText(manifest);
    EXPECT_EQ(text.rfind("%%%% HASHDEEP-1.0\n%%%% size,md5,sha256,filename\n## Invoked from: ", 0), 0u) << name;
    // Every stream of \streams.txt, named as the export documents it.
    const std::string beta = SleuthKitSha256(volume, "\\streams.txt", "beta");
    EXPECT_NE(text.find("," + beta + "," + std::filesystem::canonical(out).string() + "/streams.txt:beta\n"),
              std::string::npos)
        << name;
    int status = 0;
    const std::string audit = testing::RunCommand("hashdeep -a -k " + Quote(manifest.string()) + " -r " +
                                                  Quote(out.string()) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << name << "\n" << audit;
    EXPECT_NE(audit.find("Audit passed"), std::string::npos) << name << "\n" << audit;
  }
  // Nothing is overwritten: an export into a folder that holds something is refused.
  const auto out = dir_ / ("export-" + names_.front());
  testing::ProgramRun run = Run(testing::LoadVolume(names_.front()), "-f 'C:\\' --export " + Quote(out.string()));
  EXPECT_EQ(run.code, 3);
  EXPECT_NE(run.err.find("not empty"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
}

// --deleted: c4k's \frag\small was filled with files of "small " repeated
// to a cluster, all deleted; those whose records were not reused since are
// exported as "(deleted)" beside the live tree, read through their own runs.
TEST_F(ContentCommandTest, ExportDeletedFilesThroughTheirOwnRuns) {
  if (std::find(names_.begin(), names_.end(), "c4k") == names_.end()) GTEST_SKIP() << "no c4k volume";
  if (std::system("command -v hashdeep >/dev/null 2>&1") != 0) GTEST_SKIP() << "hashdeep is not installed";
  const testing::TestVolume& volume = testing::LoadVolume("c4k");
  std::string small;
  while (small.size() < 4096) small += "small ";
  small.resize(4096);
  const std::string sha256 = testing::Sha256Hex(std::vector<uint8_t>(small.begin(), small.end()));

  const auto out = dir_ / "export-deleted";
  const auto manifest = dir_ / "manifest-deleted.txt";
  testing::ProgramRun run = Run(volume, "-f 'C:\\frag' --export " + Quote(out.string()) + " --deleted",
                                ">" + Quote(manifest.string()));
  ASSERT_EQ(run.code, 0) << run.err;
  int status = 0;
  const std::string audit = testing::RunCommand("hashdeep -a -k " + Quote(manifest.string()) + " -r " +
                                                Quote(out.string()) + " 2>&1", &status);
  EXPECT_EQ(status, 0) << audit;
  size_t deleted = 0;
  std::istringstream lines(testing::ReadText(manifest));
  for (std::string line; std::getline(lines, line);) {
    if (!line.ends_with(" (deleted)")) continue;
    ++deleted;
    EXPECT_NE(line.find("," + sha256 + "," + std::filesystem::canonical(out).string() + "/small/s"), std::string::npos)
        << line;
  }
  EXPECT_GT(deleted, 0u);
  // As many as Sleuth Kit lists deleted under the folder.
  if (std::system("command -v fls >/dev/null 2>&1") == 0) {
    const std::string fls = testing::RunCommand("fls -r -d -p " + Quote(Image(volume)) + " | grep -c 'frag/small/s'");
    EXPECT_EQ(std::to_string(deleted) + "\n", fls);
  }

  // JSON: each says it is deleted and how many of its clusters are taken now.
  run = Run(volume, "--json -f 'C:\\frag' --export " + Quote((dir_ / "json-deleted").string()) + " --deleted");
  ASSERT_EQ(run.code, 0) << run.err;
  std::istringstream objects(run.out);
  size_t json_deleted = 0;
  for (std::string line; std::getline(objects, line);) {
    if (line.find("\"deleted\":true") == std::string::npos) continue;
    ++json_deleted;
    EXPECT_NE(line.find("\"data_clusters\":1,\"clusters_reallocated\":0,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"sha256\":\"" + sha256 + "\""), std::string::npos) << line;
  }
  EXPECT_EQ(json_deleted, deleted);
}

}  // namespace
}  // namespace velmora
